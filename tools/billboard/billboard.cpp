// OrvantaBillboard: simulates display systems (TV and monitors, airport displays, diode marquees).
// Every input pixel becomes one enlarged display pixel per ticked colour channel, side by side in
// the order red, green, blue; a display pixel is a small pattern image (connected or built in)
// whose channel component shapes the cell and whose colour comes from the channel's source.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"

namespace orvanta {
namespace {

// Levels of the built-in patterns, as floats and as 16-bit values.
enum Level : uint8_t { kFull, kBright, kMid, kDim, kOff };
constexpr float kLevelFloat[] = {1.0f, 0.8f, 0.534065f, 0.19989f, 0.0f};
constexpr uint32_t kLevelWord[] = {65535, 52428, 35000, 13100, 0};

struct PatternDot {
  int32_t x, y;
  Level level;
};

struct Pattern {
  int32_t width, height;
  Level background;
  std::span<const PatternDot> dots;  // set one by one after the fill, in this order
};

constexpr PatternDot kDiamondDots[] = {
    {1, 0, kFull}, {0, 1, kFull}, {1, 1, kFull}, {2, 1, kFull}, {1, 2, kFull}};
constexpr PatternDot kPlaquetteDots[] = {{1, 0, kFull},   {2, 0, kFull}, {1, 1, kFull},   {3, 1, kFull},
                                         {2, 2, kFull},   {3, 2, kFull}, {3, 0, kBright}, {2, 1, kBright},
                                         {1, 2, kBright}, {0, 3, kOff}};
constexpr PatternDot kDiodeDots[] = {{2, 1, kFull},   {2, 0, kBright}, {1, 1, kBright}, {3, 1, kBright},
                                     {2, 2, kBright}, {1, 0, kMid},    {3, 2, kMid},    {3, 0, kMid},
                                     {1, 2, kMid},    {0, 3, kOff}};

// The items of "Pixel Preset": the built-in pattern of each.
enum PixelPreset : int32_t { kDefaultPattern, kDiamond, kPlaquette, kDiode };
const Pattern kPatterns[] = {
    {1, 2, kFull, {}},
    {3, 3, kOff, kDiamondDots},
    {4, 4, kDim, kPlaquetteDots},
    {4, 4, kDim, kDiodeDots},
};

// The red, green or blue component of a pixel (0, 1, 2).
template <class Px>
auto& Component(Px& p, int32_t c) {
  return c == 0 ? p.R : c == 1 ? p.G : p.B;
}

// A channel value times a custom colour component: truncated for 16-bit values, a float otherwise.
inline uint32_t Scaled(uint32_t v, double k) { return TruncToWord(double(v) * k); }
inline float Scaled(float v, double k) { return float(double(v) * k); }

// A stored pixel as one value, so that two stored pixels whose fields do not overlap combine by OR.
struct Word16 {
  uint64_t lo, hi;
  Word16 operator|(const Word16& o) const { return {lo | o.lo, hi | o.hi}; }
  Word16 operator&(const Word16& o) const { return {lo & o.lo, hi & o.hi}; }
};
template <class Format>
using WordOf = std::conditional_t<Format::kBytes == 4, uint32_t,
                                  std::conditional_t<Format::kBytes == 8, uint64_t, Word16>>;
// The stored word of a pixel in either pixel form.
template <class Format, class Px>
WordOf<Format> Encode(const Px& p) {
  uint8_t bytes[Format::kBytes];
  if constexpr (std::is_same_v<Px, FltPixel>)
    Format::PutFlt(bytes, p);
  else
    Format::Put(bytes, p);
  WordOf<Format> w;
  std::memcpy(&w, bytes, sizeof w);
  return w;
}

}  // namespace

class BillboardOperator : public Tool<BillboardOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaBillboard",
      0x84290001,
      "OrvaBillboard",
      "Bilb",
      "OrvantaBillboard",
      "Simulates display systems like TV/Monitor,Airport & public Displays etc.\n V 0.9 public Beta",
      "Built: Oct  6 2005"};

  // 2. Declarations, in display order.
  enum {
    kPreset,
    kInput,
    kDisplayPixel,
    kRed,
    kGreen,
    kBlue,
    kPixelPreset,
    kRedSource,
    kRedColorR,
    kRedColorG,
    kRedColorB,
    kGreenSource,
    kGreenColorR,
    kGreenColorG,
    kGreenColorB,
    kBlueSource,
    kBlueColorR,
    kBlueColorG,
    kBlueColorB,
    kMaxCellWidth,
    kMaxCellHeight,
    kMaxOutputWidth,
    kMaxOutputHeight,
    kInputCount
  };
  // The items of "Preset": the display types, each a column of kPresetSettings.
  enum DisplayPreset : int32_t { kTvMonitors, kAirport, kDiodeMarquee };
  // The items of each channel's colour source ("Red Color" and the others): the channel alone,
  // the input pixel's colour, the display pixel's colour, the channel times the custom colour.
  enum ColourSource : int32_t { kChannelFromInput, kColourFromInput, kColourFromPixel, kCustomColour };
  // Per channel (red, green, blue): checkbox, colour source, first custom colour component.
  static constexpr int kFlagOf[3] = {kRed, kGreen, kBlue};
  static constexpr int kSourceOf[3] = {kRedSource, kGreenSource, kBlueSource};
  static constexpr int kColorOf[3] = {kRedColorR, kGreenColorR, kBlueColorR};

  static std::vector<Row> Declarations() {
    auto combo = [](std::initializer_list<const char*> items) {
      TagList t{{InControl, ComboControl}, {InListOption, 1}};
      for (const char* item : items) t.Add({InListItem, item});
      return t;
    };
    auto limit = [](double low, double high, double def) {
      return TagList{{InControl, ScrollControl}, {InWholeNumbers, 1}, {InRangeLow, low}, {InRangeHigh, high},
                     {InLimitLow, low},          {InLimitHigh, high}, {InDefault, def},  {InLinkOption, 1}};
    };
    std::vector<Row> rows = Table({
        PageRow("Display Type"),
        InputRow("Preset", NumberDataType, FourCC("Type"),
                 combo({"TV + Monitors", "Airport", "Diode Marquee"})),
        InputRow("Input", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        InputRow("DisplayPixel", ImageDataType, SecondImageId, {{InRequired, 0}, {InLinkOption, -1}}),
        PageRow("Settings"),
        ChannelCheckboxRows(Channels::kRgb),
        InputRow("Pixel Preset", NumberDataType, 0x50444900,
                 combo({"Default(1x2 full RGBA)", "Diamond(3x3 full RGBA)", "Plaquette(4x4 RGBA)",
                        "Diode(4x4 RGBA)"})),
    });
    struct Source {
      const char* label;
      uint32_t id;
      const char* first;
      const char* group;
      uint32_t colorIds[3];
    };
    const Source sources[] = {
        {"Red Color", 0x43520000, "Red from Input", "new Red Color", {0x52524E00, 0x47524E00, 0x42524E00}},
        {"Green Color",
         0x43470000,
         "Green from Input",
         "new Green Color",
         {0x52474E00, 0x47474E00, 0x42474E00}},
        {"Blue Color", 0x43420000, "Blue from Input", "new Blue Color", {0x52424E00, 0x47424E00, 0x42424E00}},
    };
    for (int32_t s = 0; s < 3; ++s) {
      const Source& src = sources[s];
      rows.push_back(
          InputRow(src.label, NumberDataType, src.id,
                   combo({src.first, "Color from Input", "Color from Pixel", "Custom Color Pick"})));
      const std::vector<Row> colour =
          ColourRows(src.group, s + 1,
                     {{"Red", src.colorIds[0]}, {"Green", src.colorIds[1]}, {"Blue", src.colorIds[2]}});
      rows.insert(rows.end(), colour.begin(), colour.end());
    }
    rows.push_back(PageRow("Boundaries"));
    rows.push_back(
        InputRow("max DisplayPixel width", NumberDataType, FourCC("MDPW"), limit(1.0, 65535.0, 4.0)));
    rows.push_back(
        InputRow("max DisplayPixel height", NumberDataType, FourCC("MDPH"), limit(2.0, 65535.0, 4.0)));
    rows.push_back(
        InputRow("max Output width", NumberDataType, FourCC("MOPW"), limit(1.0, 30000.0, 10000.0)));
    rows.push_back(
        InputRow("max Output height", NumberDataType, FourCC("MOPH"), limit(2.0, 30000.0, 10000.0)));
    rows.push_back(ImageOutputRow());
    return rows;
  }

  BillboardOperator(Registry* reg, CArchive* archive, TagList* tags) : Tool(reg, archive, tags) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering: every control value of the request into plain members.
  void Process(Request* req) override {
    source_ = ImageValue(in_[kInput], req);
    if (!source_) return;  // the host refuses the request before this; nothing to render
    Image* connected = ImageValue(in_[kDisplayPixel], req);
    const int32_t pixelPreset = WholeValue(in_[kPixelPreset], req);
    float_ = source_->Depth == DepthFloat;
    width_ = source_->Width;
    height_ = source_->Height;

    OwnedImage pattern;  // the built-in pattern lives until the chunks are done
    if (!connected) {
      pattern = MakePattern(pixelPreset);
      cells_ = pattern.get();
      cellWidth_ = cells_->Width;
      cellHeight_ = cells_->Height;
    } else {
      // Only the top-left part of a connected image is used; an empty image gives empty cells.
      cells_ = connected;
      cellWidth_ = std::max(0, std::min(connected->Width, WholeValue(in_[kMaxCellWidth], req)));
      cellHeight_ = std::max(0, std::min(connected->Height, WholeValue(in_[kMaxCellHeight], req)));
    }

    channelCount_ = 0;
    int32_t active[3] = {};
    for (int32_t c = 0; c < 3; ++c)
      if (WholeValue(in_[kFlagOf[c]], req) != 0) active[channelCount_++] = c;

    bool draws = false;
    OwnedImage result = NewResult(req, draws);
    result_ = result.get();  // when nothing is drawn, new and so already cleared
    GatherChannels(req, active);
    if (draws) {
      PrepareCells();
      DoMultiProcess(req, height_);
    }
    Publish(req, output_, std::move(result));
  }

  // The output image: a cell per input pixel and active channel, limited by the maximum output
  // size, or the input's size, cleared, when no channel is active. draws: whether any cell fits.
  OwnedImage NewResult(Request* req, bool& draws) {
    if (channelCount_ == 0) {
      OwnedImage result = NewImageLike(source_, Clearing::kCleared);
      outWidth_ = result->Width;
      outHeight_ = result->Height;
      draws = false;
      return result;
    }
    // Sizes are formed wide and limited before they become image sizes, so a large input times
    // a large cell can neither wrap nor go negative.
    int64_t width = int64_t(width_) * cellWidth_ * channelCount_;
    int64_t height = int64_t(height_) * cellHeight_;
    width = std::max<int64_t>(0, std::min<int64_t>(width, WholeValue(in_[kMaxOutputWidth], req)));
    height = std::max<int64_t>(0, std::min<int64_t>(height, WholeValue(in_[kMaxOutputHeight], req)));
    outWidth_ = int32_t(width);
    outHeight_ = int32_t(height);
    // Cells are drawn only where a whole cell fits, so nothing is drawn when one cell is wider
    // or taller than the output.
    draws = cellWidth_ > 0 && cellHeight_ > 0 && cellWidth_ <= outWidth_ && cellHeight_ <= outHeight_;
    // When cells are drawn, the chunks write or clear every pixel.
    return NewImageOfSize(outWidth_, outHeight_, draws ? Clearing::kUncleared : Clearing::kCleared);
  }

  // The colour source and custom colour of each active channel (active: their components).
  void GatherChannels(Request* req, const int32_t (&active)[3]) {
    double custom[3][3];
    for (int32_t c = 0; c < 3; ++c)
      for (int32_t k = 0; k < 3; ++k) custom[c][k] = NumberValue(in_[kColorOf[c] + k], req);
    ColourSource source[3];
    for (int32_t c = 0; c < 3; ++c) {
      // The combos give their items only; a value driven from elsewhere draws as the channel alone.
      const int32_t item = WholeValue(in_[kSourceOf[c]], req);
      source[c] = item >= kChannelFromInput && item <= kCustomColour ? ColourSource(item) : kChannelFromInput;
    }
    for (int32_t a = 0; a < channelCount_; ++a) {
      Channel& ch = channels_[a];
      ch.component = active[a];
      ch.source = source[ch.component];
      for (int32_t k = 0; k < 3; ++k) ch.custom[k] = custom[ch.component][k];
    }
  }

  // Before the chunks draw: the drawn area, the rows below it cleared, the cells read (and, in
  // the host's storage formats, encoded as stored words).
  void PrepareCells() {
    fittingCells_ = outWidth_ / cellWidth_;  // whole cells across one output row
    // Columns from drawnWidth_ on and the rows below the last whole row of cells get no cell.
    drawnWidth_ = int32_t(std::min<int64_t>(int64_t(width_) * channelCount_, fittingCells_) * cellWidth_);
    const int64_t cellRows = std::min<int64_t>(height_, outHeight_ / cellHeight_);
    ClearRows(result_, int32_t(cellRows * cellHeight_), outHeight_);
    if (float_)
      ReadCells(slotsFlt_);
    else
      ReadCells(slotsInt_);
    // Input and output in the same host storage format: rows are written as stored words.
    stored_ = 0;
    const uint32_t storage = source_->Storage;
    if (storage == result_->Storage) {
      if (storage == StorageBgra8 && !float_)
        EncodeCells<formats::Bgra8>(slotsInt_);
      else if (storage == StorageBgra16 && !float_)
        EncodeCells<formats::Bgra16>(slotsInt_);
      else if (storage == StorageBgraFloat && float_)
        EncodeCells<formats::BgraFloat>(slotsFlt_);
      else if (storage == StorageRgba8 && !float_)
        EncodeCells<formats::Rgba8>(slotsInt_);
      else if (storage == StorageRgba16 && !float_)
        EncodeCells<formats::Rgba16>(slotsInt_);
      else if (storage == StorageRgbaFloat && float_)
        EncodeCells<formats::RgbaFloat>(slotsFlt_);
    }
  }

  // 4. Pixel work: input row y becomes output rows y * cell height .. + cell height - 1.
  void ProcessChunk(Request*, int32_t y) override {
    if (y < 0 || y >= height_) return;
    const int64_t top = int64_t(y) * cellHeight_;
    if (top + cellHeight_ > outHeight_) return;  // cells of this row would cross the bottom edge
    if (stored_ == StorageBgra8)
      RenderStoredRow<formats::Bgra8, Pixel>(y, int32_t(top));
    else if (stored_ == StorageBgra16)
      RenderStoredRow<formats::Bgra16, Pixel>(y, int32_t(top));
    else if (stored_ == StorageBgraFloat)
      RenderStoredRow<formats::BgraFloat, FltPixel>(y, int32_t(top));
    else if (stored_ == StorageRgba8)
      RenderStoredRow<formats::Rgba8, Pixel>(y, int32_t(top));
    else if (stored_ == StorageRgba16)
      RenderStoredRow<formats::Rgba16, Pixel>(y, int32_t(top));
    else if (stored_ == StorageRgbaFloat)
      RenderStoredRow<formats::RgbaFloat, FltPixel>(y, int32_t(top));
    else if (float_)
      RenderRow<FltPixel>(y, int32_t(top));
    else
      RenderRow<Pixel>(y, int32_t(top));
    ClearRows(result_, int32_t(top), int32_t(top + cellHeight_), drawnWidth_);
  }

  // 5. Display-type presets: "Preset" sets the controls of its column, in this order.
  void NotifyChanged(Input* in, Parameter* value, double time) override {
    auto* number = dynamic_cast<Number*>(value);
    if (number && in == in_[kPreset]) {
      const double v = number->Value();
      for (int32_t preset = kTvMonitors; preset <= kDiodeMarquee; ++preset)
        if (v == double(preset))
          for (const PresetSetting& s : kPresetSettings)
            if (!std::isnan(s.value[preset])) SetNumberValue(in_[s.input], s.value[preset], time);
    }
    Operator::NotifyChanged(in, value, time);
  }

 private:
  struct PresetSetting {
    int input;
    double value[3];  // per DisplayPreset; NaN = not set
  };
  static constexpr double kNotSet = std::numeric_limits<double>::quiet_NaN();
  static constexpr PresetSetting kPresetSettings[] = {
      {kRed, {1.0, 1.0, 1.0}},
      {kGreen, {1.0, 0.0, 0.0}},
      {kBlue, {1.0, 0.0, 0.0}},
      {kPixelPreset, {kDefaultPattern, kPlaquette, kDiode}},
      {kRedSource, {kChannelFromInput, kCustomColour, kCustomColour}},
      {kGreenSource, {kChannelFromInput, kNotSet, kNotSet}},
      {kBlueSource, {kChannelFromInput, kNotSet, kNotSet}},
      {kRedColorR, {kNotSet, 0.75, 1.0}},
      {kRedColorG, {kNotSet, 0.9, 0.0}},
      {kRedColorB, {kNotSet, 0.0, 0.0}},
  };

  // A ticked channel in slot order: which component it is, its colour source and custom colour.
  struct Channel {
    int32_t component = 0;  // 0 red, 1 green, 2 blue
    ColourSource source = kChannelFromInput;
    double custom[3] = {};  // red, green, blue
  };

  // The built-in pattern image for a "Pixel Preset" value (a value no item has gives the default).
  OwnedImage MakePattern(int32_t preset) {
    const Pattern& p = kPatterns[preset >= kDefaultPattern && preset <= kDiode ? preset : kDefaultPattern];
    OwnedImage im = NewImageOfSize(p.width, p.height, Clearing::kCleared);
    if (float_) {
      const float b = kLevelFloat[p.background];
      im->Fill(FltPixel{b, b, b, b});
      for (const PatternDot& d : p.dots) {
        const float v = kLevelFloat[d.level];
        im->SetPixel(d.x, d.y, FltPixel{v, v, v, v});
      }
    } else {
      const uint32_t b = kLevelWord[p.background];
      im->Fill(b, b, b, b);
      for (const PatternDot& d : p.dots) {
        const uint32_t v = kLevelWord[d.level];
        im->SetPixel(d.x, d.y, Pixel{v, v, v, v});
      }
    }
    return im;
  }

  // Colour of one display pixel of a channel from input pixel P and display pixel D.
  template <class Px>
  static Px Shade(const Channel& ch, const Px& P, const Px& D) {
    const auto alpha = Component(D, ch.component);
    switch (ch.source) {
      case kColourFromInput:
        return Px{P.B, P.G, P.R, alpha};
      case kColourFromPixel:
        return Px{D.B, D.G, D.R, alpha};
      case kCustomColour: {
        const auto v = Component(P, ch.component);
        return Px{Scaled(v, ch.custom[2]), Scaled(v, ch.custom[1]), Scaled(v, ch.custom[0]), alpha};
      }
      case kChannelFromInput:
        break;
    }
    Px o{0, 0, 0, alpha};
    Component(o, ch.component) = Component(P, ch.component);
    return o;
  }

  // Per ticked channel, its shade of every pixel of the display pixel's cell (its top-left cell
  // width x cell height pixels), read once per request: every input pixel draws the cell again.
  // Only "Color from Pixel" takes its colour from the cell; the others take the colour from the
  // input pixel and only the alpha from here.
  template <class Px>
  void ReadCells(std::vector<Px>* slots) {
    const size_t size = size_t(cellWidth_) * size_t(cellHeight_);
    for (int32_t a = 0; a < channelCount_; ++a) slots[a].resize(size);
    for (int32_t j = 0; j < cellHeight_; ++j)
      WithCursor(cells_, 0, j, [&](auto& cell) {
        const size_t row = size_t(j) * size_t(cellWidth_);
        Px D;
        for (int32_t k = 0; k < cellWidth_; ++k) {
          ReadNext(cell, D);
          for (int32_t a = 0; a < channelCount_; ++a)
            slots[a][row + size_t(k)] = Shade(channels_[a], Px{}, D);
        }
      });
  }

  // Output row top + j holds cell row j of every drawn cell, side by side from column 0: input
  // pixel x gives cells x * n .. x * n + n - 1, one per ticked channel, each drawn only where it
  // fits inside the output. So one cursor walks each output row from its left end.
  template <class Px>
  void RenderRow(int32_t y, int32_t top) {
    const std::vector<Px>* slots = SlotsOf(Px{});
    // Locals, so that the compiler need not read them again after every pixel store.
    const int32_t n = channelCount_, cw = cellWidth_, ch = cellHeight_, width = width_;
    const int64_t fitting = fittingCells_;
    const Channel channels[3] = {channels_[0], channels_[1], channels_[2]};
    WithCursors(source_, 0, y, result_, 0, top, [&](auto& src, auto& out) {
      Px P;
      for (int32_t j = 0; j < ch; ++j) {
        const Px* cells[3] = {};
        for (int32_t a = 0; a < n; ++a) cells[a] = slots[a].data() + size_t(j) * size_t(cw);
        src.MoveTo(0, y);
        out.MoveTo(0, top + j);
        for (int32_t x = 0; x < width; ++x) {
          const int64_t firstCell = int64_t(x) * n;
          if (firstCell >= fitting) break;  // this and every later pixel lie past the right edge
          const int32_t drawn = int32_t(std::min<int64_t>(n, fitting - firstCell));
          ReadNext(src, P);
          for (int32_t a = 0; a < drawn; ++a) {
            const Channel& c = channels[a];
            const Px* S = cells[a];
            if (c.source == kColourFromPixel) {
              for (int32_t k = 0; k < cw; ++k) WriteNext(out, S[k]);
            } else {
              Px o = Shade(c, P, S[0]);
              for (int32_t k = 0; k < cw; ++k) {
                o.A = S[k].A;
                WriteNext(out, o);
              }
            }
          }
        }
      }
    });
  }

  // Per ticked channel, the stored words of its cell pixels (row by row), for rows written as
  // stored words: "Color from Pixel" cells in full; for the other sources only the alpha field
  // (the colour fields zero), to be ORed with the colour word of each input pixel. Every host
  // format stores each component on its own, so the OR gives the bytes of the whole pixel.
  //
  // Reading a stored pixel and storing it again gives the same bytes in every host format, so
  // the colour word of "Color from Channel" is the input pixel's word with only that
  // component's field kept, and that of "Color from Input" the word without its alpha field:
  // keepBytes_ holds those fields' bytes per channel.
  template <class Format, class Px>
  void EncodeCells(const std::vector<Px>* slots) {
    constexpr size_t kBytes = Format::kBytes;
    const size_t size = size_t(cellWidth_) * size_t(cellHeight_);
    for (int32_t a = 0; a < channelCount_; ++a) {
      // The component's place in the stored pixel (blue, green, red, alpha or red, green, blue, alpha).
      const int32_t field = ChannelAtPlace(IsRgbaStorage(source_->Storage), 2 - channels_[a].component);
      for (size_t b = 0; b < kBytes; ++b) {
        const size_t f = b / (kBytes / 4);
        keepBytes_[a][b] =
            (channels_[a].source == kColourFromInput ? f < 3 : f == size_t(field)) ? 0xFF : 0x00;
      }
      std::vector<uint8_t>& bytes = cellBytes_[a];
      bytes.resize(size * Format::kBytes);
      for (size_t i = 0; i < size; ++i) {
        Px p = slots[a][i];
        if (channels_[a].source != kColourFromPixel) p = Px{0, 0, 0, p.A};
        const WordOf<Format> w = Encode<Format>(p);
        std::memcpy(bytes.data() + i * Format::kBytes, &w, sizeof w);
      }
    }
    stored_ = source_->Storage;
  }

  // RenderRow for input and output in the host format Format: each cell is its colour word,
  // made once per input pixel and channel (as EncodeCells describes), ORed with the alpha word
  // of each cell pixel (or the cell's own words for "Color from Pixel").
  template <class Format, class Px>
  void RenderStoredRow(int32_t y, int32_t top) {
    using Word = WordOf<Format>;
    constexpr size_t kBytes = Format::kBytes;
    Word keep[3] = {};  // per slot, the fields the input pixel's word keeps
    for (int32_t a = 0; a < channelCount_; ++a) std::memcpy(&keep[a], keepBytes_[a], sizeof(Word));
    const int32_t n = channelCount_, cw = cellWidth_, ch = cellHeight_, width = width_;
    const int64_t fitting = fittingCells_;
    const Channel channels[3] = {channels_[0], channels_[1], channels_[2]};
    const uint8_t* cells[3] = {cellBytes_[0].data(), cellBytes_[1].data(), cellBytes_[2].data()};
    uint8_t* const* rows = result_->RowTable + top;
    const uint8_t* in = source_->RowTable[y];
    const Px noAlpha{};
    const size_t cellRowBytes = size_t(cw) * kBytes;
    // Input pixels whose cells all fit, and whether every cell is one pixel wide with its colour
    // taken from the input word alone (the display presets' usual case), which gets a loop of
    // its own.
    const int32_t whole = int32_t(std::min<int64_t>(width, fitting / n));
    bool plain = cw == 1;
    for (int32_t a = 0; a < n; ++a)
      plain = plain && (channels[a].source == kChannelFromInput || channels[a].source == kColourFromInput);
    // Row by row, so that the output is written as one sequential stream; the input row stays
    // in the cache between the cell rows.
    for (int32_t j = 0; j < ch; ++j) {
      uint8_t* d = rows[j];
      const uint8_t* cellRow[3] = {};
      for (int32_t a = 0; a < n; ++a) cellRow[a] = cells[a] + size_t(j) * cellRowBytes;
      int32_t x = 0;
      if (plain) {
        Word alpha[3] = {};
        for (int32_t a = 0; a < n; ++a) std::memcpy(&alpha[a], cellRow[a], sizeof(Word));
        for (; x < whole; ++x) {
          Word stored;
          std::memcpy(&stored, in + size_t(x) * kBytes, sizeof stored);
          for (int32_t a = 0; a < n; ++a, d += kBytes) {
            const Word w = (stored & keep[a]) | alpha[a];
            std::memcpy(d, &w, sizeof w);
          }
        }
      }
      for (; x < width; ++x) {
        const int64_t firstCell = int64_t(x) * n;
        if (firstCell >= fitting) break;  // this and every later pixel lie past the right edge
        const int32_t drawn = int32_t(std::min<int64_t>(n, fitting - firstCell));
        Word stored;
        std::memcpy(&stored, in + size_t(x) * kBytes, sizeof stored);
        for (int32_t a = 0; a < drawn; ++a, d += cellRowBytes) {
          if (channels[a].source == kColourFromPixel) {
            std::memcpy(d, cellRow[a], cellRowBytes);
            continue;
          }
          Word colour = stored & keep[a];
          if (channels[a].source == kCustomColour) {
            Px P;
            if constexpr (std::is_same_v<Px, FltPixel>)
              Format::GetFlt(in + size_t(x) * kBytes, P);
            else
              Format::Get(in + size_t(x) * kBytes, P);
            Px o = Shade(channels[a], P, noAlpha);
            o.A = 0;
            colour = Encode<Format>(o);
          }
          for (int32_t k = 0; k < cw; ++k) {
            Word w;
            std::memcpy(&w, cellRow[a] + size_t(k) * kBytes, sizeof w);
            w = colour | w;
            std::memcpy(d + size_t(k) * kBytes, &w, sizeof w);
          }
        }
      }
    }
  }

  const std::vector<Pixel>* SlotsOf(const Pixel&) const { return slotsInt_; }
  const std::vector<FltPixel>* SlotsOf(const FltPixel&) const { return slotsFlt_; }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* source_ = nullptr;
  Image* cells_ = nullptr;  // the display pixel image
  Image* result_ = nullptr;
  bool float_ = false;
  int32_t width_ = 0, height_ = 0, cellWidth_ = 0, cellHeight_ = 0;
  int32_t outWidth_ = 0, outHeight_ = 0, channelCount_ = 0;
  int64_t fittingCells_ = 0;
  int32_t drawnWidth_ = 0;  // output columns covered by cells
  Channel channels_[3];
  // Per slot, the shade of each cell pixel, row by row, for the request's pixel form.
  std::vector<Pixel> slotsInt_[3];
  std::vector<FltPixel> slotsFlt_[3];
  uint32_t stored_ = 0;                // the host storage format rows are written in as words, or 0
  std::vector<uint8_t> cellBytes_[3];  // per slot, as EncodeCells makes them
  uint8_t keepBytes_[3][16] = {};      // per slot, as EncodeCells makes them
};

ORVANTA_REGISTER_TOOL(BillboardOperator)

}  // namespace orvanta
