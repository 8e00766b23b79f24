// Movies in process: what the writer writes the reader gives back exactly (FFV1, 8 and 16 bit,
// read in any order), lossy codecs come back close, an unfinished writer leaves nothing, and
// frames of the wrong size or settings that cannot be written are refused.
#include <cmath>
#include <filesystem>

#include "orvanta/host/failure.h"
#include "orvanta/io/movie.h"
#include "support.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;

// Every sample different and changing with the frame, alpha too.
host::ImagePtr Frame(int32_t w, int32_t h, uint32_t depth, int32_t frame) {
  host::ImagePtr im = host::MakeImage(w, h, depth);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t v = uint32_t(x * 977 + y * 131 + frame * 7919);
      Pixel p{(v * 3) & 0xFFFF, (v * 5 + 11) & 0xFFFF, (v * 13 + 17) & 0xFFFF, (v * 29 + frame) & 0xFFFF};
      if (depth == Depth8) p = Pixel{(p.B >> 8) * 257, (p.G >> 8) * 257, (p.R >> 8) * 257, (p.A >> 8) * 257};
      im->SetPixel(x, y, p);
    }
  return im;
}

class Movie : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvanta-movie-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    return names;
  }
  fs::path dir_;
};

TEST_F(Movie, Ffv1GivesBackEverySampleInAnyOrder) {
  for (uint32_t depth : {Depth16, Depth8}) {
    SCOPED_TRACE(depth);
    const std::string path = P(depth == Depth8 ? "eight.mkv" : "sixteen.mkv");
    io::MovieSettings s;
    s.codec = "ffv1";
    s.rate = {30000, 1001};
    s.pixelAspect = {4, 3};
    {
      io::MovieWriter w(path, s);
      for (int32_t f = 0; f < 9; ++f) w.Write(*Frame(45, 27, depth, f));
      w.Finish();
    }
    auto r = io::MovieReader::Open(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Frames(), 9);
    EXPECT_EQ(r->Rate().num, 30000);
    EXPECT_EQ(r->Rate().den, 1001);
    EXPECT_EQ(r->PixelAspect().num, 4);
    EXPECT_EQ(r->PixelAspect().den, 3);
    EXPECT_FALSE(r->HasAudio());
    for (int32_t f : {0, 1, 2, 7, 3, 3, 8, 0, 5}) {
      host::ImagePtr im = r->Read(f);
      EXPECT_EQ(im->Depth, depth);
      EXPECT_TRUE(testing::SameBytes(im.get(), Frame(45, 27, depth, f).get())) << "frame " << f;
    }
    EXPECT_THROW(r->Read(9), Failure);
    EXPECT_THROW(r->Read(-1), Failure);
  }
}

TEST_F(Movie, LossyCodecsComeBackClose) {
  // Smooth pictures (lossy codecs are made for those); float pictures are written too.
  auto smooth = [](uint32_t depth, int32_t f) {
    host::ImagePtr im = host::MakeImage(64, 32, depth);
    for (int32_t y = 0; y < 32; ++y)
      for (int32_t x = 0; x < 64; ++x)
        im->SetPixel(x, y, FltPixel{float(x) / 63.0f, float(y) / 31.0f, float(f) / 4.0f, 1.0f});
    return im;
  };
  for (const char* name : {"p.mov", "h.mp4"}) {
    SCOPED_TRACE(name);
    {
      io::MovieWriter w(P(name), io::MovieSettings{});
      for (int32_t f = 0; f < 4; ++f) w.Write(*smooth(DepthFloat, f));
      w.Finish();
    }
    auto r = io::MovieReader::Open(P(name));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->Frames(), 4);
    for (int32_t f : {2, 0, 3}) {
      host::ImagePtr im = r->Read(f);
      host::ImagePtr want = smooth(Depth16, f);
      double worst = 0;
      for (int32_t y = 0; y < 32; ++y)
        for (int32_t x = 0; x < 64; ++x) {
          Pixel a = testing::At(im.get(), x, y), b = testing::At(want.get(), x, y);
          worst = std::max(
              {worst, std::abs(double(a.R) - b.R), std::abs(double(a.G) - b.G), std::abs(double(a.B) - b.B)});
        }
      EXPECT_LT(worst / 65535.0, 0.04) << "frame " << f;
    }
  }
}

TEST_F(Movie, UnfinishedOrRefusedWritesLeaveNothing) {
  {
    io::MovieWriter w(P("gone.mkv"), io::MovieSettings{});
    w.Write(*Frame(8, 8, Depth16, 0));
    EXPECT_FALSE(Files().empty()) << "the temporary file is being written";
  }  // a render that failed: never finished
  EXPECT_TRUE(Files().empty());
  {
    io::MovieWriter w(P("sizes.mkv"), io::MovieSettings{});
    w.Write(*Frame(8, 8, Depth16, 0));
    EXPECT_THROW(w.Write(*Frame(8, 6, Depth16, 1)), Failure);
  }
  {
    io::MovieSettings s;
    s.codec = "h264";
    io::MovieWriter w(P("odd.mkv"), s);
    EXPECT_THROW(w.Write(*Frame(9, 7, Depth8, 0)), Failure);
  }
  EXPECT_TRUE(Files().empty());
  io::MovieSettings prores;
  prores.codec = "prores";
  EXPECT_THROW(io::MovieWriter(P("x.mp4"), prores), Failure);
  EXPECT_THROW(io::MovieWriter(P("x.png"), io::MovieSettings{}), Failure);
  EXPECT_THROW(io::MovieWriter(P("no/such/x.mkv"), io::MovieSettings{}), Failure);
  EXPECT_THROW(io::MovieWriter(P("x.mkv"), io::MovieSettings{}).Finish(), Failure) << "a movie of no frames";
  EXPECT_TRUE(Files().empty());
}

TEST(MovieNames, RatesAndContainers) {
  EXPECT_EQ(io::ParseRate("24", "--fps").num, 24);
  EXPECT_EQ(io::ParseRate("24", "--fps").den, 1);
  EXPECT_EQ(io::ParseRate("24000/1001", "--fps").den, 1001);
  EXPECT_DOUBLE_EQ(io::ParseRate("23.976", "--fps").Value(), 23.976);
  EXPECT_DOUBLE_EQ(io::ParseRate("12.5", "--fps").Value(), 12.5);
  for (const char* bad : {"", "0", "-24", "24/0", "0/1", "24fps", "1/2/3", "nan", "1e9", "x/2"})
    EXPECT_THROW(io::ParseRate(bad, "--fps"), Failure) << bad;
  EXPECT_TRUE(io::IsMoviePath("a/B.MOV"));
  EXPECT_TRUE(io::IsMoviePath("x.mkv"));
  EXPECT_FALSE(io::IsMoviePath("x.tif"));
  EXPECT_FALSE(io::IsMoviePath("mov"));
  EXPECT_EQ(io::MovieCodecFor("a.mov", ""), "prores");
  EXPECT_EQ(io::MovieCodecFor("a.mp4", ""), "h264");
  EXPECT_EQ(io::MovieCodecFor("a.mkv", ""), "ffv1");
  EXPECT_EQ(io::MovieCodecFor("a.mov", "h264"), "h264");
  EXPECT_THROW(io::MovieCodecFor("a.mov", "mpeg2"), Failure);
}

}  // namespace
}  // namespace orvanta
