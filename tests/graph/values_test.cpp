// Values read from text for a control: numbers within the declared range, whole numbers, combo
// items by text or index, checkbox words, points, and keyframes; each refusal one sentence naming
// the control and its tool.
#include <string>

#include "orvanta/graph/controls.h"
#include "orvanta/host/failure.h"
#include "support.h"

namespace orvanta {
namespace {

using graph::ParsedValue;

class ParseValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    remap = testing::MakeNode("OrvantaRemap");
    raster = testing::MakeNode("OrvantaRaster");
    scope = testing::MakeNode("OrvantaScope");
  }

  static ParsedValue Parse(const host::Node& node, const std::string& control, const std::string& text) {
    return graph::ParseValue(node, graph::FindControl(node, control), text);
  }
  // The sentence a refused text gives ("" when it was taken).
  static std::string Refusal(const host::Node& node, const std::string& control, const std::string& text) {
    try {
      Parse(node, control, text);
    } catch (const Failure& e) {
      return e.what();
    }
    return "";
  }
  static double One(const host::Node& node, const std::string& control, const std::string& text) {
    const ParsedValue v = Parse(node, control, text);
    EXPECT_FALSE(v.animated) << text;
    EXPECT_EQ(v.keys.size(), 1u) << text;
    return v.keys.empty() ? -1.0 : v.keys.front().x;
  }

  std::unique_ptr<host::Node> remap, raster, scope;
};

TEST_F(ParseValueTest, NumbersMustLieInTheDeclaredRange) {
  EXPECT_EQ(One(*remap, "SORL", "0.25"), 0.25);
  EXPECT_EQ(One(*remap, "SORL", " 0.5 "), 0.5);
  EXPECT_EQ(One(*remap, "SORL", "1e-1"), 0.1);
  EXPECT_EQ(One(*remap, "SORL", "0"), 0.0);
  EXPECT_EQ(One(*remap, "SORL", "1"), 1.0);  // both ends belong to the range
  const std::string outside = Refusal(*remap, "SORL", "1.5");
  EXPECT_NE(outside.find("1.5 is outside the range of \"Input Region Start\" of OrvantaRemap (0 to 1)"),
            std::string::npos)
      << outside;
  EXPECT_NE(Refusal(*remap, "SORL", "-0.001"), "");
  for (const char* bad : {"", "abc", "0.5x", "nan", "inf", "0,5"})
    EXPECT_NE(Refusal(*remap, "SORL", bad).find("is not a number for \"Input Region Start\""),
              std::string::npos)
        << bad;
}

TEST_F(ParseValueTest, WholeNumberControlsRefuseFractions) {
  EXPECT_EQ(One(*raster, "BSCH", "3"), 3.0);
  EXPECT_EQ(One(*raster, "BSCH", "255"), 255.0);
  EXPECT_NE(Refusal(*raster, "BSCH", "2.5").find("takes whole numbers only, not 2.5"), std::string::npos);
  EXPECT_NE(Refusal(*raster, "BSCH", "0").find("outside the range"), std::string::npos);
}

TEST_F(ParseValueTest, CombosTakeItemTextInAnyCaseOrAnIndex) {
  EXPECT_EQ(One(*raster, "Blend Mode", "none (write over)"), 0.0);
  EXPECT_EQ(One(*raster, "Blend Mode", "add"), 1.0);
  EXPECT_EQ(One(*raster, "Blend Mode", "SubTract"), 2.0);
  EXPECT_EQ(One(*raster, "Blend Mode", "2"), 2.0);
  for (const char* bad : {"3", "-1", "1.5", "multiply"}) {
    const std::string why = Refusal(*raster, "Blend Mode", bad);
    EXPECT_NE(
        why.find("is not an item of \"Blend Mode\" of OrvantaRaster; its items are \"none (write over)\" "
                 "(0), \"add\" (1), \"subtract\" (2)"),
        std::string::npos)
        << bad << ": " << why;
  }
}

TEST_F(ParseValueTest, CheckboxesTakeOnOffWords) {
  for (const char* on : {"1", "on", "ON", "true", "Yes"})
    EXPECT_EQ(One(*remap, "Settings/Red", on), 1.0) << on;
  for (const char* off : {"0", "off", "False", "no"}) EXPECT_EQ(One(*remap, "Settings/Red", off), 0.0) << off;
  for (const char* bad : {"2", "0.5", "maybe", ""})
    EXPECT_NE(
        Refusal(*remap, "Settings/Red", bad).find("is not a checkbox value for \"Red\" of OrvantaRemap"),
        std::string::npos)
        << bad;
}

TEST_F(ParseValueTest, PointsTakeXCommaY) {
  const ParsedValue p = Parse(*scope, "Center", "0.25, 0.75");
  ASSERT_EQ(p.keys.size(), 1u);
  EXPECT_EQ(p.keys[0].x, 0.25);
  EXPECT_EQ(p.keys[0].y, 0.75);
  for (const char* bad : {"0.25", "a,b", "1,", ",1"})
    EXPECT_NE(Refusal(*scope, "Center", bad).find("is not a point X,Y for \"Center\""), std::string::npos)
        << bad;
}

TEST_F(ParseValueTest, KeyframesGiveAValuePerFrame) {
  ParsedValue v = Parse(*remap, "SORL", "0@1,0.5@30");
  EXPECT_TRUE(v.animated);
  ASSERT_EQ(v.keys.size(), 2u);
  EXPECT_EQ(v.keys[0].frame, 1.0);
  EXPECT_EQ(v.keys[0].x, 0.0);
  EXPECT_EQ(v.keys[1].frame, 30.0);
  EXPECT_EQ(v.keys[1].x, 0.5);
  // One key is still keyframes; items and points keep their own syntax before the '@'.
  v = Parse(*remap, "SORL", "0.5@7");
  EXPECT_TRUE(v.animated);
  ASSERT_EQ(v.keys.size(), 1u);
  EXPECT_EQ(v.keys[0].frame, 7.0);
  v = Parse(*raster, "Blend Mode", "add@1,subtract@5");
  ASSERT_EQ(v.keys.size(), 2u);
  EXPECT_EQ(v.keys[1].x, 2.0);
  v = Parse(*scope, "Center", "0,0@1,1,0.5@11");
  ASSERT_EQ(v.keys.size(), 2u);
  EXPECT_EQ(v.keys[1].frame, 11.0);
  EXPECT_EQ(v.keys[1].x, 1.0);
  EXPECT_EQ(v.keys[1].y, 0.5);

  EXPECT_NE(Refusal(*remap, "SORL", "0@1,5").find("need VALUE@FRAME for every key"), std::string::npos);
  EXPECT_NE(Refusal(*remap, "SORL", "0@1,").find("end with a comma"), std::string::npos);
  EXPECT_NE(Refusal(*remap, "SORL", "0@x").find("\"x\" is not a frame number in the keyframes"),
            std::string::npos);
  EXPECT_NE(Refusal(*remap, "SORL", "0@1,2@5").find("outside the range"), std::string::npos);
}

TEST_F(ParseValueTest, ASingleValueRefusesKeyframes) {
  Input* in = graph::FindControl(*remap, "SORL");
  EXPECT_EQ(graph::ParseSingleValue(*remap, in, "0.5").x, 0.5);
  EXPECT_THROW(graph::ParseSingleValue(*remap, in, "0.5@3"), Failure);
}

}  // namespace
}  // namespace orvanta
