// The bundle as a host sees it: loading, what each tool announces, its clips and parameters
// against what `orvanta info --json` prints, its icons, and the faults it reports.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../../ofx/icons/png.h"
#include "support.h"

#ifdef ORVANTA_CLI
#include <OpenImageIO/imageio.h>
#endif

namespace orvanta::ofxtest {
namespace {

using Json = nlohmann::json;

TEST_F(WithHost, AnnouncesEveryToolAsAnImageEffect) {
  ASSERT_EQ(host_->Count(), 8);
  for (const char* tool : kTools) {
    SCOPED_TRACE(tool);
    OfxPlugin* p = host_->ByName(tool);
    ASSERT_TRUE(p);
    EXPECT_STREQ(p->pluginApi, "OfxImageEffectPluginAPI");
    EXPECT_EQ(p->apiVersion, 1);
    EXPECT_EQ(std::string(p->pluginIdentifier), std::string("example.orvantatools.") + tool);
    EXPECT_EQ(p->pluginVersionMajor, 0u);  // the tools are "V0.9 public Beta"
    EXPECT_EQ(p->pluginVersionMinor, 9u);
    PropertySet& d = host_->Descriptor(p);
    EXPECT_EQ(d.String(kOfxPropLabel).rfind(tool, 0), 0u) << d.String(kOfxPropLabel);
    EXPECT_EQ(d.String(kOfxImageEffectPluginPropGrouping), "Orvanta");
    EXPECT_FALSE(d.String(kOfxPropPluginDescription).empty());
    EXPECT_EQ(d.String(kOfxPropVersionLabel), "V0.9 public Beta");
    EXPECT_EQ(d.AllStrings(kOfxImageEffectPropSupportedPixelDepths),
              (std::vector<std::string>{kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}));
    // Whole images of any size and place, one render an instance at a time, threads its own.
    EXPECT_EQ(d.Int(kOfxImageEffectPropSupportsTiles), 0);
    EXPECT_EQ(d.Int(kOfxImageEffectPropSupportsMultiResolution), 1);
    EXPECT_EQ(d.Int(kOfxImageEffectPluginPropHostFrameThreading), 0);
    EXPECT_EQ(d.String(kOfxImageEffectPluginRenderThreadSafety), kOfxImageEffectRenderInstanceSafe);
    EXPECT_EQ(d.Int(kOfxImageEffectPropSupportsMultipleClipDepths), 0);
    EXPECT_EQ(d.String(kOfxPropIcon, 1), std::string(p->pluginIdentifier) + ".png");
  }
}

TEST_F(WithHost, ContextsAndClipsFollowTheImageInputs) {
  struct Expect {
    const char* tool;
    std::vector<std::string> contexts;
    size_t clips;  // input clips
    std::vector<std::string> required;
  };
  const std::string filter = kOfxImageEffectContextFilter, general = kOfxImageEffectContextGeneral;
  const Expect expect[] = {
      {"OrvantaLineDrop", {filter}, 1, {"Input"}},
      {"OrvantaRaster", {filter}, 1, {"Input"}},
      {"OrvantaToneGate", {filter}, 1, {"Input"}},
      {"OrvantaRemap", {filter}, 1, {"Input"}},
      {"OrvantaScope", {filter}, 1, {"Input"}},
      {"OrvantaBillboard", {filter, general}, 2, {"Input"}},  // the display pixel is optional
      {"OrvantaMultitude", {general}, 6, {"Background", "Crowd"}},
      {"OrvantaMosaic", {general}, 21, {"Input", "Tile 1 (required)"}},
  };
  for (const Expect& e : expect) {
    SCOPED_TRACE(e.tool);
    OfxPlugin* p = host_->ByName(e.tool);
    EXPECT_EQ(host_->Descriptor(p).AllStrings(kOfxImageEffectPropSupportedContexts), e.contexts);
    for (const std::string& context : e.contexts) {
      OfxStatus s = kOfxStatFailed;
      host_->InContext(p, context, &s);
      EXPECT_EQ(s, kOfxStatOK) << Messages();
      std::vector<Clip*> clips = host_->ClipsIn(p, context);
      ASSERT_EQ(clips.size(), e.clips + 1);
      EXPECT_EQ(clips.front()->name, kOfxImageEffectSimpleSourceClipName);
      EXPECT_EQ(clips.back()->name, kOfxImageEffectOutputClipName);
      std::vector<std::string> required;
      for (Clip* c : clips) {
        EXPECT_EQ(c->props.AllStrings(kOfxImageEffectPropSupportedComponents),
                  std::vector<std::string>{kOfxImageComponentRGBA});
        EXPECT_EQ(c->props.Int(kOfxImageEffectPropSupportsTiles), 0);
        if (c != clips.back() && c->props.Int(kOfxImageClipPropOptional) == 0)
          required.push_back(c->props.String(kOfxPropLabel));
      }
      EXPECT_EQ(required, e.required);
    }
  }
  // A context the tool does not announce is refused.
  OfxStatus s = kOfxStatOK;
  host_->InContext(host_->ByName("OrvantaMosaic"), filter, &s);
  EXPECT_NE(s, kOfxStatOK);
}

#ifdef ORVANTA_CLI

Json Info(const std::string& tool) {
  const std::string cmd = std::string(ORVANTA_CLI) + " info " + tool + " --json";
  FILE* f = popen(cmd.c_str(), "r");
  std::string text;
  char buf[4096];
  size_t n;
  while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  if (f) pclose(f);
  return Json::parse(text);
}

// Every control `orvanta info --json` lists is one parameter named by its id (a colour group one
// colour parameter named by its first member), with its label, kind, items, limits and display
// range, default and shown state; pages list them in declaration order.
void ExpectParamsMatchInfo(Host& host, const std::string& tool, const Json& info) {
  SCOPED_TRACE(tool);
  OfxPlugin* p = host.ByName(tool);
  const std::string context = host.Descriptor(p).AllStrings(kOfxImageEffectPropSupportedContexts).front();
  ParamSet& params = host.ParamsIn(p, context);
  std::vector<std::string> order;
  std::map<std::string, std::vector<Json>> colours;  // "page/group" -> members
  for (const Json& page : info["pages"])
    for (const Json& in : page["inputs"]) {
      const std::string kind = in["kind"];
      if (in.contains("required")) continue;  // an image input
      if (kind == "colour" && in.contains("group")) {
        std::vector<Json>& members = colours[page["page"].get<std::string>() + "/" + in["group"].dump()];
        members.push_back(in);
        if (members.size() == 1) order.push_back(in["id"]);
        continue;
      }
      order.push_back(in["id"]);
      const Param* param = params.Find(in["id"]);
      ASSERT_TRUE(param) << in.dump();
      const std::string type = kind == "combo"                       ? kOfxParamTypeChoice
                               : kind == "checkbox"                  ? kOfxParamTypeBoolean
                               : kind == "offset" || kind == "point" ? kOfxParamTypeDouble2D
                               : in["wholeNumbers"].get<bool>()      ? kOfxParamTypeInteger
                                                                     : kOfxParamTypeDouble;
      EXPECT_EQ(param->type, type) << in.dump();
      const PropertySet& pp = param->props;
      EXPECT_EQ(pp.String(kOfxPropLabel), in["label"]);
      EXPECT_EQ(pp.Int(kOfxParamPropSecret), in["shown"].get<bool>() ? 0 : 1) << in.dump();
      if (kind == "combo") {
        EXPECT_EQ(pp.AllStrings(kOfxParamPropChoiceOption), in["items"].get<std::vector<std::string>>());
      }
      if (in.contains("default")) {
        const double def = in["default"];
        if (param->Whole()) {
          EXPECT_EQ(pp.Int(kOfxParamPropDefault), int(def)) << in.dump();
        } else {
          EXPECT_EQ(pp.Double(kOfxParamPropDefault), def) << in.dump();
        }
      }
      if (type != kOfxParamTypeInteger && type != kOfxParamTypeDouble) continue;
      auto value = [&](const char* prop) {
        return type == kOfxParamTypeInteger ? double(pp.Int(prop)) : pp.Double(prop);
      };
      if (in.contains("limitLow")) {
        EXPECT_EQ(value(kOfxParamPropMin), in["limitLow"].get<double>());
      }
      if (in.contains("limitHigh")) {
        EXPECT_EQ(value(kOfxParamPropMax), in["limitHigh"].get<double>());
      }
      // The display range is the declared range, kept within the limits.
      if (in.contains("rangeLow")) {
        EXPECT_EQ(value(kOfxParamPropDisplayMin),
                  std::max(in["rangeLow"].get<double>(), in.value("limitLow", -1e300)));
      }
      if (in.contains("rangeHigh")) {
        EXPECT_EQ(value(kOfxParamPropDisplayMax),
                  std::min(in["rangeHigh"].get<double>(), in.value("limitHigh", 1e300)));
      }
    }
  for (auto& [key, members] : colours) {
    const Param* param = params.Find(members.front()["id"]);
    ASSERT_TRUE(param) << key;
    EXPECT_EQ(param->type, members.size() == 4 ? kOfxParamTypeRGBA : kOfxParamTypeRGB);
    EXPECT_EQ(param->props.String(kOfxPropLabel), members.front()["groupLabel"]);
    std::vector<double> defaults;
    for (const Json& m : members) defaults.push_back(m["default"]);
    EXPECT_EQ(param->props.AllDoubles(kOfxParamPropDefault), defaults);
  }
  std::vector<std::string> paged;
  for (const auto& param : params.list)
    if (param->type == kOfxParamTypePage)
      for (const std::string& child : param->props.AllStrings(kOfxParamPropPageChild)) paged.push_back(child);
  EXPECT_EQ(paged, order);
}

TEST_F(WithHost, ParametersAreTheControlsOrvantaInfoLists) {
  std::vector<std::future<Json>> infos;
  for (const char* tool : kTools)
    infos.push_back(std::async(std::launch::async, [tool] { return Info(tool); }));
  for (size_t i = 0; i < infos.size(); ++i) ExpectParamsMatchInfo(*host_, kTools[i], infos[i].get());
}

TEST_F(WithHost, EveryToolHasItsBitmapAsItsIcon) {
  for (const char* tool : kTools) {
    const std::string path =
        BundlePath() + "/Contents/Resources/" + host_->ByName(tool)->pluginIdentifier + std::string(".png");
    auto in = OIIO::ImageInput::open(path);
    ASSERT_TRUE(in) << path;
    EXPECT_EQ(in->spec().width, 116);  // the tools' bitmap resource is 116 x 87
    EXPECT_EQ(in->spec().height, 87);
    EXPECT_EQ(in->spec().nchannels, 4);
  }
}

#endif

// A 3 x 2 bitmap whose pixels are all different, 24-bit bottom-up, and the same top-down at 32
// bits with alpha: both give the same picture, and its PNG decodes to it.
TEST(Icons, BitmapsBecomePngsPixelForPixel) {
  const uint8_t rgba[2][3][4] = {{{1, 2, 3, 255}, {4, 5, 6, 255}, {7, 8, 9, 255}},
                                 {{10, 11, 12, 255}, {13, 14, 15, 255}, {16, 17, 18, 255}}};
  auto bmp = [&](int bits, bool topDown) {
    const size_t rowBytes = (size_t(3) * bits / 8 + 3) & ~size_t(3);
    std::vector<uint8_t> b(54 + rowBytes * 2, 0);
    auto put = [&](size_t at, uint32_t v, int n) {
      for (int i = 0; i < n; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    put(10, 54, 4), put(14, 40, 4), put(18, 3, 4), put(22, topDown ? uint32_t(-2) : 2u, 4), put(26, 1, 2);
    put(28, uint32_t(bits), 2);
    for (int y = 0; y < 2; ++y) {
      const int stored = topDown ? y : 1 - y;
      for (int x = 0; x < 3; ++x) {
        uint8_t* px = &b[54 + size_t(stored) * rowBytes + size_t(x) * size_t(bits / 8)];
        px[0] = rgba[y][x][2], px[1] = rgba[y][x][1], px[2] = rgba[y][x][0];
        if (bits == 32) px[3] = rgba[y][x][3];
      }
    }
    return b;
  };
  for (auto [bits, topDown] : {std::pair{24, false}, std::pair{32, true}}) {
    const ofx::Rgba8Picture pic = ofx::DecodeBmp(bmp(bits, topDown));
    ASSERT_EQ(pic.width, 3);
    ASSERT_EQ(pic.height, 2);
    EXPECT_EQ(std::memcmp(pic.rgba.data(), rgba, sizeof rgba), 0) << bits << " bits";
#ifdef ORVANTA_CLI
    Scratch dir("icon");
    const std::vector<uint8_t> png = ofx::EncodePng(pic);
    std::ofstream(dir.Path() + "/i.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    auto in = OIIO::ImageInput::open(dir.Path() + "/i.png");
    ASSERT_TRUE(in);
    uint8_t back[2][3][4];
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, back));
    EXPECT_EQ(std::memcmp(back, rgba, sizeof rgba), 0);
#endif
  }
  const std::vector<uint8_t> whole = bmp(24, false);
  EXPECT_THROW(ofx::DecodeBmp(std::vector<uint8_t>(whole.begin(), whole.begin() + 60)), std::runtime_error);
}

TEST(Load, AHostWithoutAParameterSuiteIsToldWhatIsMissing) {
  HostOptions options;
  options.parameterSuite = false;
  Host host(options);
  void* library =
      dlopen((BundlePath() + "/Contents/Linux-x86-64/Orvanta.ofx").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(library) << dlerror();
  auto get = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(library, "OfxGetPlugin"));
  OfxPlugin* p = get(0);
  p->setHost(&host.ofxHost);
  EXPECT_EQ(p->mainEntry(kOfxActionLoad, nullptr, nullptr, nullptr), kOfxStatErrMissingHostFeature);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].text.find("OfxParameterSuite"), std::string::npos) << host.messages[0].text;
  // Nothing else works before a load succeeded.
  EXPECT_NE(p->mainEntry(kOfxActionDescribe, nullptr, nullptr, nullptr), kOfxStatOK);
}

TEST_F(WithHost, ActionsItDoesNotTrapAnswerReplyDefault) {
  auto remap = Make("OrvantaRemap");
  EXPECT_EQ(remap->Action("OfxActionSomethingNewer"), kOfxStatReplyDefault);
  EXPECT_EQ(remap->Action(kOfxImageEffectActionIsIdentity), kOfxStatReplyDefault);
  EXPECT_EQ(remap->Action(kOfxActionBeginInstanceEdit), kOfxStatReplyDefault);
  EXPECT_TRUE(host_->messages.empty()) << Messages();
}

TEST_F(WithHost, RendersAfterCachesArePurgedAreTheSame) {
  auto remap = Make("OrvantaRemap");
  remap->Connect("Source", Pattern(40, 30, Depth::Short, 4));
  remap->Set("SORL", {0.25});
  ASSERT_EQ(remap->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Short), kOfxStatOK);
  const Picture first = remap->output->Read();
  EXPECT_EQ(remap->Action(kOfxActionPurgeCaches), kOfxStatOK);
  ASSERT_EQ(remap->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Short), kOfxStatOK);
  EXPECT_TRUE(SamePixels(first, remap->output->Read()));
}

// A host that gives an output image of another depth than its inputs (against what the bundle
// asked) still gets the result, converted as the runtime converts 16-bit values to float.
TEST_F(WithHost, AnOutputOfAnotherDepthGetsTheResultConverted) {
  auto remap = Make("OrvantaRemap");
  remap->Connect("Source", Pattern(21, 13, Depth::Short, 5));
  remap->Set("SORH", {0.75});
  ASSERT_EQ(remap->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Short), kOfxStatOK);
  const Picture words = remap->output->Read();
  ASSERT_EQ(remap->Render(0.0, {1, 1}, Layout::NegativeStride, Depth::Float), kOfxStatOK);
  Picture expected{words.width, words.height, Depth::Float, std::vector<uint8_t>(words.bytes.size() * 2)};
  for (size_t i = 0; i < words.bytes.size() / 2; ++i) {
    uint16_t w;
    std::memcpy(&w, words.bytes.data() + 2 * i, 2);
    const float f = w / 65535.0f;
    std::memcpy(expected.bytes.data() + 4 * i, &f, 4);
  }
  EXPECT_TRUE(SamePixels(expected, remap->output->Read()));
}

TEST_F(WithHost, AMissingRequiredImageRendersNothingAndSaysWhy) {
  auto mosaic = Make("OrvantaMosaic");
  mosaic->Connect("Source", Pattern(16, 12, Depth::Short, 1));
  EXPECT_EQ(mosaic->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Short), kOfxStatFailed);
  const Picture out = mosaic->output->Read();
  EXPECT_TRUE(std::all_of(out.bytes.begin(), out.bytes.end(), [](uint8_t b) { return b == 0xA5; }))
      << "a pixel was written";
  EXPECT_NE(Messages().find("OrvantaMosaic: the image input \"Tile 1 (required)\" has no picture"),
            std::string::npos)
      << Messages();
}

TEST_F(WithHost, AFailedRenderIsAStatusAndOneMessage) {
  // Stretched by 510 both ways, a float output of 49470 x 31110 pixels is beyond the memory
  // budget of any machine that runs the tests; the tool's failure comes back as a status.
  auto raster = Make("OrvantaRaster");
  raster->Connect("Source", Pattern(97, 61, Depth::Float, 2));
  for (const char* p : {"MODH", "0x56536100", "MODV"}) raster->Set(p, {1});
  for (const char* p : {"BSCH", "CSCH", "BSCV", "CSCV"}) raster->Set(p, {255});
  EXPECT_EQ(raster->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Float), kOfxStatFailed);
  ASSERT_EQ(host_->messages.size(), 1u) << Messages();
  EXPECT_EQ(host_->messages[0].type, kOfxMessageError);
  EXPECT_NE(host_->messages[0].text.find("memory budget"), std::string::npos) << Messages();
}

TEST_F(WithHost, ImagesOtherThanRgbaAreRefused) {
  auto remap = Make("OrvantaRemap");
  remap->Connect("Source", Pattern(8, 8, Depth::Byte, 3));
  remap->FindClip("Source")->components = kOfxImageComponentAlpha;
  EXPECT_EQ(remap->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Byte), kOfxStatErrImageFormat);
  EXPECT_NE(Messages().find("the tools take RGBA"), std::string::npos) << Messages();
}

}  // namespace
}  // namespace orvanta::ofxtest
