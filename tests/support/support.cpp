#include "support.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <ostream>
#include <vector>

namespace orvanta::testing {

const host::ClassInfo& LoadTool(const std::string& library) {
  static std::map<std::string, std::string> loaded;  // library -> class name
  auto it = loaded.find(library);
  if (it == loaded.end()) {
    host::PluginLoad r = host::LoadPlugin(std::string(ORVANTA_PLUGIN_DIR) + "/" + library + ".so");
    if (!r.ok || r.classes.empty()) {
      ADD_FAILURE() << "cannot load " << library << ": " << r.error;
      throw std::runtime_error("plug-in did not load");
    }
    it = loaded.emplace(library, r.classes.front()).first;
  }
  const host::ClassInfo* cls = host::FindClass(it->second);
  if (!cls) throw std::runtime_error("class vanished");
  return *cls;
}

std::unique_ptr<host::Node> MakeNode(const std::string& library) {
  return std::make_unique<host::Node>(LoadTool(library));
}

void Set(host::Node& node, uint32_t id, double value, double time) {
  Input* in = node.FindInput(id);
  ASSERT_NE(in, nullptr) << "no input " << std::hex << id;
  AutoNumber n(value);
  in->SetValue(n.get(), time, 1);
}

double Get(host::Node& node, uint32_t id, double time) {
  Input* in = node.FindInput(id);
  EXPECT_NE(in, nullptr) << "no input " << std::hex << id;
  return in ? host::NumberAt(in, time) : 0.0;
}

bool Shown(host::Node& node, uint32_t id) {
  Input* in = node.FindInput(id);
  EXPECT_NE(in, nullptr) << "no input " << std::hex << id;
  return in && host::Describe(in).shown;
}

host::ImagePtr Flat(int32_t w, int32_t h, uint32_t depth, Pixel p) {
  host::ImagePtr im = host::MakeImage(w, h, depth);
  if (depth == DepthFloat)
    im->Fill(FltPixel{p.B / 65535.0f, p.G / 65535.0f, p.R / 65535.0f, p.A / 65535.0f});
  else
    im->Fill(p.B, p.G, p.R, p.A);
  return im;
}

host::ImagePtr Numbered(int32_t w, int32_t h, uint32_t depth) {
  host::ImagePtr im = host::MakeImage(w, h, depth);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      Pixel p{uint32_t(x) & 0xFFFF, uint32_t(y) & 0xFFFF, uint32_t(x + y * w) & 0xFFFF, 65535};
      if (depth == DepthFloat)
        im->SetPixel(x, y, FltPixel{p.B / 65535.0f, p.G / 65535.0f, p.R / 65535.0f, 1.0f});
      else
        im->SetPixel(x, y, p);
    }
  return im;
}

host::ImagePtr EveryValue(uint32_t depth) {
  std::vector<float> extra = {0.0f,
                              -0.0f,
                              std::numeric_limits<float>::quiet_NaN(),
                              -std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::denorm_min(),
                              -1e-40f,
                              1.0f,
                              1.5f,
                              5.0f,
                              1e30f,
                              -0.25f,
                              -1e30f};
  for (float f :
       {0.25f, 0.5f, 0.75f, 0.1f, 0.9f, 0.3f, 0.6f, 0.2f, 0.8f, 0.7f, 0.45f, 0.125f, 0.375f, 0.625f, 0.875f})
    for (float g = f, k = 0; k < 4; ++k) {
      extra.push_back(g);
      extra.push_back(std::nextafter(f, g < f ? -1.0f : 2.0f));
      g = std::nextafter(g, -1.0f);
    }
  const int32_t h = depth == DepthFloat ? 257 : 256;
  host::ImagePtr im = host::MakeImage(256, h, depth);
  for (uint32_t i = 0; i < 65536u; ++i) {
    const Pixel p{i, 65535u - i, (i * 7u) & 0xFFFF, (i * 13u) & 0xFFFF};
    const int32_t x = int32_t(i & 255), y = int32_t(i >> 8);
    if (depth == DepthFloat)
      im->SetPixel(x, y, FltPixel{p.B / 65535.0f, p.G / 65535.0f, p.R / 65535.0f, p.A / 65535.0f});
    else
      im->SetPixel(x, y, p);
  }
  if (depth == DepthFloat)
    for (size_t k = 0; k < extra.size() && k < 256; ++k) {
      const float f = extra[k], g = extra[(k + 5) % extra.size()];
      im->SetPixel(int32_t(k), 256, FltPixel{f, g, -f, extra[(k * 3) % extra.size()]});
    }
  return im;
}

namespace {
class CustomImage final : public Image {
 public:
  explicit CustomImage(const Image* src) {
    Width = src->Width;
    Height = src->Height;
    Depth = src->Depth;
    BytesPerPixel = src->BytesPerPixel;
    ReadPixel = src->ReadPixel;
    WritePixel = src->WritePixel;
    ReadFltPixel = src->ReadFltPixel;
    WriteFltPixel = src->WriteFltPixel;
    Storage = StorageCustom;
    size_t row = size_t(Width) * BytesPerPixel;
    bytes_.resize(row * Height + 1);
    rows_.resize(size_t(Height) + 1);
    for (int32_t y = 0; y < Height; ++y) {
      rows_[y] = bytes_.data() + row * y;
      std::memcpy(rows_[y], src->RowTable[y], row);
    }
    RowTable = rows_.data();
  }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t*> rows_;
};
}  // namespace

host::ImagePtr CustomStorageCopy(const Image* im) { return host::ImagePtr(new CustomImage(im)); }

Pixel At(const Image* im, int32_t x, int32_t y) {
  Pixel p{};
  im->GetPixel(x, y, p);
  return p;
}

FltPixel AtFlt(const Image* im, int32_t x, int32_t y) {
  FltPixel p{};
  im->GetPixel(x, y, p);
  return p;
}

bool SameBytes(const Image* a, const Image* b) {
  if (a->Width != b->Width || a->Height != b->Height || a->Depth != b->Depth) return false;
  for (int32_t y = 0; y < a->Height; ++y)
    if (!SameRow(a, y, b, y)) return false;
  return true;
}

bool SameRow(const Image* a, int32_t ya, const Image* b, int32_t yb) {
  return a->Width == b->Width && a->BytesPerPixel == b->BytesPerPixel &&
         std::memcmp(a->RowTable[ya], b->RowTable[yb], size_t(a->Width) * a->BytesPerPixel) == 0;
}

host::ImagePtr RenderOk(host::Node& node, double time) {
  host::RenderResult r = node.Render(time);
  EXPECT_TRUE(r.ok()) << r.error;
  return std::move(r.image);
}

host::ImagePtr RenderOn(host::Node& node, Image* input) {
  host::Connect(node.FindInput(MainImageId), input);
  return RenderOk(node);
}

void ExpectRendersLikeNewNodes(const std::string& library, const std::vector<ControlStep>& steps,
                               Image* input) {
  auto node = MakeNode(library);
  for (size_t n = 0; n < steps.size(); ++n) {
    SCOPED_TRACE(::testing::Message() << library << ", after " << n + 1 << " changes");
    Set(*node, steps[n].id, steps[n].value);
    auto fresh = MakeNode(library);
    for (size_t k = 0; k <= n; ++k) Set(*fresh, steps[k].id, steps[k].value);
    EXPECT_TRUE(SameBytes(RenderOn(*node, input).get(), RenderOn(*fresh, input).get()));
  }
}

}  // namespace orvanta::testing

namespace orvanta {
std::ostream& operator<<(std::ostream& os, const Pixel& p) {
  return os << "(B " << p.B << ", G " << p.G << ", R " << p.R << ", A " << p.A << ")";
}
std::ostream& operator<<(std::ostream& os, const FltPixel& p) {
  return os << "(B " << p.B << ", G " << p.G << ", R " << p.R << ", A " << p.A << ")";
}

const char* const testing::kGammaViewOcio =
    "ocio_profile_version: 2\n"
    "roles:\n  default: lin\n  scene_linear: lin\n"
    "displays:\n  screen:\n    - !<View> {name: gamma, colorspace: g22}\n"
    "colorspaces:\n  - !<ColorSpace>\n    name: lin\n"
    "  - !<ColorSpace>\n    name: g22\n"
    "    from_scene_reference: !<ExponentTransform> {value: 2.2, direction: inverse}\n";

}  // namespace orvanta
