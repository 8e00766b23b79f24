// What the OpenFX tests share: where the bundle is, and a host that has opened it.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "pictures.h"
#include "test_host.h"

namespace orvanta::ofxtest {

// The bundle under test: $ORVANTA_OFX_BUNDLE (an installed one), else the build tree's.
inline std::string BundlePath() {
  const char* env = std::getenv("ORVANTA_OFX_BUNDLE");
  return env && *env ? env : ORVANTA_OFX_BUNDLE;
}

// The eight tools by registry name.
inline const char* const kTools[] = {"OrvantaLineDrop", "OrvantaRaster",    "OrvantaToneGate",
                                     "OrvantaRemap",    "OrvantaBillboard", "OrvantaMultitude",
                                     "OrvantaMosaic",   "OrvantaScope"};

// A host with the bundle open; one per test (the suites serve one host at a time).
class WithHost : public ::testing::Test {
 protected:
  void Open(HostOptions options = {}) {
    host_ = std::make_unique<Host>(options);
    host_->Open(BundlePath());
  }
  void SetUp() override { Open(); }
  void TearDown() override { host_.reset(); }

  // A new instance of the tool in its first context (filter when it has one).
  std::unique_ptr<Instance> Make(const std::string& tool, const std::string& context = "") {
    OfxPlugin* p = host_->ByName(tool);
    std::string c = context;
    if (c.empty()) {
      const auto contexts = host_->Descriptor(p).AllStrings(kOfxImageEffectPropSupportedContexts);
      c = contexts.empty() ? kOfxImageEffectContextGeneral : contexts.front();
    }
    return std::make_unique<Instance>(*host_, p, c);
  }

  // The messages posted so far, one a line.
  std::string Messages() {
    std::string all;
    for (const Message& m : host_->messages) all += m.type + ": " + m.text + "\n";
    return all;
  }

  std::unique_ptr<Host> host_;
};

}  // namespace orvanta::ofxtest
