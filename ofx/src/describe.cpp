#include "describe.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "identity.h"
#include "suites.h"

namespace orvanta::ofx {
namespace {

const char* TypeOf(ParamKind kind) {
  switch (kind) {
    case ParamKind::Integer:
      return kOfxParamTypeInteger;
    case ParamKind::Boolean:
      return kOfxParamTypeBoolean;
    case ParamKind::Choice:
      return kOfxParamTypeChoice;
    case ParamKind::Rgb:
      return kOfxParamTypeRGB;
    case ParamKind::Rgba:
      return kOfxParamTypeRGBA;
    case ParamKind::Point:
      return kOfxParamTypeDouble2D;
    default:
      return kOfxParamTypeDouble;
  }
}

Props Define(OfxParamSetHandle set, const char* type, const std::string& name) {
  OfxPropertySetHandle h = nullptr;
  const OfxStatus s = Host().parameter->paramDefine(set, type, name.c_str(), &h);
  if (s != kOfxStatOK || !h)
    throw OfxError(s == kOfxStatErrMemory ? kOfxStatErrMemory : kOfxStatFailed,
                   std::string("the host refused the parameter ") + name + " of type " + type);
  return Props(h);
}

void DefineParam(OfxParamSetHandle set, const ParamPlan& p, const host::Node& node) {
  Props props = Define(set, TypeOf(p.kind), p.name);
  const host::ControlDescription& d = host::Describe(node.Inputs()[p.members[0]]);
  props.SetString(kOfxPropLabel, p.label);
  props.SetString(kOfxParamPropHint, p.hint, Need::Optional);
  props.SetString(kOfxParamPropScriptName, p.name, Need::Optional);
  if (!p.parent.empty()) props.SetString(kOfxParamPropParent, p.parent, Need::Optional);
  bool shown = false;
  for (size_t m : p.members) shown = shown || host::Describe(node.Inputs()[m]).shown;
  props.SetInt(kOfxParamPropSecret, shown ? 0 : 1, Need::Optional);
  const ParamValue v = NodeValue(p, node, 0.0);
  switch (p.kind) {
    case ParamKind::Choice:
      props.SetStrings(kOfxParamPropChoiceOption, d.items);
      props.SetInt(kOfxParamPropDefault, int(v.v[0]));
      break;
    case ParamKind::Boolean:
      props.SetInt(kOfxParamPropDefault, v.v[0] != 0.0 ? 1 : 0);
      break;
    case ParamKind::Integer:
      props.SetInt(kOfxParamPropDefault, int(std::lround(v.v[0])));
      SetBounds(props, p, BoundsOf(d));
      break;
    case ParamKind::Double:
      props.SetDouble(kOfxParamPropDefault, v.v[0]);
      props.SetString(kOfxParamPropDoubleType, kOfxParamDoubleTypePlain, Need::Optional);
      props.SetInt(kOfxParamPropDigits, 4, Need::Optional);
      SetBounds(props, p, BoundsOf(d));
      break;
    case ParamKind::Rgb:
    case ParamKind::Rgba:
      props.SetDoubles(kOfxParamPropDefault, std::vector<double>(v.v, v.v + p.members.size()));
      SetBounds(props, p, BoundsOf(d));
      break;
    case ParamKind::Point:
      props.SetDoubles(kOfxParamPropDefault, {v.v[0], v.v[1]});
      props.SetString(kOfxParamPropDoubleType, kOfxParamDoubleTypePlain, Need::Optional);
      props.SetInt(kOfxParamPropDigits, 4, Need::Optional);
      break;
  }
}

void DefineClip(OfxImageEffectHandle descriptor, const std::string& name, const std::string& label,
                bool optional) {
  OfxPropertySetHandle h = nullptr;
  if (Host().effect->clipDefine(descriptor, name.c_str(), &h) != kOfxStatOK || !h)
    throw OfxError(kOfxStatFailed, "the host refused the clip " + name);
  Props c(h);
  c.SetString(kOfxPropLabel, label, Need::Optional);
  c.SetStrings(kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA});
  c.SetInt(kOfxImageEffectPropSupportsTiles, 0, Need::Optional);
  c.SetInt(kOfxImageEffectPropTemporalClipAccess, 0, Need::Optional);
  if (name != kOfxImageEffectOutputClipName) {
    c.SetInt(kOfxImageClipPropOptional, optional ? 1 : 0, optional ? Need::Required : Need::Optional);
    // Whole interlaced frames, as the command reads them (LineDrop separates fields itself).
    c.SetString(kOfxImageClipPropFieldExtraction, kOfxImageFieldBoth, Need::Optional);
  }
}

}  // namespace

void SetBounds(Props& props, const ParamPlan& p, const Bounds& b) {
  const std::pair<const char*, const std::optional<double>*> all[] = {
      {kOfxParamPropMin, &b.min},
      {kOfxParamPropMax, &b.max},
      {kOfxParamPropDisplayMin, &b.displayMin},
      {kOfxParamPropDisplayMax, &b.displayMax}};
  for (auto [name, value] : all) {
    if (!*value) continue;
    if (p.kind == ParamKind::Integer) {
      const int whole = int(std::lround(std::clamp(**value, double(INT_MIN), double(INT_MAX))));
      if (props.IntOr(name, ~whole) != whole) props.SetInt(name, whole, Need::Optional);
    } else {
      double now = 0.0;
      if (Host().property->propGetDouble(props.Handle(), name, 0, &now) != kOfxStatOK || now != **value)
        props.SetDoubles(name, std::vector<double>(p.members.size(), **value), Need::Optional);
    }
  }
}

void Describe(const Tool& tool, OfxImageEffectHandle descriptor) {
  Props p = EffectProps(descriptor);
  const host::ClassInfo& cls = *tool.cls;
  const ToolVersion version = VersionOf(cls);
  p.SetString(kOfxPropLabel, tool.name);
  p.SetString(kOfxPropLongLabel, tool.name, Need::Optional);
  p.SetString(kOfxImageEffectPluginPropGrouping, cls.brand.empty() ? "Orvanta" : cls.brand, Need::Optional);
  p.SetString(kOfxPropPluginDescription, cls.helpText, Need::Optional);
  p.SetInts(kOfxPropVersion, {int(version.major), int(version.minor)}, Need::Optional);
  p.SetString(kOfxPropVersionLabel, version.label, Need::Optional);
  p.SetStrings(kOfxPropIcon, {"", tool.identifier + ".png"}, Need::Optional);
  std::vector<std::string> contexts;
  if (tool.plan.filterContext) contexts.push_back(kOfxImageEffectContextFilter);
  if (tool.plan.generalContext) contexts.push_back(kOfxImageEffectContextGeneral);
  p.SetStrings(kOfxImageEffectPropSupportedContexts, contexts);
  p.SetStrings(kOfxImageEffectPropSupportedPixelDepths,
               {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
  // Whole images in and out, of any size and place; one render per instance at a time, whose
  // threads the bundle runs itself.
  p.SetInt(kOfxImageEffectPropSupportsTiles, 0);
  p.SetInt(kOfxImageEffectPropSupportsMultiResolution, 1, Need::Optional);
  p.SetInt(kOfxImageEffectPropTemporalClipAccess, 0, Need::Optional);
  p.SetString(kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderInstanceSafe);
  p.SetInt(kOfxImageEffectPluginPropHostFrameThreading, 0);
  p.SetInt(kOfxImageEffectPropSupportsMultipleClipDepths, 0, Need::Optional);
  p.SetInt(kOfxImageEffectPropSupportsMultipleClipPARs, 0, Need::Optional);
  p.SetInt(kOfxImageEffectPluginPropFieldRenderTwiceAlways, 0, Need::Optional);
  p.SetInt(kOfxImageEffectPluginPropSingleInstance, 0, Need::Optional);
}

void DescribeInContext(const Tool& tool, OfxImageEffectHandle descriptor, const std::string& context) {
  const ToolPlan& plan = tool.plan;
  const bool filter = context == kOfxImageEffectContextFilter;
  if (!(filter && plan.filterContext) && !(context == kOfxImageEffectContextGeneral && plan.generalContext))
    throw OfxError(kOfxStatErrUnsupported, tool.name + " does not work in the context " + context);
  for (const ClipPlan& c : plan.clips) DefineClip(descriptor, c.name, c.label, c.optional);
  DefineClip(descriptor, kOfxImageEffectOutputClipName, "Output", false);

  OfxParamSetHandle set = nullptr;
  if (Host().effect->getParamSet(descriptor, &set) != kOfxStatOK || !set)
    throw OfxError(kOfxStatFailed, "the host gave no parameter set to describe " + tool.name + " in");
  const host::Node node(*tool.cls);
  for (const GroupPlan& g : plan.groups)
    Define(set, kOfxParamTypeGroup, g.name).SetString(kOfxPropLabel, g.label);
  for (const ParamPlan& p : plan.params) DefineParam(set, p, node);
  const int maxPages = Props(Host().host->host).IntOr(kOfxParamHostPropMaxPages, -1);
  if (maxPages == 0) return;  // a host without pages lays the parameters out in order
  std::vector<std::string> order;
  for (const PagePlan& page : plan.pages) {
    Props props = Define(set, kOfxParamTypePage, page.name);
    props.SetString(kOfxPropLabel, page.label);
    props.SetStrings(kOfxParamPropPageChild, page.children);
    order.push_back(page.name);
  }
  EffectProps(descriptor).SetStrings(kOfxPluginPropParamPageOrder, order, Need::Optional);
}

}  // namespace orvanta::ofx
