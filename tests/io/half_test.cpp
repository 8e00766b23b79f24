// Reading samples as stored: our half conversions give the image library's own results for every
// half, for floats at and around every rounding boundary and for NaN payloads, in both the vector
// and the one-at-a-time versions; half EXR files read and written through them keep every value;
// and files read as stored give what the library's converting read gives.
#include <OpenImageIO/imageio.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "half_rows.h"
#include "orvanta/io/image_io.h"
#include "support.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;
using OIIO::TypeDesc;

uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }
float FromBits(uint32_t b) { return std::bit_cast<float>(b); }

std::vector<uint16_t> EveryHalf() {
  std::vector<uint16_t> h(65536);
  for (size_t i = 0; i < h.size(); ++i) h[i] = uint16_t(i);
  return h;
}

// Floats where rounding to half decides: every half's value, the midpoints to its neighbours and
// one float step either side of them, both signs; overflow and underflow edges; NaNs with quiet
// and signalling payloads; and spread-out values from a fixed sequence.
std::vector<float> RoundingCases() {
  std::vector<float> f;
  for (uint32_t h = 0; h < 0x7c00; ++h) {
    const uint32_t lo = Bits(io::HalfBitsToFloat(uint16_t(h)));
    const uint32_t hi = Bits(io::HalfBitsToFloat(uint16_t(h + 1)));
    const uint32_t mid = Bits((FromBits(lo) + FromBits(hi)) / 2);
    for (uint32_t b : {lo, mid - 1, mid, mid + 1})
      for (uint32_t sign : {0u, 0x80000000u}) f.push_back(FromBits(b | sign));
  }
  for (uint32_t b : {0x7f800000u, 0x7f800001u, 0x7fc00000u, 0x7fa00000u, 0x7f802000u, 0x7fffffffu,
                     0x477fe000u, 0x477ff000u, 0x477fefffu, 0x47800000u, 0x33000000u, 0x33000001u,
                     0x32ffffffu, 0x00000001u, 0x007fffffu, 0x387fc000u, 0x387fe000u})
    for (uint32_t sign : {0u, 0x80000000u}) f.push_back(FromBits(b | sign));
  uint32_t x = 12345;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1664525u + 1013904223u;
    f.push_back(FromBits(x));
  }
  return f;
}

std::vector<uint16_t> LibraryHalves(const std::vector<float>& f) {
  std::vector<uint16_t> h(f.size());
  EXPECT_TRUE(OIIO::convert_pixel_values(TypeDesc::FLOAT, f.data(), TypeDesc::HALF, h.data(), int(f.size())));
  return h;
}

TEST(Half, HalvesToFloatsAsTheImageLibraryConvertsThem) {
  const std::vector<uint16_t> h = EveryHalf();
  std::vector<float> want(h.size()), vec(h.size());
  ASSERT_TRUE(
      OIIO::convert_pixel_values(TypeDesc::HALF, h.data(), TypeDesc::FLOAT, want.data(), int(h.size())));
  io::HalfToFloat(h.data(), vec.data(), h.size());
  for (size_t i = 0; i < h.size(); ++i) {
    ASSERT_EQ(Bits(vec[i]), Bits(want[i])) << "half 0x" << std::hex << i;
    ASSERT_EQ(Bits(io::HalfBitsToFloat(h[i])), Bits(want[i])) << "half 0x" << std::hex << i;
  }
}

TEST(Half, FloatsToHalvesAsTheImageLibraryRoundsThem) {
  const std::vector<float> f = RoundingCases();
  const std::vector<uint16_t> want = LibraryHalves(f);
  std::vector<uint16_t> vec(f.size());
  io::FloatToHalf(f.data(), vec.data(), f.size());
  for (size_t i = 0; i < f.size(); ++i) {
    ASSERT_EQ(vec[i], want[i]) << "float bits 0x" << std::hex << Bits(f[i]);
    ASSERT_EQ(io::FloatToHalfBits(f[i]), want[i]) << "float bits 0x" << std::hex << Bits(f[i]);
  }
}

// The pixel versions swap red and blue, and rows whose width the vector steps do not fill end right.
TEST(Half, PixelRowsSwapRedAndBlueToTheLastPixel) {
  for (size_t pixels : {size_t(1), size_t(2), size_t(7), size_t(1920)}) {
    std::vector<uint16_t> rgba(pixels * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint16_t(i * 2654435761u >> 16);
    rgba[0] = 0x7d01;  // a signalling NaN in the first pixel
    std::vector<float> bgra(pixels * 4);
    io::HalfRgbaToFloatBgra(rgba.data(), bgra.data(), pixels);
    for (size_t p = 0; p < pixels; ++p)
      for (size_t c = 0; c < 4; ++c) {
        const size_t from = p * 4 + (c == 3 ? 3 : 2 - c);
        ASSERT_EQ(Bits(bgra[p * 4 + c]), Bits(io::HalfBitsToFloat(rgba[from]))) << pixels << " pixels, " << p;
      }
    std::vector<uint16_t> back(pixels * 4);
    io::FloatBgraToHalfRgba(bgra.data(), back.data(), pixels);
    EXPECT_EQ(back, rgba) << pixels << " pixels";
  }
}

class HalfFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvanta-half-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A 256 x 256 RGBA file whose samples run through every half, each channel shifted.
  std::vector<uint16_t> WriteEveryHalf(const std::string& path, std::vector<TypeDesc> formats = {}) {
    OIIO::ImageSpec spec(256, 256, 4, TypeDesc::HALF);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!formats.empty()) spec.channelformats = formats;
    std::vector<uint16_t> px(size_t(256) * 256 * 4);
    for (size_t i = 0; i < px.size() / 4; ++i)
      for (size_t c = 0; c < 4; ++c) px[i * 4 + c] = uint16_t(i + c * 16411);
    auto out = OIIO::ImageOutput::create(path);
    EXPECT_TRUE(out && out->open(path, spec) && out->write_image(TypeDesc::HALF, px.data()) && out->close());
    return px;
  }
  fs::path dir_;
};

TEST_F(HalfFiles, EveryHalfReadAndWrittenBackUnchanged) {
  const std::string in = (dir_ / "in.exr").string(), out = (dir_ / "out.exr").string();
  const std::vector<uint16_t> px = WriteEveryHalf(in);
  host::ImagePtr im = io::ReadImage(in);
  ASSERT_EQ(im->Depth, uint32_t(DepthFloat));
  const float* row = reinterpret_cast<const float*>(host::RowBytes(im.get(), 5));
  EXPECT_EQ(Bits(row[4 * 3 + 0]), Bits(io::HalfBitsToFloat(px[(5 * 256 + 3) * 4 + 2])));  // blue comes first
  io::WriteImage(*im, out, io::Bits::Half);
  auto back = OIIO::ImageInput::open(out);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->spec().format, TypeDesc::HALF);
  std::vector<uint16_t> got(px.size());
  ASSERT_TRUE(back->read_image(0, 0, 0, 4, TypeDesc::HALF, got.data()));
  EXPECT_EQ(got, px);
}

// A file that mixes half and float channels keeps its float channel's precision.
TEST_F(HalfFiles, MixedChannelFormatsKeepTheFloatChannel) {
  const std::string in = (dir_ / "mixed.exr").string();
  OIIO::ImageSpec spec(4, 2, 4, TypeDesc::HALF);
  spec.channelformats = {TypeDesc::HALF, TypeDesc::HALF, TypeDesc::HALF, TypeDesc::FLOAT};
  spec.attribute("oiio:UnassociatedAlpha", 1);
  std::vector<float> px(4 * 2 * 4, 0.25f);
  for (size_t i = 0; i < 8; ++i) px[i * 4 + 3] = 1.0f / 3.0f;
  auto out = OIIO::ImageOutput::create(in);
  ASSERT_TRUE(out && out->open(in, spec) && out->write_image(TypeDesc::FLOAT, px.data()) && out->close());
  host::ImagePtr im = io::ReadImage(in);
  const float* row = reinterpret_cast<const float*>(host::RowBytes(im.get(), 1));
  EXPECT_EQ(row[3], 1.0f / 3.0f);
  EXPECT_EQ(row[0], 0.25f);
}

// Every sample format read as stored gives the samples the image library's converting read
// gives, red and blue swapped.
TEST_F(HalfFiles, FilesReadAsStoredMatchTheLibrarysConvertingRead) {
  struct Case {
    const char* name;
    TypeDesc file;
    TypeDesc mem;
  };
  for (const Case& c :
       {Case{"u8.tif", TypeDesc::UINT8, TypeDesc::UINT8}, Case{"u16.tif", TypeDesc::UINT16, TypeDesc::UINT16},
        Case{"f32.exr", TypeDesc::FLOAT, TypeDesc::FLOAT},
        Case{"u16-rows.tif", TypeDesc::UINT16, TypeDesc::UINT16}}) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir_ / c.name).string();
    const int w = 37, h = 70;  // more rows than one block, and not a whole number of them
    OIIO::ImageSpec spec(w, h, 4, c.file);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (std::string(c.name) == "u16-rows.tif") spec.attribute("tiff:RowsPerStrip", 1);
    std::vector<float> px(size_t(w) * h * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = float((i * 7919) % 1000) / 999.0f;
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, spec) && out->write_image(TypeDesc::FLOAT, px.data()) && out->close());

    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);  // as the command reads: stored values as they are
    auto in = OIIO::ImageInput::open(path, &config);
    ASSERT_TRUE(in);
    std::vector<uint8_t> want(size_t(w) * h * 4 * c.mem.size());
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, c.mem, want.data()));
    host::ImagePtr im = io::ReadImage(path);
    const size_t sample = c.mem.size();
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = host::RowBytes(im.get(), y);
      for (int x = 0; x < w; ++x)
        for (int ch = 0; ch < 4; ++ch) {
          const int from = ch == 3 ? 3 : 2 - ch;
          ASSERT_EQ(
              std::memcmp(row + (size_t(x) * 4 + size_t(ch)) * sample,
                          want.data() + ((size_t(y) * w + size_t(x)) * 4 + size_t(from)) * sample, sample),
              0)
              << "pixel " << x << "," << y << " channel " << ch;
        }
    }
  }
}

}  // namespace
}  // namespace orvanta
