// OrvantaScope: a waveform monitor. Every pixel of a band of input rows is plotted as a point over
// a black image of the input's size: its column gives the output column, its value (brightest
// component, saturation, or each component) the output row.
//
// Chunks (one per input row) plot into shared output pixels. They only set bits in a plot plane,
// one byte per output pixel and one bit per component, with atomic ORs; setting bits commutes, so
// the plane is the same for any order and any thread count. Process then writes every plotted
// pixel once: the components whose bit is set at full scale, the others 0. That equals the
// sequential writes of every type: types 0 to 2 always write white, types 5 to 8 always the same
// one-component pixel, and types 3 and 4 set components of a pixel that starts cleared.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"

namespace orvanta {
namespace {

struct Recycler {
  void operator()(Image* im) const { im->Recycle(); }
};
using OwnedImage = std::unique_ptr<Image, Recycler>;

// Plot bits of the components.
constexpr uint8_t kBitB = 1, kBitG = 2, kBitR = 4, kBitA = 8, kWhite = kBitB | kBitG | kBitR | kBitA;
constexpr uint8_t kChannelBits[4] = {kBitR, kBitG, kBitB, kBitA};  // red, green, blue, alpha

}  // namespace

class ScopeOperator : public Tool<ScopeOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaScope", 0x8429000B, "OrvaScope", "Scop", "OrvantaScope",
      "From editing well known waveform analyzer as software.", "Built: Oct 14 2005"};

  // 2. Declarations, in display order.
  enum {
    kInput, kRed, kGreen, kBlue, kAlpha, kType, kRoundness, kStretchX, kStretchY,
    kStretchRed, kStretchGreen, kStretchBlue, kStretchAlpha,
    kCenter, kCenterRed, kCenterGreen, kCenterBlue, kCenterAlpha,
    kTop, kBottom, kInputCount
  };

  static std::vector<Row> Declarations() {
    const TagList checkbox = {{InControl, CheckboxControl}, {InDefault, 1.0}, {InRowCount, 4}, {InShown, 0}};
    const TagList channelStretch = {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 10.0},
                                    {InDefault, 1.0}, {InShown, 0}};
    const TagList channelCenter = {{InControl, OffsetControl}, {InPreviewControl, CrosshairControl}, {InShown, 0}};
    return {
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        InputRow("Red", NumberDataType, 0x684364D2, checkbox),
        InputRow("Green", NumberDataType, 0x68436EC7, checkbox),
        InputRow("Blue", NumberDataType, 0x68436CC2, checkbox),
        InputRow("Alpha", NumberDataType, 0x68436CC1, checkbox),
        InputRow("Type", NumberDataType, FourCC("TYPE"),
                 {{InControl, ComboControl}, {InListItem, "Luminance"}, {InListItem, "Chrominance"},
                  {InListItem, "Composite"}, {InListItem, "RGBA(fullscreen)"}, {InListItem, "RGBA(parade)"},
                  {InListItem, "static Red(fastest)"}, {InListItem, "static Green(fastest)"},
                  {InListItem, "static Blue(fastest)"}, {InListItem, "static Alpha(fastest)"},
                  {InListOption, 1}, {InDefault, 0.0}}),
        InputRow("Roundness", NumberDataType, FourCC("ROUN"),
                 {{InControl, SliderControl}, {InRangeLow, 0.0}, {InRangeHigh, 100.0}, {InLimitLow, 0.0},
                  {InLimitHigh, 1.0}, {InDefault, 0.0}}),
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
                 {{InControl, RangeControl}, {InGroup, 10}, {InGroupIndex, 0}, {InRangeLow, 0.0},
                  {InRangeHigh, 1.0}, {InDefault, 0.0}, {InShown, 1}}),
        InputRow("Input Image Bottom", NumberDataType, FourCC("RgRH"),
                 {{InControl, RangeControl}, {InGroup, 10}, {InGroupIndex, 1}, {InRangeLow, 0.0},
                  {InRangeHigh, 1.0}, {InDefault, 1.0}, {InShown, 1}}),
        ImageOutputRow(),
    };
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
    OwnedImage output(NewImage(TagList{{ImLike, input}}));

    OwnedImage blurred;
    const double blur = NumberValue(in_[kRoundness], req) * 0.1;
    source_ = input;
    if (blur > 0.0) {
      OwnedImage target(NewImage(TagList{{ImLike, input}}));
      input->ImageBlur(target.get(), 4, 1, 1, 1, 1, blur, blur, 1.0, 1.0);
      blurred.reset(target->CopyOfImage());
      source_ = blurred.get();
    }
    flt_ = source_->Depth == DepthFloat;

    type_ = WholeValue(in_[kType], req);
    for (int ch = 0; ch < 4; ++ch) switch_[ch] = WholeValue(in_[kRed + ch], req) != 0;
    top_ = NumberValue(in_[kTop], req);
    bottom_ = NumberValue(in_[kBottom], req);
    const double band = bottom_ - top_;
    double stretch[5];
    Point center[5];
    stretch[0] = NumberValue(in_[kStretchY], req);
    for (int ch = 0; ch < 4; ++ch) stretch[1 + ch] = NumberValue(in_[kStretchRed + ch], req);
    for (int t = 0; t < 5; ++t) center[t] = PointValue(in_[kCenter + t], req);

    // The output is new, so already cleared to transparent black.

    // Traces: 0 the main one, 1 to 4 red, green, blue, alpha.
    scale_ = height_ / 65535.0;
    for (int t = 0; t < 5; ++t) {
      stretch_[t] = stretch[t];
      shift_[t] = (0.5 - center[t].X) * (-double(width_));
      base_[t] = (0.5 - center[t].Y) * (-double(height_)) + height_;
    }

    // Chunk a plots input row (a + (H - 1) x top). Chunks whose row lies outside the image would
    // plot nothing; for a band beyond the image they are skipped rather than run (firstChunk_ is 0
    // for every band inside it).
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

    plane_.assign(size_t(width_) * size_t(height_), 0);
    DoMultiProcess(req, chunks);

    const Pixel full{65535, 65535, 65535, 65535};
    const FltPixel fullFlt{1.0f, 1.0f, 1.0f, 1.0f};
    for (int32_t y = 0; y < height_; ++y) {
      const uint8_t* bits = plane_.data() + size_t(y) * size_t(width_);
      WithCursor(output.get(), 0, y, [&](auto& d) {
        for (int32_t x = 0; x < width_; ++x) {
          // Most of the plane is empty: skip eight clear bytes at a time.
          if ((x & 7) == 0 && x + 8 <= width_) {
            uint64_t eight;
            std::memcpy(&eight, bits + x, sizeof eight);
            if (eight == 0) {
              x += 7;
              continue;
            }
          }
          const uint8_t b = bits[x];
          if (!b) continue;
          d.MoveTo(x, y);
          if (flt_)
            d.PutFlt(FltPixel{b & kBitB ? fullFlt.B : 0.0f, b & kBitG ? fullFlt.G : 0.0f,
                              b & kBitR ? fullFlt.R : 0.0f, b & kBitA ? fullFlt.A : 0.0f});
          else
            d.Put(Pixel{b & kBitB ? full.B : 0u, b & kBitG ? full.G : 0u, b & kBitR ? full.R : 0u,
                        b & kBitA ? full.A : 0u});
        }
      });
    }
    source_ = nullptr;
    output_->Set(req, output.release());
  }

  // 4. One input row of the band.
  void ProcessChunk(Request*, int32_t a) override {
    const int32_t row = TruncToInt((a + firstChunk_) + (height_ - 1) * top_);
    if (row < 0 || row >= height_ || width_ <= 0) return;
    // The type is chosen once per row; the plotting rule is then fixed inside the loop.
    switch (type_) {
      case 0: return PlotRow<0>(row);
      case 1: return PlotRow<1>(row);
      case 2: return PlotRow<2>(row);
      case 3: case 4: return PlotRow<3>(row);
      case 5: case 6: case 7: case 8: return PlotRow<5>(row);
      default: return;
    }
  }

  // 5. Show, hide and preset the controls of the chosen type.
  void NotifyChanged(Input* in, Parameter* value, double time) override {
    if (value && in == in_[kType])
      if (auto* n = dynamic_cast<Number*>(value)) ApplyType(n->Value(), time);
    Operator::NotifyChanged(in, value, time);
  }

 private:
  // Sets the plot bits of the point (x, y) when it lies on the output; NaN lies nowhere.
  void Mark(double x, double y, uint8_t bits) {
    if (!(y >= 0.0 && y < height_ && x >= 0.0 && x < width_)) return;
    uint8_t& cell = plane_[size_t(int32_t(y)) * size_t(width_) + size_t(int32_t(x))];
    // Marks only ever add bits, so a cell that already holds them needs no write.
    std::atomic_ref<uint8_t> ref(cell);
    if ((ref.load(std::memory_order_relaxed) & bits) != bits) ref.fetch_or(bits, std::memory_order_relaxed);
  }

  template <int kKind>
  void PlotRow(int32_t row) {
    WithCursor(source_, 0, row, [&](auto& s) {
      if (flt_) {
        // Float pixels on the 16-bit scale: 1.0 plots where 65535 does.
        FltPixel p;
        for (int32_t c = 0; c < width_; ++c) {
          s.GetNextFlt(p);
          PlotPixel<kKind>(c, p.R * 65535.0, p.G * 65535.0, p.B * 65535.0, p.A * 65535.0);
        }
      } else {
        Pixel p;
        for (int32_t c = 0; c < width_; ++c) {
          s.GetNext(p);
          PlotPixel<kKind>(c, double(p.R), double(p.G), double(p.B), double(p.A));
        }
      }
    });
  }

  double TraceRow(int t, double v) const { return base_[t] - (v * stretch_[t]) * scale_; }

  // kKind: the type, with 3 standing for 3 and 4, and 5 for 5 to 8.
  template <int kKind>
  void PlotPixel(int32_t c, double r, double g, double b, double a) {
    const double x = c + shift_[0];
    switch (kKind) {
      case 0:
        if (r == r && g == g && b == b) Mark(x, TraceRow(0, std::max({r, g, b})), kWhite);
        break;
      case 1: {
        if (!(r == r && g == g && b == b)) break;
        const double hi = std::max({r, g, b}), lo = std::min({r, g, b});
        if (hi == 0.0) break;  // no saturation for black
        const double saturation = (hi - lo) / hi;
        Mark(x, base_[0] - ((saturation * stretch_[0]) * 65535.0) * scale_, kWhite);
        break;
      }
      case 2:
        Mark(x, TraceRow(0, r), kWhite);
        Mark(x, TraceRow(0, g), kWhite);
        Mark(x, TraceRow(0, b), kWhite);
        break;
      case 3:
      case 4: {
        const double v[4] = {r, g, b, a};
        for (int ch = 0; ch < 4; ++ch)
          if (switch_[ch]) Mark(c + shift_[1 + ch], TraceRow(1 + ch, v[ch]), kChannelBits[ch]);
        break;
      }
      case 5:
      case 6:
      case 7:
      case 8: {
        const double v[4] = {r, g, b, a};
        const int ch = type_ - 5;
        Mark(c, height_ - v[ch] * scale_, kChannelBits[ch]);
        break;
      }
      default:
        break;
    }
  }

  void ApplyType(double type, double time) {
    for (int k = 0; k <= 8; ++k) {
      if (type != double(k)) continue;
      const bool channels = k == 3 || k == 4, main = k <= 2;
      for (int ch = 0; ch < 4; ++ch) SetShown(in_[kRed + ch], channels);
      SetShown(in_[kRoundness], true);
      SetShown(in_[kStretchY], main);
      for (int ch = 0; ch < 4; ++ch) SetShown(in_[kStretchRed + ch], channels);
      if (main) SetNumberValue(in_[kStretchY], 1.0, time);
      if (k == 3)
        for (int ch = 0; ch < 4; ++ch) SetNumberValue(in_[kStretchRed + ch], 1.0, time);
      if (k == 4) {
        for (int ch = 0; ch < 3; ++ch) SetNumberValue(in_[kStretchRed + ch], 0.333333333, time);
        SetNumberValue(in_[kStretchAlpha], 1.0, time);
      }
      SetShown(in_[kCenter], main);
      for (int ch = 0; ch < 4; ++ch) SetShown(in_[kCenterRed + ch], channels);
      if (main || k == 3) SetPointValue(in_[kCenter], 0.5, 0.5, time);
      if (k == 3)
        for (int ch = 0; ch < 4; ++ch) SetPointValue(in_[kCenterRed + ch], 0.5, 0.5, time);
      if (k == 4) {
        static constexpr double kParadeY[4] = {-0.168, 0.164, 0.497, 0.5};
        for (int ch = 0; ch < 4; ++ch) SetPointValue(in_[kCenterRed + ch], 0.5, kParadeY[ch], time);
      }
    }
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;
  int32_t width_ = 0, height_ = 0;
  bool flt_ = false;
  int32_t type_ = 0;
  bool switch_[4] = {};
  double top_ = 0.0, bottom_ = 1.0;
  double stretch_[5] = {}, shift_[5] = {}, base_[5] = {};
  double scale_ = 0.0;
  double firstChunk_ = 0.0;
  std::vector<uint8_t> plane_;  // plot bits, one byte per output pixel
};

ORVANTA_REGISTER_TOOL(ScopeOperator)

}  // namespace orvanta
