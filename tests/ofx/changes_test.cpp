// Instance changes: a parameter changed in the host runs the tool's notification, so presets fill
// in other parameters and controls are shown, hidden or given new limits as the tool says; values
// saved in a project and values animated over time are what the tool renders with.
#include "support.h"

namespace orvanta::ofxtest {
namespace {

bool Secret(Instance& inst, const std::string& param) {
  return inst.P(param).props.Int(kOfxParamPropSecret) != 0;
}

TEST_F(WithHost, APresetFillsOtherParametersWhichTheHostHearsOf) {
  auto board = Make("OrvantaBillboard");
  std::map<std::string, std::vector<double>> before;
  for (auto& p : board->params.list) before[p->name] = p->value;
  ASSERT_EQ(board->Set("Type", {2}), kOfxStatOK) << Messages();  // "Diode Marquee"
  int changed = 0;
  for (auto& p : board->params.list) changed += p->name != "Type" && p->value != before[p->name];
  EXPECT_GT(changed, 0) << "the preset set no other parameter";
  // Each value the preset set was reported back (the bundle takes its own edits as done).
  EXPECT_EQ(board->instanceChanges, 1 + changed);
  // Setting the same preset again changes nothing more.
  const int reports = board->instanceChanges;
  ASSERT_EQ(board->Set("Type", {2}), kOfxStatOK);
  EXPECT_EQ(board->instanceChanges, reports + 1);
  EXPECT_TRUE(host_->messages.empty()) << Messages();
}

TEST_F(WithHost, ScopeShowsTheControlsOfItsType) {
  auto scope = Make("OrvantaScope");
  const char* channels[] = {"0x684364D2", "StYR", "CNTR", "CNTA"};
  for (int type : {0, 4, 1, 3}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(scope->Set("TYPE", {double(type)}), kOfxStatOK) << Messages();
    const bool perChannel = type == 3 || type == 4;  // the RGBA types
    for (const char* c : channels) EXPECT_EQ(Secret(*scope, c), !perChannel) << c;
    EXPECT_EQ(Secret(*scope, "0x544E4300"), perChannel);  // Center
    EXPECT_EQ(Secret(*scope, "StrY"), perChannel);
    EXPECT_FALSE(Secret(*scope, "ROUN"));
  }
}

TEST_F(WithHost, ToneGateShowsTheLevelOrTheRegion) {
  auto gate = Make("OrvantaToneGate");
  for (int filter : {4, 0, 7, 3}) {
    SCOPED_TRACE(filter);
    ASSERT_EQ(gate->Set("FLTO", {double(filter)}), kOfxStatOK);
    const bool region = filter >= 4;  // the "range" filters
    EXPECT_EQ(Secret(*gate, "LUMG"), region);
    EXPECT_EQ(Secret(*gate, "LUML"), !region);
    EXPECT_EQ(Secret(*gate, "LUMH"), !region);
  }
}

TEST_F(WithHost, RemapRangesMoveTheRegionLimitsAndColorizeShowsItsColour) {
  auto remap = Make("OrvantaRemap");
  EXPECT_TRUE(Secret(*remap, "ICLR"));
  ASSERT_EQ(remap->Set("OOIO", {1}), kOfxStatOK);  // "Colorize"
  EXPECT_FALSE(Secret(*remap, "ICLR"));
  ASSERT_EQ(remap->Set("OOIO", {0}), kOfxStatOK);
  EXPECT_TRUE(Secret(*remap, "ICLR"));
  for (auto [ranges, high] : {std::pair{1, 5.0}, std::pair{0, 1.0}}) {
    ASSERT_EQ(remap->Set("0x43520000", {double(ranges)}), kOfxStatOK);
    for (const char* region : {"SORL", "SORH", "SOTL", "SOTH"}) {
      EXPECT_EQ(remap->P(region).props.Double(kOfxParamPropMax), high) << region;
      EXPECT_EQ(remap->P(region).props.Double(kOfxParamPropDisplayMax), high) << region;
      EXPECT_FALSE(Secret(*remap, region)) << region;
    }
  }
  EXPECT_TRUE(Secret(*remap, "AORL"));  // the second set of regions stays hidden
}

TEST_F(WithHost, SavedValuesOutlastThePresetsTheyCallUp) {
  // A project saved with the parade type (whose preset set other controls) and a red stretch of
  // its own, loaded again: the type's notification shows the parade's controls, and every saved
  // value stays rather than the preset's. It renders as the instance it was saved from.
  const Picture in = Pattern(23, 19, Depth::Short, 5);
  auto original = Make("OrvantaScope");
  original->Connect("Source", in);
  original->Set("TYPE", {4});
  original->Set("StYR", {0.75});
  ASSERT_EQ(original->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Short), kOfxStatOK);
  std::map<std::string, std::vector<double>> saved;
  for (auto& p : original->params.list)
    if (p->Dimensions() > 0) saved[p->name] = p->value;
  Instance loaded(*host_, host_->ByName("OrvantaScope"), kOfxImageEffectContextFilter, saved);
  EXPECT_FALSE(Secret(loaded, "CNTR"));
  EXPECT_TRUE(Secret(loaded, "0x544E4300"));
  for (auto& p : loaded.params.list) {
    if (p->Dimensions() > 0) {
      EXPECT_EQ(p->value, saved[p->name]) << p->name;
    }
  }
  EXPECT_EQ(loaded.instanceChanges, 0);
  loaded.Connect("Source", in);
  ASSERT_EQ(loaded.Render(0.0, {1, 1}, Layout::BottomUp, Depth::Short), kOfxStatOK);
  EXPECT_TRUE(SamePixels(original->output->Read(), loaded.output->Read()));
}

TEST_F(WithHost, AnimatedParametersRenderTheirValueAtTheFrame) {
  const Picture in = Pattern(31, 17, Depth::Float, 6);
  auto animated = Make("OrvantaRemap");
  animated->Connect("Source", in);
  animated->P("SORL").keys = {{0.0, {0.0}}, {10.0, {0.5}}};
  ASSERT_EQ(animated->Render(5.0, {1, 1}, Layout::BottomUp, Depth::Float), kOfxStatOK);
  auto fixed = Make("OrvantaRemap");
  fixed->Connect("Source", in);
  fixed->Set("SORL", {0.25});
  ASSERT_EQ(fixed->Render(0.0, {1, 1}, Layout::BottomUp, Depth::Float), kOfxStatOK);
  EXPECT_TRUE(SamePixels(fixed->output->Read(), animated->output->Read()));
  // Another frame, another value.
  ASSERT_EQ(animated->Render(9.0, {1, 1}, Layout::BottomUp, Depth::Float), kOfxStatOK);
  EXPECT_FALSE(SamePixels(fixed->output->Read(), animated->output->Read()));
}

}  // namespace
}  // namespace orvanta::ofxtest
