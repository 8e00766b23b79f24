#include "suites.h"

#include <cstdio>
#include <mutex>

namespace orvanta::ofx {
namespace {

std::mutex g_loadMutex;
Suites g_suites;
int g_loads = 0;

template <class Suite>
const Suite* Fetch(OfxHost* host, const char* name, int version) {
  return static_cast<const Suite*>(host->fetchSuite(host->host, name, version));
}

std::string StatusText(OfxStatus s) {
  switch (s) {
    case kOfxStatErrUnknown:
      return "the host does not know it";
    case kOfxStatErrBadHandle:
      return "the handle is not valid";
    case kOfxStatErrBadIndex:
      return "the index is out of range";
    case kOfxStatErrValue:
      return "the value is of the wrong kind";
    default:
      return "status " + std::to_string(s);
  }
}

}  // namespace

const Suites& Host() { return g_suites; }

void FetchSuites(OfxHost* host) {
  std::lock_guard<std::mutex> lock(g_loadMutex);
  if (g_loads > 0) {
    ++g_loads;
    return;
  }
  if (!host || !host->fetchSuite)
    throw OfxError(kOfxStatErrMissingHostFeature, "the host gave no suite fetcher");
  Suites s;
  s.host = host;
  s.property = Fetch<OfxPropertySuiteV1>(host, kOfxPropertySuite, 1);
  s.effect = Fetch<OfxImageEffectSuiteV1>(host, kOfxImageEffectSuite, 1);
  s.parameter = Fetch<OfxParameterSuiteV1>(host, kOfxParameterSuite, 1);
  s.message = Fetch<OfxMessageSuiteV1>(host, kOfxMessageSuite, 1);
  s.threads = Fetch<OfxMultiThreadSuiteV1>(host, kOfxMultiThreadSuite, 1);
  const char* missing = !s.property    ? kOfxPropertySuite
                        : !s.effect    ? kOfxImageEffectSuite
                        : !s.parameter ? kOfxParameterSuite
                                       : nullptr;
  if (missing) {
    g_suites.message = s.message;  // to say so
    throw OfxError(kOfxStatErrMissingHostFeature,
                   std::string("the host offers no ") + missing + " version 1, which the Orvanta tools need");
  }
  g_suites = s;
  g_loads = 1;
}

void ReleaseSuites() {
  std::lock_guard<std::mutex> lock(g_loadMutex);
  if (g_loads > 0 && --g_loads == 0) g_suites = Suites{};
}

void PostError(const void* handle, const std::string& text) noexcept {
  const OfxMessageSuiteV1* m = g_suites.message;
  if (m && m->message &&
      m->message(const_cast<void*>(handle), kOfxMessageError, "", "%s", text.c_str()) == kOfxStatOK)
    return;
  std::fprintf(stderr, "Orvanta: %s\n", text.c_str());
}

// ---- Props ----------------------------------------------------------------------------------

bool Props::Check(OfxStatus status, const char* what, const char* name, Need need) const {
  if (status == kOfxStatOK) return true;
  if (need == Need::Optional) return false;
  throw OfxError(
      status == kOfxStatErrMemory ? kOfxStatErrMemory : kOfxStatFailed,
      std::string("the host refused to ") + what + " the property " + name + ": " + StatusText(status));
}

int Props::Int(const char* name, int index) const {
  int v = 0;
  Check(Host().property->propGetInt(handle_, name, index, &v), "read", name, Need::Required);
  return v;
}

double Props::Double(const char* name, int index) const {
  double v = 0.0;
  Check(Host().property->propGetDouble(handle_, name, index, &v), "read", name, Need::Required);
  return v;
}

std::string Props::String(const char* name, int index) const {
  char* v = nullptr;
  Check(Host().property->propGetString(handle_, name, index, &v), "read", name, Need::Required);
  return v ? v : "";
}

void* Props::Pointer(const char* name, int index) const {
  void* v = nullptr;
  Check(Host().property->propGetPointer(handle_, name, index, &v), "read", name, Need::Required);
  return v;
}

int Props::IntOr(const char* name, int fallback) const {
  int v = 0;
  return Host().property->propGetInt(handle_, name, 0, &v) == kOfxStatOK ? v : fallback;
}

std::string Props::StringOr(const char* name, const std::string& fallback) const {
  char* v = nullptr;
  return Host().property->propGetString(handle_, name, 0, &v) == kOfxStatOK && v ? std::string(v) : fallback;
}

int Props::Dimension(const char* name) const {
  int n = 0;
  Check(Host().property->propGetDimension(handle_, name, &n), "read", name, Need::Required);
  return n;
}

std::vector<std::string> Props::Strings(const char* name) const {
  std::vector<std::string> out;
  const int n = Dimension(name);
  for (int i = 0; i < n; ++i) out.push_back(String(name, i));
  return out;
}

bool Props::SetInt(const char* name, int value, Need need, int index) {
  return Check(Host().property->propSetInt(handle_, name, index, value), "set", name, need);
}

bool Props::SetDouble(const char* name, double value, Need need, int index) {
  return Check(Host().property->propSetDouble(handle_, name, index, value), "set", name, need);
}

bool Props::SetString(const char* name, const std::string& value, Need need, int index) {
  return Check(Host().property->propSetString(handle_, name, index, value.c_str()), "set", name, need);
}

bool Props::SetPointer(const char* name, void* value, Need need) {
  return Check(Host().property->propSetPointer(handle_, name, 0, value), "set", name, need);
}

bool Props::SetInts(const char* name, const std::vector<int>& values, Need need) {
  return Check(Host().property->propSetIntN(handle_, name, int(values.size()), values.data()), "set", name,
               need);
}

bool Props::SetDoubles(const char* name, const std::vector<double>& values, Need need) {
  return Check(Host().property->propSetDoubleN(handle_, name, int(values.size()), values.data()), "set", name,
               need);
}

bool Props::SetStrings(const char* name, const std::vector<std::string>& values, Need need) {
  std::vector<const char*> texts;
  for (const std::string& v : values) texts.push_back(v.c_str());
  return Check(Host().property->propSetStringN(handle_, name, int(texts.size()), texts.data()), "set", name,
               need);
}

Props EffectProps(OfxImageEffectHandle effect) {
  OfxPropertySetHandle h = nullptr;
  const OfxStatus s = Host().effect->getPropertySet(effect, &h);
  if (s != kOfxStatOK || !h)
    throw OfxError(kOfxStatErrBadHandle, "the host gave no properties for the effect");
  return Props(h);
}

Props ClipProps(OfxImageClipHandle clip) {
  OfxPropertySetHandle h = nullptr;
  const OfxStatus s = Host().effect->clipGetPropertySet(clip, &h);
  if (s != kOfxStatOK || !h) throw OfxError(kOfxStatErrBadHandle, "the host gave no properties for a clip");
  return Props(h);
}

}  // namespace orvanta::ofx
