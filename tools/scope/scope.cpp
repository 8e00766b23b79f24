// OrvantaScope: a waveform monitor. Every pixel of a band of input rows is plotted as a point over
// a black image of the input's size: its column gives the output column, its value (brightest
// component, saturation, or each component) the output row.
//
// Chunks (one per input row) plot into shared output pixels. They only set bits in plot planes,
// one bit per output pixel; setting bits commutes, so the planes are the same for any order and
// any thread count. Types whose points are all alike (luminance, chrominance and composite
// white, the static types one component) use one plane; the RGBA types one plane per component.
// Each worker thread plots into its own copy of the
// planes, so two threads do not keep taking the same cache lines from each other (threads beyond
// the copies share one with atomic ORs). A second pass, in bands of output rows, clears the
// output and writes every plotted pixel once, the copies ORed: the components whose bit is set at
// full scale, the others 0. That equals the sequential writes of every type: the white types
// always write white, the static types always the same one-component pixel, and the RGBA types
// set components of a pixel that starts cleared.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"

namespace orvanta {
namespace {

// Plot bits of the components.
constexpr uint8_t kBitB = 1, kBitG = 2, kBitR = 4, kBitA = 8, kWhite = kBitB | kBitG | kBitR | kBitA;
constexpr uint8_t kChannelBits[4] = {kBitR, kBitG, kBitB, kBitA};  // red, green, blue, alpha

}  // namespace

class ScopeOperator : public Tool<ScopeOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaScope",      0x8429000B,
      "OrvaScope",         "Scop",
      "OrvantaScope",      "From editing well known waveform analyzer as software.",
      "Built: Oct 14 2005"};

  // 2. Declarations, in display order.
  enum {
    kInput,
    kRed,
    kGreen,
    kBlue,
    kAlpha,
    kType,
    kRoundness,
    kStretchX,
    kStretchY,
    kStretchRed,
    kStretchGreen,
    kStretchBlue,
    kStretchAlpha,
    kCenter,
    kCenterRed,
    kCenterGreen,
    kCenterBlue,
    kCenterAlpha,
    kTop,
    kBottom,
    kInputCount
  };
  // The items of "Type".
  enum ScopeType : int32_t {
    kLuminance,
    kChrominance,
    kComposite,
    kRgbaFullscreen,
    kRgbaParade,
    kStaticRed,
    kStaticGreen,
    kStaticBlue,
    kStaticAlpha
  };

  static std::vector<Row> Declarations() {
    const TagList channelStretch = {
        {InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 10.0}, {InDefault, 1.0}, {InShown, 0}};
    const TagList channelCenter = {
        {InControl, OffsetControl}, {InPreviewControl, CrosshairControl}, {InShown, 0}};
    return Table({
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        ChannelCheckboxRows(Channels::kRgba, {{InShown, 0}}),
        InputRow("Type", NumberDataType, FourCC("TYPE"),
                 {{InControl, ComboControl},
                  {InListItem, "Luminance"},
                  {InListItem, "Chrominance"},
                  {InListItem, "Composite"},
                  {InListItem, "RGBA(fullscreen)"},
                  {InListItem, "RGBA(parade)"},
                  {InListItem, "static Red(fastest)"},
                  {InListItem, "static Green(fastest)"},
                  {InListItem, "static Blue(fastest)"},
                  {InListItem, "static Alpha(fastest)"},
                  {InListOption, 1},
                  {InDefault, 0.0}}),
        InputRow("Roundness", NumberDataType, FourCC("ROUN"),
                 {{InControl, SliderControl},
                  {InRangeLow, 0.0},
                  {InRangeHigh, 100.0},
                  {InLimitLow, 0.0},
                  {InLimitHigh, 1.0},
                  {InDefault, 0.0}}),
        InputRow("X Stretch", NumberDataType, FourCC("StrX"), channelStretch),
        InputRow("Y Stretch", NumberDataType, FourCC("StrY"),
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 10.0}, {InDefault, 1.0}}),
        InputRow("Y Stretch Red", NumberDataType, FourCC("StYR"), channelStretch),
        InputRow("Y Stretch Green", NumberDataType, FourCC("StYG"), channelStretch),
        InputRow("Y Stretch Blue", NumberDataType, FourCC("StYB"), channelStretch),
        InputRow("Y Stretch Alpha", NumberDataType, FourCC("StYA"), channelStretch),
        InputRow("Center", PointDataType, 0x544E4300,
                 {{InControl, OffsetControl}, {InPreviewControl, CrosshairControl}}),
        InputRow("Center Red", PointDataType, FourCC("CNTR"), channelCenter),
        InputRow("Center Green", PointDataType, FourCC("CNTG"), channelCenter),
        InputRow("Center Blue", PointDataType, FourCC("CNTB"), channelCenter),
        InputRow("Center Alpha", PointDataType, FourCC("CNTA"), channelCenter),
        InputRow("Input Image Top", NumberDataType, FourCC("RgRL"),
                 {{InControl, RangeControl},
                  {InGroup, 10},
                  {InGroupIndex, 0},
                  {InRangeLow, 0.0},
                  {InRangeHigh, 1.0},
                  {InDefault, 0.0},
                  {InShown, 1}}),
        InputRow("Input Image Bottom", NumberDataType, FourCC("RgRH"),
                 {{InControl, RangeControl},
                  {InGroup, 10},
                  {InGroupIndex, 1},
                  {InRangeLow, 0.0},
                  {InRangeHigh, 1.0},
                  {InDefault, 1.0},
                  {InShown, 1}}),
        ImageOutputRow(),
    });
  }

  ScopeOperator(Registry* reg, CArchive* archive, TagList* tags) : Tool(reg, archive, tags) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering the request, then writing the plotted points once.
  void Process(Request* req) override {
    Image* input = ImageValue(in_[kInput], req);
    if (!input) return;  // the host reports the missing image
    width_ = input->Width;
    height_ = input->Height;
    // Cleared band by band in the write pass, just before its points are written.
    OwnedImage result = NewImageLike(input, Clearing::kUncleared);

    OwnedImage blurred;
    const double blur = NumberValue(in_[kRoundness], req) * 0.1;
    source_ = input;
    if (blur > 0.0) {
      OwnedImage target = NewImageLike(input, Clearing::kCleared);
      input->ImageBlur(target.get(), 4, 1, 1, 1, 1, blur, blur, 1.0, 1.0);
      blurred.reset(target->CopyOfImage());
      source_ = blurred.get();
    }
    float_ = source_->Depth == DepthFloat;

    GatherTraces(req);
    int32_t chunks = PlotChunkCount();
    chunks = PreparePlanes(chunks);
    MapColumns(chunks);

    RunChunks(req, chunks, [this](int32_t a) { PlotChunk(a); });
    // The slots to OR: those taken (always the first ones), or all if a thread used the shared one.
    used_ = 0;
    while (used_ < slots_ - 1 && owners_[used_].load(std::memory_order_relaxed) != std::thread::id()) ++used_;
    if (sharedUsed_.load(std::memory_order_relaxed)) used_ = slots_;
    result_ = result.get();
    RunChunks(req, (height_ + kBandRows - 1) / kBandRows, [this](int32_t band) { WriteBand(band); });
    source_ = nullptr;
    result_ = nullptr;
    Publish(req, output_, std::move(result));
  }

 private:
  // The type, channels, band and traces of the request. Traces: 0 the main one, 1 to 4 red,
  // green, blue, alpha.
  void GatherTraces(Request* req) {
    type_ = WholeValue(in_[kType], req);
    for (int ch = 0; ch < 4; ++ch) enabled_[ch] = WholeValue(in_[kRed + ch], req) != 0;
    top_ = NumberValue(in_[kTop], req);
    bottom_ = NumberValue(in_[kBottom], req);
    double stretch[5];
    Point center[5];
    stretch[0] = NumberValue(in_[kStretchY], req);
    for (int ch = 0; ch < 4; ++ch) stretch[1 + ch] = NumberValue(in_[kStretchRed + ch], req);
    for (int t = 0; t < 5; ++t) center[t] = PointValue(in_[kCenter + t], req);

    scale_ = height_ / 65535.0;
    for (int t = 0; t < 5; ++t) {
      stretch_[t] = stretch[t];
      shift_[t] = (0.5 - center[t].X) * (-double(width_));
      base_[t] = (0.5 - center[t].Y) * (-double(height_)) + height_;
    }
  }

  // Chunk a plots input row (a + (H - 1) x top). Chunks whose row lies outside the image would
  // plot nothing; for a band beyond the image they are skipped rather than run (firstChunk_ is 0
  // for every band inside it). Returns the number of chunks to run.
  int32_t PlotChunkCount() {
    const double band = bottom_ - top_;
    const double first = (height_ - 1) * top_;
    const double lo = std::max(0.0, std::floor(-first) - 1.0);
    const double hi = std::min(std::trunc(height_ * band), std::ceil(height_ - first) + 1.0);
    firstChunk_ = 0.0;
    int32_t chunks = 0;
    // A band start that is not a number (top infinite on a one-row image) names no row at all.
    if (lo < hi && std::isfinite(first)) {
      firstChunk_ = lo;
      chunks = TruncToInt(hi - lo);
    }
    return chunks;
  }

  // Plot planes: one for types whose points are all alike, one per component for the RGBA types.
  // A plane holds row after row, each wordsPerRow_ words, column x as bit x / wordsPerRow_ of
  // word x % wordsPerRow_: neighbouring columns fall in different words, so their ORs do not
  // wait for each other, and a trace that stays within a few rows stays within a few lines.
  // Returns the chunks to run: none when there is nothing to plot into.
  int32_t PreparePlanes(int32_t chunks) {
    planeCount_ = 0;
    if (type_ >= kLuminance && type_ <= kComposite)
      planeCount_ = 1, pattern_ = kWhite;
    else if (type_ == kRgbaFullscreen || type_ == kRgbaParade)
      planeCount_ = 4;
    else if (type_ >= kStaticRed && type_ <= kStaticAlpha)
      planeCount_ = 1, pattern_ = kChannelBits[type_ - kStaticRed];
    wordsPerRow_ = (size_t(std::max(width_, 0)) + 63) / 64;
    planeWords_ = wordsPerRow_ * size_t(std::max(height_, 0));
    if (planeCount_ == 0 || planeWords_ == 0) chunks = 0;
    // A slot per core (up to kMaxSlots) and one more, shared by any further threads; as many as
    // fit in kSlotBytes, and at least the shared one, so very large images plot all into one.
    const unsigned cores = std::thread::hardware_concurrency();
    slots_ = chunks > 1 ? int32_t(std::clamp(cores, 1u, unsigned(kMaxSlots))) + 1 : 1;
    const size_t slotBytes = size_t(planeCount_) * planeWords_ * sizeof(uint64_t);
    if (slotBytes > 0) slots_ = int32_t(std::clamp<size_t>(kSlotBytes / slotBytes, 1, size_t(slots_)));
    planes_.assign(size_t(slots_) * size_t(planeCount_) * planeWords_, 0);
    for (auto& owner : owners_) owner.store(std::thread::id(), std::memory_order_relaxed);
    sharedUsed_.store(false, std::memory_order_relaxed);
    return chunks;
  }

  // Where each column of each trace lands: its word in a plane row and its bit (word << 6 |
  // bit), or kOffImage. Traces 0 to 4 are shifted by their centres; trace 5 is unshifted, for
  // the static types.
  void MapColumns(int32_t chunks) {
    columns_.resize(size_t(6) * size_t(chunks > 0 ? width_ : 0));
    for (int t = 0; t < 6 && chunks > 0; ++t)
      for (int32_t c = 0; c < width_; ++c) {
        const double x = t < 5 ? c + shift_[t] : double(c);
        uint32_t code = kOffImage;
        if (x >= 0.0 && x < width_) {
          const size_t col = size_t(int32_t(x));
          code = uint32_t(col % wordsPerRow_) << 6 | uint32_t(col / wordsPerRow_);
        }
        columns_[size_t(t) * size_t(width_) + size_t(c)] = code;
      }
  }

  // 4. Plotting one input row of the band (chunk a), then writing one band of output rows
  // (WriteBand).
  void PlotChunk(int32_t a) {
    const int32_t row = TruncToInt((a + firstChunk_) + (height_ - 1) * top_);
    if (row < 0 || row >= height_ || width_ <= 0) return;
    // The type is chosen once per row; the plotting rule is then fixed inside the loop.
    switch (type_) {
      case kLuminance:
        return PlotRow<kLuminance>(row);
      case kChrominance:
        return PlotRow<kChrominance>(row);
      case kComposite:
        return PlotRow<kComposite>(row);
      case kRgbaFullscreen:
      case kRgbaParade:
        return PlotRow<kRgbaFullscreen>(row);
      case kStaticRed:
        return PlotRow<kStaticRed>(row);
      case kStaticGreen:
        return PlotRow<kStaticGreen>(row);
      case kStaticBlue:
        return PlotRow<kStaticBlue>(row);
      case kStaticAlpha:
        return PlotRow<kStaticAlpha>(row);
      default:
        return;
    }
  }

 public:
  // 5. Show, hide and preset the controls of the chosen type.
  void NotifyChanged(Input* in, Parameter* value, double time) override {
    if (value && in == in_[kType])
      if (auto* n = dynamic_cast<Number*>(value)) ApplyType(n->Value(), time);
    Operator::NotifyChanged(in, value, time);
  }

 private:
  // The calling thread's slot. A thread takes the first free slot at its first chunk of a
  // request (a compare-and-swap, no lock). The slots below the last belong to one thread each and
  // are written plainly; threads beyond them share the last slot, whose ORs are atomic, so
  // sharing stays exact.
  int32_t Slot() {
    const std::thread::id me = std::this_thread::get_id();
    for (int32_t s = 0; s < slots_ - 1; ++s) {
      std::thread::id owner = owners_[s].load(std::memory_order_relaxed);
      if (owner == me) return s;
      if (owner == std::thread::id() &&
          owners_[s].compare_exchange_strong(owner, me, std::memory_order_relaxed))
        return s;
    }
    if (!sharedUsed_.load(std::memory_order_relaxed)) sharedUsed_.store(true, std::memory_order_relaxed);
    return slots_ - 1;
  }

  // What one row's plotting needs, copied out of the tool so that it stays in registers while
  // the planes are written.
  struct Plotter {
    uint64_t* planes;
    size_t planeWords, wordsPerRow;
    double height, scale;
    double stretch[5], base[5];
    const uint32_t* columns[6];  // per trace, as columns_
    bool on[4];

    double TraceRow(int t, double v) const { return base[t] - (v * stretch[t]) * scale; }

    // Sets the point of column code `code` (as columns_) at row y in the given plane when it
    // lies on the output; NaN lies nowhere.
    template <bool kShared>
    [[gnu::always_inline]] void Mark(uint32_t code, double y, int plane) const {
      if (code == kOffImage || !(y >= 0.0 && y < height)) return;
      uint64_t& word = planes[size_t(plane) * planeWords + size_t(int32_t(y)) * wordsPerRow + (code >> 6)];
      const uint64_t bit = uint64_t(1) << (code & 63);
      if constexpr (kShared) {
        // Marks only ever add bits, so a word that already holds the bit needs no write.
        std::atomic_ref<uint64_t> ref(word);
        if (!(ref.load(std::memory_order_relaxed) & bit)) ref.fetch_or(bit, std::memory_order_relaxed);
      } else {
        word |= bit;
      }
    }

    // The RGBA types: the trace of one component, red 0 to alpha 3, when its switch is on.
    template <int kCh, bool kShared>
    [[gnu::always_inline]] void Channel(int32_t c, double v) const {
      if (on[kCh]) Mark<kShared>(columns[1 + kCh][c], TraceRow(1 + kCh, v), kCh);
    }

    // kType: the type, with kRgbaFullscreen standing for both RGBA types.
    template <ScopeType kType, bool kShared>
    [[gnu::always_inline]] void Pixel(int32_t c, double r, double g, double b, double a) const {
      switch (kType) {
        case kLuminance:
          if (r == r && g == g && b == b) Mark<kShared>(columns[0][c], TraceRow(0, std::max({r, g, b})), 0);
          break;
        case kChrominance: {
          if (!(r == r && g == g && b == b)) break;
          const double hi = std::max({r, g, b}), lo = std::min({r, g, b});
          if (hi == 0.0) break;  // no saturation for black
          const double saturation = (hi - lo) / hi;
          Mark<kShared>(columns[0][c], base[0] - ((saturation * stretch[0]) * 65535.0) * scale, 0);
          break;
        }
        case kComposite:
          Mark<kShared>(columns[0][c], TraceRow(0, r), 0);
          Mark<kShared>(columns[0][c], TraceRow(0, g), 0);
          Mark<kShared>(columns[0][c], TraceRow(0, b), 0);
          break;
        case kRgbaFullscreen:
        case kRgbaParade:
          // Written out, so that every index is a constant and the copy's fields stay in registers.
          Channel<0, kShared>(c, r);
          Channel<1, kShared>(c, g);
          Channel<2, kShared>(c, b);
          Channel<3, kShared>(c, a);
          break;
        case kStaticRed:
        case kStaticGreen:
        case kStaticBlue:
        case kStaticAlpha: {
          const double v = kType == kStaticRed ? r : kType == kStaticGreen ? g : kType == kStaticBlue ? b : a;
          Mark<kShared>(columns[5][c], height - v * scale, 0);
          break;
        }
      }
    }
  };

  template <ScopeType kType>
  void PlotRow(int32_t row) {
    const int32_t slot = Slot();
    Plotter plot{planes_.data() + size_t(slot) * size_t(planeCount_) * planeWords_,
                 planeWords_,
                 wordsPerRow_,
                 double(height_),
                 scale_,
                 {},
                 {},
                 {},
                 {}};
    for (int t = 0; t < 5; ++t) plot.stretch[t] = stretch_[t], plot.base[t] = base_[t];
    for (int t = 0; t < 6; ++t) plot.columns[t] = columns_.data() + size_t(t) * size_t(width_);
    for (int ch = 0; ch < 4; ++ch) plot.on[ch] = enabled_[ch];
    if (slot == slots_ - 1)
      PlotRowWith<kType, true>(plot, row);
    else
      PlotRowWith<kType, false>(plot, row);
  }

  template <ScopeType kType, bool kShared>
  void PlotRowWith(const Plotter& from, int32_t row) const {
    const Plotter plot = from;  // a local copy: the plane stores cannot touch it
    const int32_t width = width_;
    WithCursor(source_, 0, row, [&](auto& s) {
      if (float_) {
        // Float pixels on the 16-bit scale: 1.0 plots where 65535 does.
        FltPixel p;
        for (int32_t c = 0; c < width; ++c) {
          s.GetNextFlt(p);
          plot.Pixel<kType, kShared>(c, p.R * 65535.0, p.G * 65535.0, p.B * 65535.0, p.A * 65535.0);
        }
      } else {
        orvanta::Pixel p;
        for (int32_t c = 0; c < width; ++c) {
          s.GetNext(p);
          if constexpr (kType == kLuminance)  // whole numbers: their largest, then converted, is the same
            plot.Mark<kShared>(plot.columns[0][c], plot.TraceRow(0, double(std::max({p.R, p.G, p.B}))), 0);
          else
            plot.Pixel<kType, kShared>(c, double(p.R), double(p.G), double(p.B), double(p.A));
        }
      }
    });
  }

  // The components a set of plot bits gives a pixel: full scale where the bit is set, else 0.
  static orvanta::Pixel Full16(uint8_t set) {
    return {set & kBitB ? 65535u : 0u, set & kBitG ? 65535u : 0u, set & kBitR ? 65535u : 0u,
            set & kBitA ? 65535u : 0u};
  }
  static FltPixel FullFlt(uint8_t set) {
    return {set & kBitB ? 1.0f : 0.0f, set & kBitG ? 1.0f : 0.0f, set & kBitR ? 1.0f : 0.0f,
            set & kBitA ? 1.0f : 0.0f};
  }

  // Output rows band * kBandRows .. + kBandRows - 1: cleared, then every plotted pixel written
  // once, the slots' bits ORed. The host's own storage formats get each pixel's bytes from a
  // table of the 16 bit sets; other storage goes through a cursor.
  void WriteBand(int32_t band) {
    switch (result_->Storage) {
      case StorageBgra8:
        return WriteBandAs<formats::Bgra8>(band);
      case StorageBgra16:
        return WriteBandAs<formats::Bgra16>(band);
      case StorageBgraFloat:
        return WriteBandAs<formats::BgraFloat>(band);
      case StorageRgba8:
        return WriteBandAs<formats::Rgba8>(band);
      case StorageRgba16:
        return WriteBandAs<formats::Rgba16>(band);
      case StorageRgbaFloat:
        return WriteBandAs<formats::RgbaFloat>(band);
      default:
        return WriteBandAs<void>(band);
    }
  }

  template <class Format>
  void WriteBandAs(int32_t band) {
    constexpr size_t kBytes = 16;
    uint8_t encoded[16][kBytes] = {};
    if constexpr (!std::is_void_v<Format>) {
      static_assert(Format::kBytes <= kBytes);
      for (uint8_t set = 0; set < 16; ++set) {
        if (float_)
          Format::PutFlt(encoded[set], FullFlt(set));
        else
          Format::Put(encoded[set], Full16(set));
      }
    }
    const int32_t top = band * kBandRows, bottom = std::min(height_, top + kBandRows);
    const size_t slotWords = size_t(planeCount_) * planeWords_, wordsPerRow = wordsPerRow_;
    ClearRows(result_, top, bottom);
    if (planes_.empty() || width_ <= 0) return;  // nothing plotted: the type draws nothing, or no band
    std::optional<PixelCursor> cursor;
    if constexpr (std::is_void_v<Format>) cursor.emplace(result_, 0, top);
    for (int32_t y = top; y < bottom; ++y) {
      uint8_t* row = result_->RowTable[y];
      const uint64_t* rowBits = planes_.data() + size_t(y) * wordsPerRow;
      for (size_t i = 0; i < wordsPerRow; ++i) {
        uint64_t bits[4] = {};
        for (int32_t s = 0; s < used_; ++s)
          for (int32_t p = 0; p < planeCount_; ++p)
            bits[p] |= rowBits[size_t(s) * slotWords + size_t(p) * planeWords_ + i];
        for (uint64_t any = bits[0] | bits[1] | bits[2] | bits[3]; any; any &= any - 1) {
          const int32_t k = __builtin_ctzll(any);
          uint8_t set = pattern_;
          if (planeCount_ == 4)
            set = uint8_t((bits[0] >> k & 1) * kBitR | (bits[1] >> k & 1) * kBitG |
                          (bits[2] >> k & 1) * kBitB | (bits[3] >> k & 1) * kBitA);
          const int32_t x = int32_t(size_t(k) * wordsPerRow + i);
          if constexpr (!std::is_void_v<Format>) {
            std::memcpy(row + size_t(x) * Format::kBytes, encoded[set], Format::kBytes);
          } else {
            cursor->MoveTo(x, y);
            if (float_)
              cursor->PutFlt(FullFlt(set));
            else
              cursor->Put(Full16(set));
          }
        }
      }
    }
  }

  void ApplyType(double type, double time) {
    for (int k = kLuminance; k <= kStaticAlpha; ++k) {
      if (type != double(k)) continue;
      const bool channels = k == kRgbaFullscreen || k == kRgbaParade, main = k <= kComposite;
      for (int ch = 0; ch < 4; ++ch) SetShown(in_[kRed + ch], channels);
      SetShown(in_[kRoundness], true);
      SetShown(in_[kStretchY], main);
      for (int ch = 0; ch < 4; ++ch) SetShown(in_[kStretchRed + ch], channels);
      if (main) SetNumberValue(in_[kStretchY], 1.0, time);
      if (k == kRgbaFullscreen)
        for (int ch = 0; ch < 4; ++ch) SetNumberValue(in_[kStretchRed + ch], 1.0, time);
      if (k == kRgbaParade) {
        for (int ch = 0; ch < 3; ++ch) SetNumberValue(in_[kStretchRed + ch], 0.333333333, time);
        SetNumberValue(in_[kStretchAlpha], 1.0, time);
      }
      SetShown(in_[kCenter], main);
      for (int ch = 0; ch < 4; ++ch) SetShown(in_[kCenterRed + ch], channels);
      if (main || k == kRgbaFullscreen) SetPointValue(in_[kCenter], 0.5, 0.5, time);
      if (k == kRgbaFullscreen)
        for (int ch = 0; ch < 4; ++ch) SetPointValue(in_[kCenterRed + ch], 0.5, 0.5, time);
      if (k == kRgbaParade) {
        static constexpr double kParadeY[4] = {-0.168, 0.164, 0.497, 0.5};
        for (int ch = 0; ch < 4; ++ch) SetPointValue(in_[kCenterRed + ch], 0.5, kParadeY[ch], time);
      }
    }
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;  // the image plotted: the input, or its blurred copy
  Image* result_ = nullptr;
  int32_t width_ = 0, height_ = 0;
  bool float_ = false;
  int32_t type_ = 0;
  bool enabled_[4] = {};  // red, green, blue, alpha
  double top_ = 0.0, bottom_ = 1.0;
  double stretch_[5] = {}, shift_[5] = {}, base_[5] = {};
  double scale_ = 0.0;
  double firstChunk_ = 0.0;
  // Plot planes: slots_ copies of planeCount_ planes of planeWords_ words, rows of wordsPerRow_.
  static constexpr int32_t kMaxSlots = 4, kBandRows = 16;
  static constexpr size_t kSlotBytes = size_t(8) << 20;  // most plane memory for the copies
  static constexpr uint32_t kOffImage = ~0u;             // a column code outside the output
  std::vector<uint32_t> columns_;
  std::vector<uint64_t> planes_;
  int32_t planeCount_ = 0, slots_ = 1, used_ = 1;
  uint8_t pattern_ = kWhite;  // the bits of every point when there is one plane
  size_t wordsPerRow_ = 0, planeWords_ = 0;
  std::atomic<std::thread::id> owners_[kMaxSlots + 1];  // the thread of each slot but the last
  std::atomic<bool> sharedUsed_{false};
};

ORVANTA_REGISTER_TOOL(ScopeOperator)

}  // namespace orvanta
