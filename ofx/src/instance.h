// One instance of a tool in a host: the host's parameters and clips on one side, nodes of the
// tool on the other. Values go from parameters into a node through the set-value path the other
// front-ends use, so the tool's notifications (presets, shown and hidden controls) run; what they
// change goes back to the parameters.
//
// Three nodes, each behind its own mutex, so that the actions the host may call at once on
// different threads never share one: the edit node (instance changes, on the host's main thread),
// the sizing node (regions of definition) and the render node. Every action first puts the
// parameters' values at its time into its node.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle.h"
#include "orvanta/ofx/ofx_api.h"
#include "suites.h"

namespace orvanta::ofx {

class Instance {
 public:
  // Fetches the handles of the tool's parameters and clips; throws OfxError.
  Instance(const Tool& tool, OfxImageEffectHandle effect);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const Tool& Of() const { return tool_; }

  // The parameters as created (maybe from a saved project) into the nodes; hides what the tool
  // hides for them.
  void Start();
  // A user changed the parameter (by name) at time: the change goes into the edit node through
  // the set-value path, and what the tool's notification made of other controls, their shown
  // state and their ranges goes to the parameters. Names that are no value parameter are ignored.
  void ParamChanged(const std::string& name, double time);

  // In canonical coordinates; false when a required input is not connected (the host's default
  // applies then). Throws OfxError.
  bool RegionOfDefinition(double time, OfxPointD scale, OfxRectD& rod);
  void RegionsOfInterest(double time, Props out);
  void ClipPreferences(Props out);
  // Renders the output image at time; throws OfxError with the sentence for the user.
  void Render(double time);
  // Frees the images kept between actions (the sizing stand-ins).
  void Purge();

 private:
  struct Slot {
    std::mutex mutex;
    std::unique_ptr<host::Node> node;
  };
  using Values = std::vector<ParamValue>;

  Values ReadAll(double time) const;
  void WriteParam(size_t i, const ParamValue& value, double time) const;
  // The values into node: through the set-value path where they differ, then put back exactly.
  void Push(host::Node& node, const Values& values) const;
  // Shown state and ranges of node's controls onto the parameters.
  void Present(const host::Node& node) const;
  Input* InputOf(const host::Node& node, size_t clip) const;

  const Tool& tool_;
  OfxImageEffectHandle effect_;
  std::vector<OfxParamHandle> params_;
  std::vector<OfxPropertySetHandle> paramProps_;
  std::vector<OfxImageClipHandle> clips_;  // as tool_.plan.clips; null when not in this context
  OfxImageClipHandle output_ = nullptr;
  Slot edit_, sizing_, render_;
  std::vector<host::ImagePtr> stand_ins_;  // the sizing node's inputs, by clip
};

}  // namespace orvanta::ofx
