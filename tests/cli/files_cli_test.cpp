// What files carry, through the command: files made by oiiotool and ffmpeg, rendered with Remap at
// its defaults (which change no pixel), each compared with oiiotool's plain copy of the same file:
// attributes, windows, channels, sample types, compression and pixels. Then the alpha convention,
// colour conversions, sequences found on disk, multi-part EXR files, movie tags and bad options.
#include <OpenColorIO/OpenColorIO.h>

#include <cmath>
#include <map>
#include <sstream>
#include <tuple>

#include "cli_support.h"
#include "orvanta/io/colour.h"
#include "orvanta/io/sequence.h"

namespace orvanta {
namespace {
using namespace clitest;
namespace OCIO = OCIO_NAMESPACE;

std::string Sh(const std::string& cmd) {
  std::string out;
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  ::pclose(f);
  return out;
}

// A file as the image library reads it: every part's header and native samples.
struct Parts {
  std::vector<OIIO::ImageSpec> specs;
  std::vector<std::vector<uint8_t>> pixels;
};

Parts ReadParts(const std::string& path) {
  Parts p;
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << path << ": " << OIIO::geterror();
  if (!in) return p;
  for (int i = 0; in->seek_subimage(i, 0); ++i) {
    const OIIO::ImageSpec s = in->spec();
    std::vector<uint8_t> px(s.image_bytes(true));
    EXPECT_TRUE(in->read_image(i, 0, 0, s.nchannels, TypeDesc::UNKNOWN, px.data(),
                               OIIO::stride_t(s.pixel_bytes(true)), OIIO::stride_t(s.scanline_bytes(true))));
    p.specs.push_back(s);
    p.pixels.push_back(std::move(px));
  }
  return p;
}

// Attributes by name, as text, without those that name the program that wrote the file, and the
// TIFF strip height (a layout each writer chooses).
std::map<std::string, std::string> Attributes(const OIIO::ImageSpec& s) {
  std::map<std::string, std::string> a;
  for (const OIIO::ParamValue& p : s.extra_attribs) {
    const std::string name = p.name().string();
    if (name == "Software" || name == "Exif:ImageHistory" || name == "tiff:RowsPerStrip") continue;
    a[name] = s.metadata_val(p);
  }
  return a;
}

// An attribute as text ("" when absent), timecodes included.
std::string Attr(const OIIO::ImageSpec& s, const char* name) {
  const OIIO::ParamValue* p = s.find_attribute(name);
  return p ? p->get_string() : "";
}

// Everything the plain copy keeps, the render keeps too.
void ExpectSameFile(const std::string& ours, const std::string& reference) {
  const Parts a = ReadParts(ours), b = ReadParts(reference);
  ASSERT_EQ(a.specs.size(), b.specs.size()) << "parts";
  for (size_t i = 0; i < a.specs.size(); ++i) {
    SCOPED_TRACE("part " + std::to_string(i));
    const OIIO::ImageSpec &x = a.specs[i], &y = b.specs[i];
    EXPECT_EQ(std::vector<int>({x.x, x.y, x.width, x.height}),
              std::vector<int>({y.x, y.y, y.width, y.height}))
        << "data window";
    EXPECT_EQ(std::vector<int>({x.full_x, x.full_y, x.full_width, x.full_height}),
              std::vector<int>({y.full_x, y.full_y, y.full_width, y.full_height}))
        << "display window";
    EXPECT_EQ(x.channelnames, y.channelnames);
    EXPECT_EQ(x.format, y.format);
    for (int c = 0; c < std::min(x.nchannels, y.nchannels); ++c)
      EXPECT_EQ(x.channelformat(c), y.channelformat(c)) << x.channel_name(c);
    // The plain copy stamps the time it was made where the file had none; a render does not, so
    // that the same render gives the same bytes.
    std::map<std::string, std::string> ax = Attributes(x), ay = Attributes(y);
    if (!ax.count("DateTime")) ay.erase("DateTime");
    EXPECT_EQ(ax, ay);
    EXPECT_TRUE(a.pixels[i] == b.pixels[i]) << "pixels differ";
  }
}

class Files : public Cli {
 protected:
  // Remap at its defaults changes no pixel, so its render is the plain copy of its input.
  Result RenderCopy(const std::string& in, const std::string& out,
                    const std::vector<std::string>& more = {}) const {
    std::vector<std::string> args = {"-q", "render", "OrvantaRemap", "-i", in, "-o", out};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  }

  // oiiotool with its arguments, in the scratch folder.
  void Oiio(const std::string& args) const {
    ASSERT_EQ(std::system(("cd " + ShellQuote(dir_.string()) + " && oiiotool " + args).c_str()), 0) << args;
  }
  void Ffmpeg(const std::string& args) const {
    ASSERT_EQ(std::system(("cd " + ShellQuote(dir_.string()) + " && ffmpeg -v error -y " + args).c_str()), 0)
        << args;
  }
};

TEST_F(Files, RendersKeepWhatThePlainCopyKeeps) {
  struct Case {
    const char* what;
    std::string make;  // oiiotool arguments writing `in`, or ffmpeg's when they start with "ffmpeg "
    const char* in;
    const char* out;
    bool againstInput = false;  // the plain copy makes every channel float: the input is the reference
  };
  const std::string tags =
      "--attrib:type=timecode smpte:TimeCode 01:02:03:04 --attrib:type=rational FramesPerSecond 24/1 "
      "--attrib:type=matrix worldToCamera 1,0,0,0,0,1,0,0,0,0,1,0,3,2,1,1 --attrib mystr hello "
      "--attrib:type=float myfloat 2.5 ";
  const Case cases[] = {
      {"half EXR with attributes, PIZ",
       "--pattern fill:topleft=0,0.2,1,1:bottomright=1,0.5,-2,0.5 24x12 4 -d half " + tags +
           "--compression piz -o a.exr",
       "a.exr", "a-out.exr"},
      {"a data window inside the display window",
       "--pattern checker:width=3:height=3 32x18 4 -d half --origin +10+5 --fullsize 64x36+0+0 -o w.exr",
       "w.exr", "w-out.exr"},
      {"extra channels, a float one among halves",
       "--pattern noise 16x8 8 --chnames R,G,B,A,Z,diffuse.R,diffuse.G,diffuse.B -d half -d Z=float -o x.exr",
       "x.exr", "x-out.exr", true},
      {"10-bit RGB DPX with a timecode and a document name",
       "--pattern noise 16x8 3 -d uint10 --attrib DocumentName reel7 --attrib:type=timecode smpte:TimeCode "
       "10:00:00:01 -o d.dpx",
       "d.dpx", "d-out.dpx"},
      {"12-bit DPX", "--pattern noise 16x8 3 -d uint12 -o t.dpx", "t.dpx", "t-out.dpx"},
      {"8-bit RGB PNG", "--pattern noise 16x8 3 -d uint8 -o p.png", "p.png", "p-out.png"},
      {"16-bit grey PNG", "--pattern noise 16x8 1 -d uint16 -o g.png", "g.png", "g-out.png"},
      {"16-bit TIFF into EXR", "--pattern noise 16x8 4 -d uint16 -o s.tif", "s.tif", "s-out.exr"},
      {"ffmpeg's 16-bit RGB TIFF", "ffmpeg -f lavfi -i testsrc2=s=16x8 -frames:v 1 -pix_fmt rgb48le f.tif",
       "f.tif", "f-out.tif"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.make.rfind("ffmpeg ", 0) == 0)
      Ffmpeg(c.make.substr(7));
    else
      Oiio(c.make);
    const std::string ref = c.againstInput ? std::string(c.in) : std::string("ref-") + c.out;
    if (!c.againstInput) Oiio(std::string(c.in) + " -o " + ref);
    Result r = RenderCopy(c.in, c.out);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ExpectSameFile(P(c.out), P(ref));
  }
}

// A tool that changes the size writes its own size at the origin, and the channels it cannot
// carry over are named once.
TEST_F(Files, ASizeChangeDropsWindowsAndExtraChannelsWithOneNote) {
  Oiio(
      "--pattern noise 16x8 5 --chnames R,G,B,A,Z -d half --origin +4+2 --fullsize 32x16 "
      "--attrib:type=timecode smpte:TimeCode 01:00:00:00 -o in.exr");
  Result r = Run(
      {"-q", "render", "OrvantaLineDrop", "-s", "BSCH=1", "-s", "CSCH=1", "-i", "in.exr", "-o", "out.exr"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "orvanta: note: the result is not the size of in.exr, so its channels Z are not written\n");
  const Parts p = ReadParts(P("out.exr"));
  ASSERT_EQ(p.specs.size(), 1u);
  const OIIO::ImageSpec& s = p.specs[0];
  EXPECT_EQ(std::vector<int>({s.x, s.y, s.width, s.height, s.full_width, s.full_height}),
            std::vector<int>({0, 0, 16, 4, 16, 4}));
  EXPECT_EQ(s.channelnames, (std::vector<std::string>{"R", "G", "B", "A"}));
  EXPECT_EQ(s.format, TypeDesc::HALF);
  EXPECT_EQ(Attr(s, "smpte:TimeCode"), "01:00:00:00");
  // Asked for by name, a channel the result cannot carry is an error.
  ExpectAllFail(
      {{{"render", "OrvantaLineDrop", "-s", "BSCH=1", "-i", "in.exr", "--channels", "R,G,B,Z", "-o", "z.exr"},
        "the channel \"Z\" keeps the input's size"}});
}

TEST_F(Files, BitsAndCompressionAreChosenOnRequest) {
  Oiio("--pattern noise 16x8 4 -d half --compression piz -o in.exr");
  ASSERT_EQ(RenderCopy("in.exr", "float.exr", {"--bits", "float", "--compression", "dwaa:45"}).status, 0);
  const OIIO::ImageSpec f = ReadParts(P("float.exr")).specs.at(0);
  EXPECT_EQ(f.format, TypeDesc::FLOAT);
  EXPECT_EQ(f.get_string_attribute("compression"), "dwaa");
  Oiio("--pattern noise 16x8 3 -d uint16 -o in.tif");
  ASSERT_EQ(RenderCopy("in.tif", "ten.dpx", {"--bits", "10"}).status, 0);
  Oiio("in.tif -d uint10 -o ref-ten.dpx");
  ExpectSameFile(P("ten.dpx"), P("ref-ten.dpx"));
}

// A straight PNG into EXR is premultiplied once, and back into PNG divided once: the values come
// back within 8-bit precision. --unpremult keeps them straight in the EXR.
TEST_F(Files, StraightAlphaSurvivesAnExrAndBack) {
  Picture in = Pattern(32, 8, 4, TypeDesc::UINT8);
  for (size_t i = 3; i < in.bytes.size(); i += 4) in.bytes[i] = uint8_t(1 + (i / 4) % 255);  // no zero alpha
  WriteFile(P("in.png"), in);
  ASSERT_EQ(RenderCopy("in.png", "mid.exr").status, 0);
  ASSERT_EQ(RenderCopy("mid.exr", "back.png", {"--bits", "8"}).status, 0);
  ASSERT_EQ(RenderCopy("in.png", "straight.exr", {"--unpremult"}).status, 0);
  const Picture mid = ReadFile(P("mid.exr")), back = ReadFile(P("back.png")),
                straight = ReadFile(P("straight.exr"));
  ASSERT_EQ(mid.type, TypeDesc::HALF);
  ASSERT_EQ(back.type, TypeDesc::UINT8);
  std::vector<float> m(mid.bytes.size() / 2), st(m.size());
  OIIO::convert_pixel_values(TypeDesc::HALF, mid.bytes.data(), TypeDesc::FLOAT, m.data(), int(m.size()));
  OIIO::convert_pixel_values(TypeDesc::HALF, straight.bytes.data(), TypeDesc::FLOAT, st.data(),
                             int(st.size()));
  int worst = 0;
  for (size_t i = 0; i < in.bytes.size(); ++i) {
    const float a = in.bytes[i - i % 4 + 3] / 255.0f, v = in.bytes[i] / 255.0f;
    const bool colour = i % 4 != 3;
    EXPECT_NEAR(m[i], colour ? v * a : v, 1e-3) << "sample " << i << " of the EXR";
    EXPECT_NEAR(st[i], v, 1e-3) << "sample " << i << " of the straight EXR";
    worst = std::max(worst, std::abs(int(back.bytes[i]) - int(in.bytes[i])));
  }
  EXPECT_LE(worst, 1) << "the round trip moved a value by more than the format's precision";
}

// The conversions are OpenColorIO's own: the built-in configuration's processor gives the same
// values, and those values are the published ones (sRGB of 0.18, Rec.709 red in ACEScg).
TEST_F(Files, ColourConversionsAreTheConfigurationsOwn) {
  const float linear[4][4] = {
      {0.18f, 0.18f, 0.18f, 1}, {1, 0, 0, 1}, {0.5f, 0.25f, 0.0f, 1}, {2, 0.01f, 0.7f, 1}};
  Picture in{4, 1, 4, TypeDesc::FLOAT, std::vector<uint8_t>(sizeof linear)};
  std::memcpy(in.bytes.data(), linear, sizeof linear);
  WriteFile(P("lin.exr"), in);
  ASSERT_EQ(RenderCopy("lin.exr", "srgb.exr", {"--out-colorspace", "srgb"}).status, 0);
  ASSERT_EQ(
      RenderCopy("lin.exr", "ap1.exr", {"--working-space", "ACEScg", "--out-colorspace", "acescg"}).status,
      0);
  ASSERT_EQ(RenderCopy("lin.exr", "same.exr", {"--working-space", "acescg"}).status, 0);
  std::istringstream text(io::BuiltInColourConfig());
  OCIO::ConstConfigRcPtr config = OCIO::Config::CreateFromStream(text);
  for (const char* space : {"srgb", "acescg"}) {
    SCOPED_TRACE(space);
    float expected[4][4];
    std::memcpy(expected, linear, sizeof linear);
    OCIO::PackedImageDesc desc(&expected[0][0], 4, 1, 4);
    config->getProcessor("lin_rec709", space)->getDefaultCPUProcessor()->apply(desc);
    const Picture got = ReadFile(P(std::string(space) == "srgb" ? "srgb.exr" : "ap1.exr"));
    ASSERT_EQ(got.type, TypeDesc::FLOAT);
    const float* g = reinterpret_cast<const float*>(got.bytes.data());
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(g[i], (&expected[0][0])[i], 1e-6) << i;
  }
  const Picture srgb = ReadFile(P("srgb.exr")), ap1 = ReadFile(P("ap1.exr")), same = ReadFile(P("same.exr"));
  const float* s = reinterpret_cast<const float*>(srgb.bytes.data());
  EXPECT_NEAR(s[0], 0.46135613f, 1e-5);  // the sRGB curve at 0.18
  const float* a = reinterpret_cast<const float*>(ap1.bytes.data());
  EXPECT_NEAR(a[4], 0.6131f, 1e-4);  // Rec.709 red in AP1
  EXPECT_NEAR(a[5], 0.0702f, 1e-4);
  EXPECT_NEAR(a[6], 0.0206f, 1e-4);
  // Into the working space and back out to the input's: the values come back.
  const float* back = reinterpret_cast<const float*>(same.bytes.data());
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(back[i], (&linear[0][0])[i], 1e-5) << i;
}

// Semi-transparent pixels of a premultiplied picture are converted by their straight colour (a
// curve must see the colour, not the colour times alpha) and premultiplied again, on reading and on
// writing alike; a pixel of no alpha is converted as it is.
TEST_F(Files, PremultipliedColourIsConvertedByItsStraightColour) {
  const float stored[3][4] = {
      {0.09f, 0.25f, 0.45f, 0.5f}, {0.1f, 0.01f, 0.3f, 0.25f}, {0.2f, 0.1f, 0.05f, 0}};
  Picture in{3, 1, 4, TypeDesc::FLOAT, std::vector<uint8_t>(sizeof stored)};
  std::memcpy(in.bytes.data(), stored, sizeof stored);
  WriteFile(P("premult.exr"), in);
  // Written: the working space (the file's linear) into sRGB. Read: the file taken as sRGB into
  // the linear working space, and written in that space.
  ASSERT_EQ(RenderCopy("premult.exr", "written.exr", {"--out-colorspace", "srgb"}).status, 0);
  ASSERT_EQ(
      RenderCopy("premult.exr", "read.exr",
                 {"--colorspace", "srgb", "--working-space", "lin_rec709", "--out-colorspace", "lin_rec709"})
          .status,
      0);
  std::istringstream text(io::BuiltInColourConfig());
  OCIO::ConstConfigRcPtr config = OCIO::Config::CreateFromStream(text);
  for (const auto& [file, from, to] :
       {std::tuple{"written.exr", "lin_rec709", "srgb"}, std::tuple{"read.exr", "srgb", "lin_rec709"}}) {
    SCOPED_TRACE(file);
    float expected[3][4];
    std::memcpy(expected, stored, sizeof stored);
    for (auto& px : expected)
      if (px[3] != 0) px[0] /= px[3], px[1] /= px[3], px[2] /= px[3];
    OCIO::PackedImageDesc desc(&expected[0][0], 3, 1, 4);
    config->getProcessor(from, to)->getDefaultCPUProcessor()->apply(desc);
    for (auto& px : expected)
      if (px[3] != 0) px[0] *= px[3], px[1] *= px[3], px[2] *= px[3];
    const Picture got = ReadFile(P(file));
    ASSERT_EQ(got.type, TypeDesc::FLOAT);
    const float* g = reinterpret_cast<const float*>(got.bytes.data());
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(g[i], (&expected[0][0])[i], 1e-6) << i;
  }
}

// Without --frames the frames are those on disk, or those of a range in the name; each frame's
// own attributes go to its output; --frame-offset renumbers the outputs.
TEST_F(Files, SequencesAreFoundOnDiskAndKeepEachFramesAttributes) {
  for (int f : {3, 4, 6})
    Oiio(
        "--pattern constant:color=0.5,0.5,0.5,1 8x4 4 -d half --attrib:type=timecode smpte:TimeCode "
        "00:00:00:0" +
        std::to_string(f) + " -o " + io::FramePath("in.#.exr", f));
  Result r = Run({"-q", "render", "OrvantaRemap", "-i", "in.#.exr", "-o", "out.#.exr"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int f : {3, 4, 6})
    EXPECT_EQ(Attr(ReadParts(P(io::FramePath("out.#.exr", f))).specs.at(0), "smpte:TimeCode"),
              "00:00:00:0" + std::to_string(f));
  EXPECT_FALSE(fs::exists(dir_ / "out.0005.exr"));
  r = Run({"-q", "render", "OrvantaRemap", "-i", "in.@@@@.exr", "-o", "at.@@@.exr", "--frame-offset", "100"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int f : {103, 104, 106}) EXPECT_TRUE(fs::exists(dir_ / ("at." + std::to_string(f) + ".exr"))) << f;
  r = Run({"-q", "render", "OrvantaRemap", "-i", "in.4-6#.exr", "-o", "range.#.exr"});
  EXPECT_NE(r.status, 0) << "frame 5 is missing";
  EXPECT_NE(r.err.find("in.0005.exr: the file does not exist"), std::string::npos) << r.err;
  r = Run({"-q", "render", "OrvantaRemap", "-i", "in.3-4#.exr", "-o", "range.#.exr"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir_ / "range.0003.exr") && fs::exists(dir_ / "range.0004.exr"));
  EXPECT_FALSE(fs::exists(dir_ / "range.0006.exr"));
  ExpectAllFail({{{"render", "OrvantaRemap", "-i", "none.#.exr", "-o", "o.#.exr"}, "no frames on disk"},
                 {{"render", "OrvantaRemap", "-i", "in.#.exr", "-o", "o.#.exr", "--frame-offset", "-4"},
                  "makes frame 3 the file number -1"}});
}

// The part named is rendered, the others are copied unchanged.
TEST_F(Files, MultiPartFilesKeepTheirOtherParts) {
  Oiio(
      "--pattern noise 16x8 4 --attrib name beauty --pattern noise:seed=3 16x8 3 --attrib name depth "
      "--siappend "
      "-d half -o parts.exr");
  Result r = Run({"-q", "render", "OrvantaRemap", "-s", "SORL=0.25", "-s", "SORH=0.75", "-i", "parts.exr",
                  "--part", "depth", "-o", "out.exr"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Parts in = ReadParts(P("parts.exr")), out = ReadParts(P("out.exr"));
  ASSERT_EQ(out.specs.size(), 2u);
  EXPECT_TRUE(out.pixels[0] == in.pixels[0]) << "the beauty part changed";
  EXPECT_FALSE(out.pixels[1] == in.pixels[1]) << "the depth part was not rendered";
  EXPECT_EQ(out.specs[1].get_string_attribute("name"), "depth");
  EXPECT_EQ(out.specs[1].format, TypeDesc::HALF);
  EXPECT_EQ(out.specs[1].nchannels, 3);
  ExpectAllFail({{{"render", "OrvantaRemap", "-i", "parts.exr", "--part", "specular", "-o", "o.exr"},
                  "it has no part \"specular\"; its parts are \"beauty\", \"depth\""}});
}

TEST_F(Files, MoviesKeepTheirTimecodeAndTags) {
  Ffmpeg(
      "-f lavfi -i testsrc=size=32x24:rate=25 -f lavfi -i sine=duration=1 -t 1 -c:v ffv1 -c:a pcm_s16le "
      "-timecode 01:00:00:00 -metadata title=Shot7 src.mov");
  Result r = Run({"-q", "render", "OrvantaRemap", "-i", "src.mov", "--frames", "6-10", "-o", "out.mov"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string probe =
      "ffprobe -v error -show_entries format_tags=title:stream_tags=timecode "
      "-of default=nw=1:nk=1 ";
  const std::string tags = Sh(probe + ShellQuote(P("out.mov")));
  EXPECT_NE(tags.find("Shot7"), std::string::npos) << tags;
  EXPECT_NE(tags.find("01:00:00:05"), std::string::npos) << "the timecode of frame 6: " << tags;
  ExpectAllFail(
      {{{"render", "OrvantaRemap", "-i", "src.mov", "-o", "o.mp4"}, "or leave the audio out with --no-audio"},
       {{"render", "OrvantaRemap", "-i", "src.mov", "-o", "o.png", "--frames", "1", "--no-audio"},
        "--no-audio is for a movie output"}});
  r = Run({"-q", "render", "OrvantaRemap", "-i", "src.mov", "-o", "quiet.mp4", "--no-audio"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string streams = Sh("ffprobe -v error -show_entries stream=codec_type -of default=nw=1:nk=1 " +
                                 ShellQuote(P("quiet.mp4")));
  EXPECT_EQ(streams.find("audio"), std::string::npos) << streams;
  EXPECT_NE(streams.find("video"), std::string::npos) << streams;
}

TEST_F(Files, OptionsAFileCannotHoldAreRefusedAndWriteNothing) {
  Oiio("--pattern noise 8x4 5 --chnames R,G,B,A,Z -d half -o in.exr");
  Oiio("--pattern noise 8x4 4 -d uint8 -o in.png");
  const std::vector<std::string> base = {"render", "OrvantaRemap", "-i", "in.exr"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> a = base;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  ExpectAllFail({
      {with({"--colorspace", "Kodachrome", "-o", "o.exr"}),
       "--colorspace \"Kodachrome\" is not a colour space"},
      {with({"--working-space", "nope", "-o", "o.exr"}), "--working-space \"nope\" is not a colour space"},
      {with({"--ocio-config", "absent.ocio", "--working-space", "acescg", "-o", "o.exr"}),
       "the colour configuration absent.ocio cannot be used"},
      {with({"--channels", "R,G,B,A,Z", "-o", "o.png"}), "png files cannot hold 5 channels"},
      {with({"--channels", "R,G,B,Q", "-o", "o.exr"}), "--channels names \"Q\""},
      {with({"--channels", "R,,B", "-o", "o.exr"}), "--channels takes channel names"},
      {with({"--bits", "10", "-o", "o.exr"}), "openexr files cannot hold 10-bit samples"},
      {with({"--compression", "lzw", "-o", "o.exr"}), "openexr files take no compression \"lzw\""},
      {with({"--compression", "zip", "-o", "o.png"}), "png files take no compression"},
      {with({"--premult", "--unpremult", "-o", "o.exr"}), "give one of --premult and --unpremult"},
      {with({"--part", "2", "-o", "o.exr"}), "it has no part \"2\""},
      {{"render", "OrvantaRemap", "-i", "in.png", "--working-space", "acescg", "--colorspace", "raw",
        "--ocio-config", "in.png", "-o", "o.png"},
       "the colour configuration in.png cannot be used"},
  });
}

}  // namespace
}  // namespace orvanta
