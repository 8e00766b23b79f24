// The C boundary: the two exported functions, one entry point and set-host function per tool, and
// the dispatch of actions. No exception leaves this file: every failure becomes a status, and a
// message through the host's message suite.
#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "bundle.h"
#include "describe.h"
#include "instance.h"
#include "suites.h"

namespace orvanta::ofx {
namespace {

std::array<std::atomic<OfxHost*>, kMaxTools> g_hosts{};

Instance& InstanceOf(const Tool& tool, OfxImageEffectHandle effect) {
  auto* instance = static_cast<Instance*>(EffectProps(effect).Pointer(kOfxPropInstanceData));
  if (!instance || &instance->Of() != &tool)
    throw OfxError(kOfxStatErrBadHandle, "the action names no instance of " + tool.name);
  return *instance;
}

OfxPointD ScaleOf(Props in) {
  double s[2] = {1.0, 1.0};
  for (int i = 0; i < 2; ++i)
    if (Host().property->propGetDouble(in.Handle(), kOfxImageEffectPropRenderScale, i, &s[i]) != kOfxStatOK)
      s[i] = 1.0;
  return OfxPointD{s[0], s[1]};
}

OfxStatus InstanceChanged(const Tool& tool, OfxImageEffectHandle effect, Props in) {
  // Values the bundle set itself have been handled; a change of time notifies no tool.
  if (in.String(kOfxPropType) != kOfxTypeParameter || in.String(kOfxPropChangeReason) != kOfxChangeUserEdited)
    return kOfxStatReplyDefault;
  InstanceOf(tool, effect).ParamChanged(in.String(kOfxPropName), in.Double(kOfxPropTime));
  return kOfxStatOK;
}

OfxStatus RegionOfDefinition(const Tool& tool, OfxImageEffectHandle effect, Props in, Props out) {
  OfxRectD rod{};
  if (!InstanceOf(tool, effect).RegionOfDefinition(in.Double(kOfxPropTime), ScaleOf(in), rod))
    return kOfxStatReplyDefault;
  out.SetDoubles(kOfxImageEffectPropRegionOfDefinition, {rod.x1, rod.y1, rod.x2, rod.y2});
  return kOfxStatOK;
}

OfxStatus CreateInstance(const Tool& tool, OfxImageEffectHandle effect) {
  auto instance = std::make_unique<Instance>(tool, effect);
  instance->Start();
  EffectProps(effect).SetPointer(kOfxPropInstanceData, instance.get());
  (void)instance.release();  // the effect's instance data owns it now
  return kOfxStatOK;
}

OfxStatus DestroyInstance(const Tool& tool, OfxImageEffectHandle effect) {
  delete &InstanceOf(tool, effect);
  EffectProps(effect).SetPointer(kOfxPropInstanceData, nullptr, Need::Optional);
  return kOfxStatOK;
}

OfxStatus Act(size_t index, const Tool& tool, std::string_view action, const void* handle,
              OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  if (action == kOfxActionLoad) {
    FetchSuites(g_hosts[index].load());
    return kOfxStatOK;
  }
  if (action == kOfxActionUnload) {
    ReleaseSuites();
    return kOfxStatOK;
  }
  if (!Host().property) throw OfxError(kOfxStatErrFatal, "the host called an action before loading the tool");
  const Props in(inArgs), out(outArgs);
  if (action == kOfxActionDescribe) {
    Describe(tool, effect);
    return kOfxStatOK;
  }
  if (action == kOfxImageEffectActionDescribeInContext) {
    DescribeInContext(tool, effect, in.String(kOfxImageEffectPropContext));
    return kOfxStatOK;
  }
  if (action == kOfxActionCreateInstance) return CreateInstance(tool, effect);
  if (action == kOfxActionDestroyInstance) return DestroyInstance(tool, effect);
  if (action == kOfxActionInstanceChanged) return InstanceChanged(tool, effect, in);
  if (action == kOfxImageEffectActionGetRegionOfDefinition) return RegionOfDefinition(tool, effect, in, out);
  if (action == kOfxImageEffectActionGetRegionsOfInterest) {
    InstanceOf(tool, effect).RegionsOfInterest(in.Double(kOfxPropTime), out);
    return kOfxStatOK;
  }
  if (action == kOfxImageEffectActionGetClipPreferences) {
    InstanceOf(tool, effect).ClipPreferences(out);
    return kOfxStatOK;
  }
  if (action == kOfxImageEffectActionRender) {
    InstanceOf(tool, effect).Render(in.Double(kOfxPropTime));
    return kOfxStatOK;
  }
  if (action == kOfxImageEffectActionBeginSequenceRender || action == kOfxImageEffectActionEndSequenceRender)
    return kOfxStatOK;
  if (action == kOfxActionPurgeCaches) {
    InstanceOf(tool, effect).Purge();
    return kOfxStatOK;
  }
  // Identity, time domain, frames needed, edits and anything newer: not trapped.
  return kOfxStatReplyDefault;
}

// Messages name the tool once.
std::string Said(const Tool* tool, const std::string& text) {
  if (!tool || text.rfind(tool->name + ":", 0) == 0) return text;
  return tool->name + ": " + text;
}

OfxStatus Dispatch(size_t index, const char* action, const void* handle, OfxPropertySetHandle inArgs,
                   OfxPropertySetHandle outArgs) noexcept {
  const Tool* tool = nullptr;
  try {
    const auto& tools = Tools();
    if (!action || index >= tools.size()) return kOfxStatErrUnknown;
    tool = tools[index].get();
    return Act(index, *tool, action, handle, inArgs, outArgs);
  } catch (const OfxError& e) {
    PostError(handle, Said(tool, e.what()));
    return e.Status();
  } catch (const std::bad_alloc&) {
    PostError(handle, Said(tool, "out of memory"));
    return kOfxStatErrMemory;
  } catch (const std::exception& e) {
    PostError(handle, Said(tool, e.what()));
    return kOfxStatFailed;
  } catch (...) {
    PostError(handle, Said(tool, "the action failed"));
    return kOfxStatFailed;
  }
}

template <size_t I>
OfxStatus MainEntry(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                    OfxPropertySetHandle outArgs) noexcept {
  return Dispatch(I, action, handle, inArgs, outArgs);
}

template <size_t I>
void SetHost(OfxHost* host) noexcept {
  g_hosts[I].store(host);
}

template <size_t... I>
constexpr std::array<OfxPluginEntryPoint*, sizeof...(I)> MainEntries(std::index_sequence<I...>) {
  return {&MainEntry<I>...};
}

template <size_t... I>
constexpr std::array<void (*)(OfxHost*), sizeof...(I)> SetHosts(std::index_sequence<I...>) {
  return {&SetHost<I>...};
}

constexpr auto kMainEntries = MainEntries(std::make_index_sequence<kMaxTools>());
constexpr auto kSetHosts = SetHosts(std::make_index_sequence<kMaxTools>());

}  // namespace

OfxPluginEntryPoint* MainEntryOf(size_t i) { return kMainEntries.at(i); }
void (*SetHostOf(size_t i))(OfxHost*) { return kSetHosts.at(i); }

}  // namespace orvanta::ofx

extern "C" __attribute__((visibility("default"))) int OfxGetNumberOfPlugins(void) {
  try {
    return int(orvanta::ofx::Tools().size());
  } catch (...) {
    return 0;
  }
}

extern "C" __attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int nth) {
  try {
    const auto& tools = orvanta::ofx::Tools();
    if (nth < 0 || size_t(nth) >= tools.size()) return nullptr;
    return &tools[size_t(nth)]->plugin;
  } catch (...) {
    return nullptr;
  }
}
