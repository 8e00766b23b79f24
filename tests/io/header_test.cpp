// File headers in process: attributes set on a header are checked and typed, a header of
// attributes only writes a plain picture, colour plans name what they cannot convert, and
// sequences on disk are the files their pattern writes.
#include <OpenImageIO/imageio.h>

#include <filesystem>
#include <fstream>

#include "orvanta/host/failure.h"
#include "orvanta/io/colour.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/sequence.h"
#include "support.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;

class Headers : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvanta-header-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(Headers, AttributesSetAreTypedAndChecked) {
  io::HeaderPtr h = io::HeaderWith(nullptr, {{"smpte:TimeCode", std::string("01:02:03:04")},
                                             {"FramesPerSecond", std::string("30000/1001")},
                                             {"shot", std::string("sq10")},
                                             {"count", int64_t(7)},
                                             {"worldToCamera", std::vector<double>(16, 0.5)}});
  io::WriteImage(*testing::Numbered(6, 4, Depth16), P("plain.exr"));  // a picture to carry them
  const std::string out = P("tagged.exr");
  io::WritePicture(*testing::Numbered(6, 4, Depth16), h.get(), out, {});
  auto in = OIIO::ImageInput::open(out);
  ASSERT_TRUE(in);
  const OIIO::ImageSpec& s = in->spec();
  EXPECT_EQ(s.find_attribute("smpte:TimeCode")->type(), OIIO::TypeTimeCode);
  EXPECT_EQ(s.find_attribute("smpte:TimeCode")->get_string(), "01:02:03:04");
  EXPECT_EQ(s.find_attribute("FramesPerSecond")->get_string(), "30000/1001");
  EXPECT_EQ(s.get_string_attribute("shot"), "sq10");
  EXPECT_EQ(s.get_int_attribute("count"), 7);
  EXPECT_EQ(s.find_attribute("worldToCamera")->type(), OIIO::TypeMatrix44);
  // A header of attributes only describes no picture: the image's own samples and channels.
  EXPECT_EQ(s.format, OIIO::TypeDesc::HALF);  // 16-bit into EXR
  EXPECT_EQ(s.nchannels, 4);

  for (const io::AttributeValue& bad :
       std::vector<io::AttributeValue>{{"smpte:TimeCode", std::string("1:2:3:4")},
                                       {"FramesPerSecond", std::string("24/0")},
                                       {"FramesPerSecond", std::string("fast")},
                                       {"count", int64_t(1) << 40},
                                       {"Software", std::string("mine")},
                                       {"", int64_t(1)}})
    EXPECT_THROW(io::HeaderWith(h, {bad}), Failure) << bad.name;
  // The header set on stays as it was.
  EXPECT_EQ(h->Values().size(), 5u);
}

TEST_F(Headers, ColourPlansNameWhatTheyCannotConvert) {
  auto config = io::ColourConfig::BuiltIn();
  EXPECT_EQ(config->Find("sRGB"), "srgb");
  EXPECT_EQ(config->Find("ACEScg"), "acescg");
  EXPECT_EQ(config->Find("Linear"), "lin_rec709");
  EXPECT_EQ(config->Find("Kodachrome"), "");
  EXPECT_EQ(config->Conversion("srgb", "srgb"), nullptr);
  EXPECT_EQ(config->Conversion("raw", "acescg"), nullptr);  // data is never converted
  try {
    io::ColourPlan plan(config, "", "nowhere", "");
    ADD_FAILURE() << "an unknown working space was taken";
  } catch (const Failure& e) {
    EXPECT_NE(std::string(e.what()).find("it has lin_rec709, srgb, acescg, raw"), std::string::npos)
        << e.what();
  }
  // A file tagged with a space the configuration lacks needs --colorspace.
  io::HeaderPtr tagged = io::ReadPicture([&] {
                           OIIO::ImageSpec spec(4, 2, 3, OIIO::TypeDesc::UINT8);
                           spec.attribute("oiio:ColorSpace", "GammaCorrected2.2");  // a gAMA chunk
                           spec.attribute("oiio:Gamma", 2.2f);
                           auto out = OIIO::ImageOutput::create(P("g22.png"));
                           std::vector<uint8_t> px(24, 9);
                           EXPECT_TRUE(out->open(P("g22.png"), spec) &&
                                       out->write_image(OIIO::TypeDesc::UINT8, px.data()) && out->close());
                           return P("g22.png");
                         }())
                             .header;
  EXPECT_EQ(tagged->ColourSpace(), "GammaCorrected2.2");
  // A copy keeps the tag and the curve it names.
  io::WritePicture(*testing::Numbered(4, 2, Depth8), tagged.get(), P("copy.png"), {});
  EXPECT_EQ(io::ReadPicture(P("copy.png")).header->ColourSpace(), "GammaCorrected2.2");
  io::ColourPlan working(config, "", "acescg", "");
  EXPECT_THROW(working.ToWorking(*tagged), Failure);
  io::ColourPlan named(config, "srgb", "acescg", "");
  EXPECT_NE(named.ToWorking(*tagged), nullptr);
  EXPECT_EQ(named.OutputSpace(tagged.get()), "srgb");
}

TEST_F(Headers, SequencesOnDiskAreTheFilesThePatternWrites) {
  for (const char* name : {"in.0003.exr", "in.0012.exr", "in.12345.exr", "in.12.exr", "in.0007.exr.tmp",
                           "in.00x1.exr", "other.0004.exr"})
    std::ofstream(P(name)) << "x";
  EXPECT_EQ(io::FramesOnDisk(P("in.#.exr")), (std::vector<int32_t>{3, 12, 12345}));
  EXPECT_EQ(io::FramesOnDisk(P("in.@@.exr")), (std::vector<int32_t>{12, 12345}));
  EXPECT_EQ(io::FramesOnDisk(P("in.@.exr")), (std::vector<int32_t>{12, 12345}));
  EXPECT_EQ(io::FramesOnDisk(P("none.#.exr")), std::vector<int32_t>{});
}

}  // namespace
}  // namespace orvanta
