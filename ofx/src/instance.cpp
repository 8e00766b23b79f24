#include "instance.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "describe.h"
#include "orvanta/graph/controls.h"

namespace orvanta::ofx {
namespace {

bool IsWhole(ParamKind k) {
  return k == ParamKind::Integer || k == ParamKind::Boolean || k == ParamKind::Choice;
}

int ToInt(double v) {
  if (!(v == v)) return 0;
  return int(std::lround(std::clamp(v, double(INT_MIN), double(INT_MAX))));
}

// Control k of a parameter's value: a point's x and y both go to its one control.
graph::KeyValue KeyOf(const ParamPlan& p, const ParamValue& value, size_t k) {
  if (p.kind == ParamKind::Point) return graph::KeyValue{0.0, value.v[0], value.v[1]};
  return graph::KeyValue{0.0, value.v[k], 0.0};
}

bool ControlHolds(const ParamPlan& p, const host::Node& node, size_t k, const graph::KeyValue& key) {
  const Input* in = node.Inputs()[p.members[k]];
  if (p.kind == ParamKind::Point) {
    const Point pt = host::PointAt(in, 0.0);
    return pt.X == key.x && pt.Y == key.y;
  }
  return host::NumberAt(in, 0.0) == key.x;
}

}  // namespace

Instance::Instance(const Tool& tool, OfxImageEffectHandle effect) : tool_(tool), effect_(effect) {
  const Suites& h = Host();
  OfxParamSetHandle set = nullptr;
  if (h.effect->getParamSet(effect, &set) != kOfxStatOK)
    throw OfxError(kOfxStatErrBadHandle, "the host gave no parameters for the instance");
  for (const ParamPlan& p : tool.plan.params) {
    OfxParamHandle param = nullptr;
    OfxPropertySetHandle props = nullptr;
    if (h.parameter->paramGetHandle(set, p.name.c_str(), &param, &props) != kOfxStatOK || !param)
      throw OfxError(kOfxStatErrBadHandle, "the host has no parameter " + p.name + " of " + tool.name);
    params_.push_back(param);
    paramProps_.push_back(props);
  }
  for (const ClipPlan& c : tool.plan.clips) {
    OfxImageClipHandle clip = nullptr;
    if (h.effect->clipGetHandle(effect, c.name.c_str(), &clip, nullptr) != kOfxStatOK) clip = nullptr;
    if (!clip && !c.optional)
      throw OfxError(kOfxStatErrBadHandle, "the host has no clip " + c.name + " of " + tool.name);
    clips_.push_back(clip);
  }
  if (h.effect->clipGetHandle(effect, kOfxImageEffectOutputClipName, &output_, nullptr) != kOfxStatOK)
    throw OfxError(kOfxStatErrBadHandle, "the host has no output clip of " + tool.name);
  for (Slot* s : {&edit_, &sizing_, &render_}) s->node = std::make_unique<host::Node>(*tool.cls);
  stand_ins_.resize(clips_.size());
}

Instance::~Instance() = default;

Instance::Values Instance::ReadAll(double time) const {
  const OfxParameterSuiteV1* ps = Host().parameter;
  Values values(params_.size());
  for (size_t i = 0; i < params_.size(); ++i) {
    const ParamPlan& p = tool_.plan.params[i];
    double* v = values[i].v;
    OfxStatus s = kOfxStatOK;
    if (IsWhole(p.kind)) {
      int whole = 0;
      s = ps->paramGetValueAtTime(params_[i], time, &whole);
      v[0] = whole;
    } else if (p.kind == ParamKind::Rgba) {
      s = ps->paramGetValueAtTime(params_[i], time, &v[0], &v[1], &v[2], &v[3]);
    } else if (p.kind == ParamKind::Rgb) {
      s = ps->paramGetValueAtTime(params_[i], time, &v[0], &v[1], &v[2]);
    } else if (p.kind == ParamKind::Point) {
      s = ps->paramGetValueAtTime(params_[i], time, &v[0], &v[1]);
    } else {
      s = ps->paramGetValueAtTime(params_[i], time, &v[0]);
    }
    if (s != kOfxStatOK) throw OfxError(kOfxStatFailed, "the host gave no value for the parameter " + p.name);
  }
  return values;
}

void Instance::WriteParam(size_t i, const ParamValue& value, double time) const {
  const OfxParameterSuiteV1* ps = Host().parameter;
  const ParamPlan& p = tool_.plan.params[i];
  OfxParamHandle h = params_[i];
  unsigned int keys = 0;
  const bool animated = ps->paramGetNumKeys(h, &keys) == kOfxStatOK && keys > 0;
  const double* v = value.v;
  OfxStatus s = kOfxStatOK;
  if (IsWhole(p.kind)) {
    const int whole = p.kind == ParamKind::Boolean ? (v[0] != 0.0 ? 1 : 0) : ToInt(v[0]);
    s = animated ? ps->paramSetValueAtTime(h, time, whole) : ps->paramSetValue(h, whole);
  } else if (p.kind == ParamKind::Rgba) {
    s = animated ? ps->paramSetValueAtTime(h, time, v[0], v[1], v[2], v[3])
                 : ps->paramSetValue(h, v[0], v[1], v[2], v[3]);
  } else if (p.kind == ParamKind::Rgb) {
    s = animated ? ps->paramSetValueAtTime(h, time, v[0], v[1], v[2])
                 : ps->paramSetValue(h, v[0], v[1], v[2]);
  } else if (p.kind == ParamKind::Point) {
    s = animated ? ps->paramSetValueAtTime(h, time, v[0], v[1]) : ps->paramSetValue(h, v[0], v[1]);
  } else {
    s = animated ? ps->paramSetValueAtTime(h, time, v[0]) : ps->paramSetValue(h, v[0]);
  }
  if (s != kOfxStatOK) throw OfxError(kOfxStatFailed, "the host refused a value for the parameter " + p.name);
}

void Instance::Push(host::Node& node, const Values& values) const {
  const std::vector<Input*>& inputs = node.Inputs();
  bool changed = false;
  for (size_t i = 0; i < values.size(); ++i) {
    const ParamPlan& p = tool_.plan.params[i];
    for (size_t k = 0; k < p.members.size(); ++k) {
      const graph::KeyValue key = KeyOf(p, values[i], k);
      if (ControlHolds(p, node, k, key)) continue;
      graph::ApplyValue(inputs[p.members[k]], graph::ParsedValue{false, {key}});
      changed = true;
    }
  }
  if (!changed) return;
  // A notification may have set controls the parameters hold otherwise: the parameters win.
  for (size_t i = 0; i < values.size(); ++i) {
    const ParamPlan& p = tool_.plan.params[i];
    for (size_t k = 0; k < p.members.size(); ++k) {
      const graph::KeyValue key = KeyOf(p, values[i], k);
      if (!ControlHolds(p, node, k, key))
        host::SetKeys(inputs[p.members[k]], {host::Key{0.0, key.x, key.y}}, false);
    }
  }
}

void Instance::Present(const host::Node& node) const {
  const std::vector<Input*>& inputs = node.Inputs();
  for (size_t i = 0; i < params_.size(); ++i) {
    const ParamPlan& p = tool_.plan.params[i];
    Props props(paramProps_[i]);
    bool shown = false;
    for (size_t m : p.members) shown = shown || host::Describe(inputs[m]).shown;
    if (props.IntOr(kOfxParamPropSecret, -1) != (shown ? 0 : 1))
      props.SetInt(kOfxParamPropSecret, shown ? 0 : 1, Need::Optional);
    if (p.kind != ParamKind::Double && p.kind != ParamKind::Integer) continue;
    SetBounds(props, p, BoundsOf(host::Describe(inputs[p.members[0]])));
  }
}

void Instance::Start() {
  std::lock_guard<std::mutex> lock(edit_.mutex);
  Push(*edit_.node, ReadAll(0.0));
  Present(*edit_.node);
}

void Instance::ParamChanged(const std::string& name, double time) {
  size_t changed = tool_.plan.params.size();
  for (size_t i = 0; i < changed; ++i)
    if (tool_.plan.params[i].name == name) changed = i;
  if (changed == tool_.plan.params.size()) return;
  std::vector<std::pair<size_t, ParamValue>> writes;
  {
    std::lock_guard<std::mutex> lock(edit_.mutex);
    host::Node& node = *edit_.node;
    const Values values = ReadAll(time);
    // The node as the parameters were before the change, then the change through the set-value
    // path, as a user of the other front-ends would make it.
    const std::vector<Input*>& inputs = node.Inputs();
    for (size_t i = 0; i < values.size(); ++i) {
      if (i == changed) continue;
      const ParamPlan& p = tool_.plan.params[i];
      for (size_t k = 0; k < p.members.size(); ++k) {
        const graph::KeyValue key = KeyOf(p, values[i], k);
        if (!ControlHolds(p, node, k, key))
          host::SetKeys(inputs[p.members[k]], {host::Key{0.0, key.x, key.y}}, false);
      }
    }
    const ParamPlan& p = tool_.plan.params[changed];
    for (size_t k = 0; k < p.members.size(); ++k)
      graph::ApplyValue(inputs[p.members[k]], graph::ParsedValue{false, {KeyOf(p, values[changed], k)}});
    for (size_t i = 0; i < values.size(); ++i) {
      const ParamValue now = NodeValue(tool_.plan.params[i], node, time);
      if (!(now == values[i])) writes.emplace_back(i, now);
    }
    Present(node);
  }
  // Outside the lock: the host may answer each write with an instance change of its own.
  for (const auto& [i, value] : writes) WriteParam(i, value, time);
}

Input* Instance::InputOf(const host::Node& node, size_t clip) const {
  return node.Inputs()[tool_.plan.clips[clip].input];
}

}  // namespace orvanta::ofx
