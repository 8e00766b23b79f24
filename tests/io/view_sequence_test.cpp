// The view transform's exposure and gamma against the curves written out by hand, for the built-in
// sRGB view and for a configuration's view; and the frames of a numbered sequence found on disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "orvanta/host/failure.h"
#include "orvanta/io/sequence.h"
#include "orvanta/io/view.h"
#include "support.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;

uint8_t Byte(double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); }
double Srgb(double v) { return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }

// One row of float pixels (R, G, B, A) as given.
host::ImagePtr Row(const std::vector<FltPixel>& bgra) {
  host::ImagePtr im = host::MakeImage(int32_t(bgra.size()), 1, DepthFloat);
  for (size_t x = 0; x < bgra.size(); ++x) im->SetPixel(int32_t(x), 0, bgra[x]);
  return im;
}

// Display bytes of pixel x as R, G, B, A.
std::array<int, 4> At(const Image& im, int32_t x) {
  const uint8_t* p = host::RowBytes(&im, 0) + 4 * x;
  return {p[2], p[1], p[0], p[3]};
}

TEST(ViewTransform, ExposureScalesTheLinearColourAndGammaBendsTheDisplay) {
  auto view = io::ViewTransform::Srgb();
  // B, G, R, A: red 0.18, green 0.05, blue 0.6, alpha 0.5.
  host::ImagePtr im = Row({FltPixel{0.6f, 0.05f, 0.18f, 0.5f}});
  const auto plain = At(*view->Apply(*im), 0);
  EXPECT_NEAR(plain[0], Byte(Srgb(0.18)), 1);
  EXPECT_NEAR(plain[2], Byte(Srgb(0.6)), 1);
  const auto up = At(*view->Apply(*im, {1.0, 1.0}), 0);
  EXPECT_NEAR(up[0], Byte(Srgb(0.36)), 1);
  EXPECT_NEAR(up[1], Byte(Srgb(0.10)), 1);
  EXPECT_EQ(up[2], 255);  // 1.2 clips
  const auto down = At(*view->Apply(*im, {-2.0, 1.0}), 0);
  EXPECT_NEAR(down[0], Byte(Srgb(0.045)), 1);
  const auto bent = At(*view->Apply(*im, {0.0, 2.0}), 0);
  EXPECT_NEAR(bent[0], Byte(std::pow(Srgb(0.18), 0.5)), 1);
  EXPECT_NEAR(bent[1], Byte(std::pow(Srgb(0.05), 0.5)), 1);
  for (const auto& px : {plain, up, down, bent}) EXPECT_EQ(px[3], 128);  // alpha as it is
  // Back to no adjustment: the same bytes as the first time.
  EXPECT_EQ(At(*view->Apply(*im), 0), plain);

  for (io::ViewAdjust bad : {io::ViewAdjust{21.0, 1.0}, io::ViewAdjust{NAN, 1.0}, io::ViewAdjust{0.0, 0.0},
                             io::ViewAdjust{0.0, 11.0}, io::ViewAdjust{0.0, NAN}})
    EXPECT_THROW(view->Apply(*im, bad), Failure) << bad.exposure << " " << bad.gamma;
  EXPECT_THROW(view->Apply(*testing::Flat(2, 2, Depth16, Pixel{})), Failure);
}

TEST(ViewTransform, AConfigurationsViewTakesTheAdjustmentsToo) {
  const fs::path dir = fs::temp_directory_path() / ("orvanta-view-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "view.ocio") << testing::kGammaViewOcio;
  ::setenv("OCIO", (dir / "view.ocio").c_str(), 1);
  auto view = io::ViewTransform::FromEnvironment();
  ::unsetenv("OCIO");
  fs::remove_all(dir);
  host::ImagePtr im = Row({FltPixel{0.0f, 0.1f, 0.25f, 1.0f}});
  EXPECT_NEAR(At(*view->Apply(*im), 0)[0], Byte(std::pow(0.25, 1 / 2.2)), 1);
  EXPECT_NEAR(At(*view->Apply(*im, {1.0, 1.0}), 0)[0], Byte(std::pow(0.5, 1 / 2.2)), 1);
  EXPECT_NEAR(At(*view->Apply(*im, {1.0, 1.0}), 0)[1], Byte(std::pow(0.2, 1 / 2.2)), 1);
  EXPECT_NEAR(At(*view->Apply(*im, {0.0, 2.0}), 0)[0], Byte(std::pow(0.25, 1 / 4.4)), 1);
}

TEST(Sequence, FramesOnDiskAreTheFilesThePatternNames) {
  const fs::path dir = fs::temp_directory_path() / ("orvanta-frames-" + std::to_string(::getpid()));
  fs::create_directories(dir / "sub");
  for (const char* f : {"shot.0003.exr", "shot.0001.exr", "shot.0012.exr", "shot.12345.exr", "shot.001.exr",
                        "shot.0002.exr.tmp", "shot.abcd.exr", "shot..exr", "other.0004.exr", "shot.0005.png"})
    std::ofstream(dir / f) << "x";
  EXPECT_EQ(io::FramesOnDisk((dir / "shot.#.exr").string()), (std::vector<int32_t>{1, 3, 12, 12345}));
  // Three digits: 001, and numbers too long for the padding as they are.
  EXPECT_EQ(io::FramesOnDisk((dir / "shot.###.exr").string()), (std::vector<int32_t>{1, 12345}));
  EXPECT_EQ(io::FramesOnDisk((dir / "shot.%04d.png").string()), (std::vector<int32_t>{5}));
  EXPECT_TRUE(io::FramesOnDisk((dir / "shot.0001.exr").string()).empty());  // no pattern
  EXPECT_TRUE(io::FramesOnDisk((dir / "missing/shot.#.exr").string()).empty());
  EXPECT_TRUE(io::FramesOnDisk((dir / "sub/shot.#.exr").string()).empty());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace orvanta
