// OrvantaMultitude: builds a crowd. Every pixel of the "Crowd" dot map whose colour equals the key
// colour of a folk slot exactly is replaced by that slot's figure, centred on the pixel, on an
// output that starts cleared and takes the background's size and format.
//
// The chunks (one per crowd row) first only search for dots and note the matching slots of each
// pixel. The figures are then merged by a second round of chunks, one per band of output rows,
// each applying every figure in crowd order (row, column, slot) clipped to its band, so
// overlapping figures always end up in the same order whatever the worker count.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/skeleton.h"

namespace orvanta {

class MultitudeOperator : public Tool<MultitudeOperator> {
 public:
  // 1. Identity.
  static constexpr ToolIdentity kIdentity = {
      "OrvantaMultitude",
      0x84290002,
      "OrvaMultitude",
      "Mltd",
      "OrvantaMultitude Generator",
      "Quickly create a crowd by replacing colored dots.\nV0.9 public Beta",
      "Built: Oct 14 2005"};

  // 2. Declarations, in display order.
  static constexpr int kSlots = 4;
  enum { kBackground, kCrowd, kFirstFolk, kInputCount = kFirstFolk + 5 * kSlots };
  // Inputs of slot s (0-based): the folk image, then its key's red, green, blue and alpha.
  static constexpr int FolkInput(int s) { return kFirstFolk + 5 * s; }

  static std::vector<Row> Declarations() {
    std::vector<Row> rows = {
        PageRow("Crowd"),
        InputRow("Background", ImageDataType, MainImageId, {{InLinkOption, -1}}),
        InputRow("Crowd", ImageDataType, SecondImageId, {{InRequired, 1}, {InLinkOption, -1}}),
    };
    static const char* const folkLabels[kSlots] = {"Folk 1", "Folk 2", "Folk 3", "Folk 4"};
    static constexpr uint32_t folkIds[kSlots] = {0x314D4300, 0x324D4300, 0x334D4300, 0x344D4300};
    static constexpr char keyIds[kSlots][4][5] = {{"CM1R", "CM1G", "CM1B", "CM1A"},
                                                  {"CM2R", "CM2G", "CM2B", "CM2A"},
                                                  {"CM3R", "CM3G", "CM3B", "CM3A"},
                                                  {"CM4R", "CM4G", "CM4B", "CM4A"}};
    for (int32_t s = 0; s < kSlots; ++s) {
      rows.push_back(InputRow(folkLabels[s], ImageDataType, folkIds[s],
                              {{InControl, ImageControl}, {InRequired, 0}, {InLinkOption, -1}}));
      const std::vector<Row> key = ColourRows("Color", s + 1,
                                              {{"Red", FourCC(keyIds[s][0])},
                                               {"Green", FourCC(keyIds[s][1])},
                                               {"Blue", FourCC(keyIds[s][2])},
                                               {"Alpha", FourCC(keyIds[s][3])}});
      rows.insert(rows.end(), key.begin(), key.end());
    }
    rows.push_back(ImageOutputRow());
    return rows;
  }

  MultitudeOperator(Registry* reg, CArchive* archive, TagList* tags) : Tool(reg, archive, tags) {
    output_ = Declare(Declarations(), in_);
  }

  // 3. Gathering, then the merges in crowd order once every chunk has searched its row.
  void Process(Request* req) override {
    Image* source = ImageValue(in_[kBackground], req);
    if (!source) return;  // the host refuses the request before this; nothing to size by
    crowd_ = ImageValue(in_[kCrowd], req);
    for (int32_t s = 0; s < kSlots; ++s) folk_[s] = ImageValue(in_[FolkInput(s)], req);
    float_ = source->Depth == DepthFloat;
    const double fullScale = FullScaleOf(source->Depth);

    // Cleared band by band on the workers, just before each band's merges.
    OwnedImage result = NewImageLike(source, Clearing::kUncleared);
    placements_.clear();

    if (crowd_) {
      crowdWidth_ = crowd_->Width;
      crowdHeight_ = crowd_->Height;
      bool anyFolk = false;
      for (int32_t s = 0; s < kSlots; ++s) {
        if (!folk_[s]) continue;
        halfWidth_[s] = folk_[s]->Width / 2;
        halfHeight_[s] = folk_[s]->Height / 2;
        for (int32_t c = 0; c < 4; ++c) key_[s][c] = NumberValue(in_[FolkInput(s) + 1 + c], req) * fullScale;
        anyFolk = true;
      }
      if (anyFolk && crowdWidth_ > 0 && crowdHeight_ > 0) {
        // One byte per crowd pixel, bit s set when slot s + 1 matches; each chunk fills its row.
        matches_.resize(size_t(crowdWidth_) * size_t(crowdHeight_));
        RunChunks(req, crowdHeight_, [this](int32_t y) { SearchRow(y); });
        ListPlacements();
      }
    }
    // The merges, in bands of output rows: each band applies every figure in crowd order,
    // clipped to its rows, so each pixel sees the same merges in the same order as one figure
    // at a time would give it, whatever the worker count.
    result_ = result.get();
    RunChunks(req, (result_->Height + kBandRows - 1) / kBandRows, [this](int32_t band) { MergeBand(band); });
    result_ = nullptr;
    Publish(req, output_, std::move(result));
  }

 private:
  // 4. Pixel work: the dot search of crowd row y, then the merges of one band of output rows.
  void SearchRow(int32_t y) {
    if (y < 0 || y >= crowdHeight_) return;
    if (float_)
      SearchRowOf<FltPixel>(y);
    else
      SearchRowOf<Pixel>(y);
  }

  template <class Px>
  void SearchRowOf(int32_t y) {
    uint8_t* found = matches_.data() + size_t(y) * size_t(crowdWidth_);
    std::memset(found, 0, size_t(crowdWidth_));
    WithCursor(crowd_, 0, y, [&](auto& c) {
      Px p;
      for (int32_t x = 0; x < crowdWidth_; ++x) {
        ReadNext(c, p);
        if (p.R == 0 && p.G == 0 && p.B == 0 && p.A == 0) continue;  // blank: never a dot
        uint8_t bits = 0;
        for (int32_t s = 0; s < kSlots; ++s) {
          const double* k = key_[s];
          if (folk_[s] && double(p.R) == k[0] && double(p.G) == k[1] && double(p.B) == k[2] &&
              double(p.A) == k[3])
            bits |= uint8_t(1u << s);
        }
        found[x] = bits;
      }
    });
  }

  // Every figure to merge, in merge order: row by row, column by column, slot 1 to 4 (into
  // placements_, which Process empties first).
  void ListPlacements() {
    for (int32_t y = 0; y < crowdHeight_; ++y) {
      const uint8_t* row = matches_.data() + size_t(y) * size_t(crowdWidth_);
      for (int32_t x = 0; x < crowdWidth_;) {
        // Dots are few: skip 64 empty pixels at a time.
        if (x + 64 <= crowdWidth_) {
          uint64_t any = 0;
          for (int32_t k = 0; k < 64; k += 8) {
            uint64_t eight;
            std::memcpy(&eight, row + x + k, sizeof eight);
            any |= eight;
          }
          if (any == 0) {
            x += 64;
            continue;
          }
        }
        const int32_t end = std::min(crowdWidth_, x + 64);
        for (; x < end; ++x) {
          if (!row[x]) continue;
          for (int32_t s = 0; s < kSlots; ++s)
            if (row[x] & (1u << s))
              placements_.push_back(Placement{int64_t(x) - halfWidth_[s], int64_t(y) - halfHeight_[s], s});
        }
      }
    }
  }

  // Output rows band * kBandRows .. + kBandRows - 1: cleared, then every figure that reaches
  // them, in order.
  void MergeBand(int32_t band) const {
    const int64_t top = int64_t(band) * kBandRows, bottom = top + kBandRows;
    ClearRows(result_, int32_t(top), int32_t(bottom));
    for (const Placement& p : placements_) {
      const Image* fig = folk_[p.slot];
      if (p.y >= bottom || p.y + fig->Height <= top) continue;
      if (p.x > INT32_MAX || p.y > INT32_MAX || p.x < INT32_MIN || p.y < INT32_MIN) continue;
      result_->OXMergeRows(fig, int32_t(p.x), int32_t(p.y), int32_t(top), int32_t(bottom));
    }
  }

  Input* in_[kInputCount] = {};
  Output* output_ = nullptr;
  // Per-request working values.
  Image* crowd_ = nullptr;
  Image* folk_[kSlots] = {};
  bool float_ = false;
  int32_t crowdWidth_ = 0, crowdHeight_ = 0;
  int32_t halfWidth_[kSlots] = {}, halfHeight_[kSlots] = {};
  double key_[kSlots][4] = {};
  std::vector<uint8_t> matches_;
  struct Placement {
    int64_t x, y;  // the figure's top-left pixel in the output
    int32_t slot;
  };
  static constexpr int32_t kBandRows = 16;
  std::vector<Placement> placements_;
  Image* result_ = nullptr;
};

ORVANTA_REGISTER_TOOL(MultitudeOperator)

}  // namespace orvanta
