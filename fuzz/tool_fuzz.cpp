// One tool on arbitrary inputs: every image input connected or not, each of any depth and size
// up to 12 x 12 (including 0 x 0, 1 x 1 and 1 x N) with arbitrary pixel bytes; every control set
// to a value drawn from its range ends, NaN, infinities, huge numbers, values between combo items
// or raw doubles. The render must not crash, and 1 and 3 workers must give the same result.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "orvanta/host/host.h"

namespace {
using namespace orvanta;

struct Bytes {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  double Raw() {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= uint64_t(Byte()) << (8 * i);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
};

double ValueFor(const host::ControlDescription& d, Bytes& in) {
  const double lo = d.rangeLow.value_or(0.0), hi = d.rangeHigh.value_or(1.0);
  switch (in.Byte() % 16) {
    case 0:
      return std::numeric_limits<double>::quiet_NaN();
    case 1:
      return std::numeric_limits<double>::infinity();
    case 2:
      return -std::numeric_limits<double>::infinity();
    case 3:
      return lo;
    case 4:
      return hi;
    case 5:
      return -1.0;
    case 6:
      return 1e300;
    case 7:
      return -1e300;
    case 8:
      return double(in.Byte()) / 2.0;  // between combo items too
    case 9:
      return in.Raw();
    case 10:
      return double(int8_t(in.Byte()));
    case 11:
      return lo + (hi - lo) * in.Byte() / 255.0;
    default:
      return d.defaultValue.value_or(0.0);
  }
}

host::ImagePtr ImageFor(Bytes& in) {
  static const uint32_t depths[] = {Depth8, Depth16, DepthFloat};
  uint32_t depth = depths[in.Byte() % 3];
  int32_t w = in.Byte() % 13, h = in.Byte() % 13;
  host::ImagePtr im = host::MakeImage(w, h, depth);
  uint8_t mode = in.Byte();
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = im->RowTable[y];
    size_t bytes = size_t(w) * im->BytesPerPixel;
    for (size_t i = 0; i < bytes; ++i) row[i] = (mode & 1) ? in.Byte() : uint8_t(i * 37 + y * 11 + mode);
  }
  return im;
}

bool Same(const host::RenderResult& a, const host::RenderResult& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error == b.error;
  const Image* x = a.image.get();
  const Image* y = b.image.get();
  if (x->Width != y->Width || x->Height != y->Height || x->Depth != y->Depth) return false;
  for (int32_t r = 0; r < x->Height; ++r)
    if (std::memcmp(x->RowTable[r], y->RowTable[r], size_t(x->Width) * x->BytesPerPixel) != 0) return false;
  return true;
}

const host::ClassInfo* g_class = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  host::LoadPlugin(std::string(ORVANTA_PLUGIN_DIR) + "/" FUZZ_TOOL ".so");
  g_class = host::FindClass(FUZZ_TOOL);
  if (!g_class) {
    std::fprintf(stderr, "cannot load %s\n", FUZZ_TOOL);
    std::abort();
  }
  host::SetImageBudget(64u << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in{data, size};
  host::Node node(*g_class);
  std::vector<host::ImagePtr> images;
  for (Input* input : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(input);
    if (d.IsImage()) {
      if (in.Byte() % 4 != 0) {
        images.push_back(ImageFor(in));
        host::Connect(input, images.back().get(), "fuzz");
      }
    } else if (d.type == PointDataType) {
      AutoParameter p(new Point(ValueFor(d, in), ValueFor(d, in)));
      input->SetValue(p.get(), 0.0, 1);
    } else {
      AutoNumber n(ValueFor(d, in));
      input->SetValue(n.get(), 0.0, 1);
    }
  }
  host::SetThreadCount(1);
  host::RenderResult one = node.Render(0.0);
  host::SetThreadCount(3);
  host::RenderResult three = node.Render(0.0);
  if (!Same(one, three)) {
    std::fprintf(stderr, "1 and 3 workers differ: %s / %s\n", one.error.c_str(), three.error.c_str());
    std::abort();
  }
  return 0;
}
