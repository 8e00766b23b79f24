// Every installed plug-in: loads, declares sane controls, survives every control swept across
// its range and beyond (NaN, infinities, values between combo items), renders with only its
// required inputs, refuses each missing required input with a sentence, and gives the same bytes
// for 1 and 3 workers.
#include <cmath>
#include <limits>
#include <set>

#include "support.h"

namespace orvanta {
namespace {

std::vector<const host::ClassInfo*> AllTools() {
  static bool loaded = false;
  if (!loaded) {
    for (auto& l : host::LoadPluginDirectory(ORVANTA_PLUGIN_DIR))
      EXPECT_TRUE(l.ok) << l.path << ": " << l.error;
    loaded = true;
  }
  std::vector<const host::ClassInfo*> tools;
  for (const host::ClassInfo* c : host::Classes())
    if (!c->library.empty()) tools.push_back(c);
  return tools;
}

// Connects every required image input, and, when `optional` is set, the optional ones too.
std::vector<host::ImagePtr> ConnectInputs(host::Node& node, uint32_t depth, bool optional) {
  std::vector<host::ImagePtr> images;
  int k = 0;
  for (Input* in : node.Inputs()) {
    const host::ControlDescription& d = host::Describe(in);
    if (!d.IsImage() || (!d.IsRequired() && !optional)) continue;
    images.push_back(testing::Numbered(9 + k, 7 + 2 * k, depth));
    host::Connect(in, images.back().get(), d.label);
    ++k;
  }
  return images;
}

TEST(Smoke, AllEightToolsLoadWithDistinctIdentities) {
  auto tools = AllTools();
  ASSERT_EQ(tools.size(), 8u);
  std::set<uint32_t> words;
  for (const host::ClassInfo* c : tools) {
    words.insert(c->classWord);
    EXPECT_EQ(c->versionTexts.size(), 2u) << c->name;
    EXPECT_EQ(c->versionTexts.back(), "V0.9 public Beta") << c->name;
    EXPECT_EQ(c->tags.size(), 15u) << c->name;
    EXPECT_FALSE(c->bitmap.empty()) << c->name;
    host::Node node(*c);
    std::set<uint32_t> ids;
    for (Input* in : node.Inputs()) EXPECT_TRUE(ids.insert(host::Describe(in).id).second) << c->name;
    ASSERT_NE(node.MainOutput(), nullptr) << c->name;
    EXPECT_EQ(node.MainOutput()->Id(), ImageOutputId);
  }
  EXPECT_EQ(words.size(), 8u);
}

TEST(Smoke, RequiredInputsAloneRenderAndEachMissingOneIsRefused) {
  for (const host::ClassInfo* c : AllTools()) {
    SCOPED_TRACE(c->name);
    for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
      host::Node node(*c);
      auto images = ConnectInputs(node, depth, false);
      host::RenderResult r = node.Render(0);
      EXPECT_TRUE(r.ok()) << r.error;
      for (Input* in : node.Inputs()) {
        const host::ControlDescription& d = host::Describe(in);
        if (!d.IsRequired()) continue;
        host::Disconnect(in);
        host::RenderResult missing = node.Render(0);
        EXPECT_FALSE(missing.ok());
        EXPECT_NE(missing.error.find("\"" + d.label + "\""), std::string::npos) << missing.error;
        host::Connect(in, images.front().get(), d.label);
      }
    }
  }
}

TEST(Smoke, EveryControlSweptAcrossAndBeyondItsRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (const host::ClassInfo* c : AllTools()) {
    SCOPED_TRACE(c->name);
    for (uint32_t depth : {Depth16, DepthFloat}) {
      host::Node node(*c);
      auto images = ConnectInputs(node, depth, true);
      for (Input* in : node.Inputs()) {
        const host::ControlDescription d = host::Describe(in);
        if (d.IsImage()) continue;
        double lo = d.rangeLow.value_or(0.0), hi = d.rangeHigh.value_or(1.0);
        if (!d.items.empty()) hi = double(d.items.size() - 1);
        const double values[] = {lo, (lo + hi) / 2, hi, hi + 1, lo - 1, 0.5, nan, inf, -inf, 1e12};
        for (double v : values) {
          if (d.type == PointDataType) {
            AutoParameter p(new Point(v, v));
            in->SetValue(p.get(), 0.0, 1);
          } else {
            AutoNumber n(v);
            in->SetValue(n.get(), 0.0, 1);
          }
          host::RenderResult r = node.Render(0);
          EXPECT_TRUE(r.ok() || !r.error.empty()) << d.label << " = " << v;
        }
        // Back to its default for the next control.
        AutoNumber back(d.defaultValue.value_or(0.0));
        if (d.type == NumberDataType) in->SetValue(back.get(), 0.0, 1);
      }
      host::RenderResult fine = node.Render(0);
      EXPECT_TRUE(fine.ok()) << fine.error;
    }
  }
}

TEST(Smoke, OneAndThreeWorkersGiveTheSameBytes) {
  for (const host::ClassInfo* c : AllTools()) {
    SCOPED_TRACE(c->name);
    for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
      host::Node node(*c);
      auto images = ConnectInputs(node, depth, true);
      auto one = testing::WithThreads(1, [&] { return node.Render(0); });
      auto three = testing::WithThreads(3, [&] { return node.Render(0); });
      ASSERT_TRUE(one.ok()) << one.error;
      ASSERT_TRUE(three.ok()) << three.error;
      EXPECT_TRUE(testing::SameBytes(one.image.get(), three.image.get()));
    }
  }
}

// The format-specialised loops and the general cursor path must give the same bytes: the same
// inputs once as host images and once as images of a foreign model.
TEST(Smoke, ForeignImageModelGivesTheSameBytes) {
  for (const host::ClassInfo* c : AllTools()) {
    SCOPED_TRACE(c->name);
    for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
      host::Node node(*c);
      auto images = ConnectInputs(node, depth, true);
      auto native = node.Render(0);
      std::vector<host::ImagePtr> foreign;
      size_t k = 0;
      for (Input* in : node.Inputs())
        if (host::IsConnected(in)) {
          foreign.push_back(testing::CustomStorageCopy(images[k++].get()));
          host::Connect(in, foreign.back().get(), "foreign");
        }
      auto other = node.Render(0);
      ASSERT_TRUE(native.ok()) << native.error;
      ASSERT_TRUE(other.ok()) << other.error;
      EXPECT_TRUE(testing::SameBytes(native.image.get(), other.image.get()));
    }
  }
}

// Images a tool makes without clearing must be written in full: poisoning their memory first
// changes no output byte.
TEST(Smoke, UnclearedImagesAreWrittenInFull) {
  for (const host::ClassInfo* c : AllTools()) {
    SCOPED_TRACE(c->name);
    for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
      host::Node node(*c);
      auto images = ConnectInputs(node, depth, true);
      auto plain = node.Render(0);
      auto poisoned = testing::WithPoisonedImages([&] { return node.Render(0); });
      ASSERT_TRUE(plain.ok()) << plain.error;
      ASSERT_TRUE(poisoned.ok()) << poisoned.error;
      EXPECT_TRUE(testing::SameBytes(plain.image.get(), poisoned.image.get()));
    }
  }
}

}  // namespace
}  // namespace orvanta
