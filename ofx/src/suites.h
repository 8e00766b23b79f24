// The host's suites as the bundle uses them: fetched once at load, property sets behind a small
// typed wrapper that turns a failed call into an exception, and messages to the user.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "orvanta/ofx/ofx_api.h"

namespace orvanta::ofx {

// A failed call of the host or a fault of the request: the status to answer the action with and
// one sentence for the user.
class OfxError : public std::runtime_error {
 public:
  OfxError(OfxStatus status, const std::string& what) : std::runtime_error(what), status_(status) {}
  OfxStatus Status() const { return status_; }

 private:
  OfxStatus status_;
};

struct Suites {
  OfxHost* host = nullptr;
  const OfxPropertySuiteV1* property = nullptr;
  const OfxImageEffectSuiteV1* effect = nullptr;
  const OfxParameterSuiteV1* parameter = nullptr;
  const OfxMessageSuiteV1* message = nullptr;      // optional: messages go to stderr without it
  const OfxMultiThreadSuiteV1* threads = nullptr;  // optional: the runtime's workers without it
};

// The suites of the host that loaded the bundle. Valid from the first load action to the last
// unload; read by any thread, written only by those two actions.
const Suites& Host();
// Fetches the suites from host; throws OfxError (kOfxStatErrMissingHostFeature) naming a
// required suite the host does not offer. Counts the loads, so that ReleaseSuites forgets them
// only at the last unload.
void FetchSuites(OfxHost* host);
void ReleaseSuites();

// Posts an error message on handle (an effect descriptor or instance, or null); to stderr when
// the host has no message suite. Never throws.
void PostError(const void* handle, const std::string& text) noexcept;

// Whether a call must succeed (else it throws) or may fail because the host lacks the property.
enum class Need { Required, Optional };

// A property set of the host. Getters and required setters throw OfxError naming the property;
// optional setters return false instead.
class Props {
 public:
  explicit Props(OfxPropertySetHandle handle) : handle_(handle) {}
  OfxPropertySetHandle Handle() const { return handle_; }

  int Int(const char* name, int index = 0) const;
  double Double(const char* name, int index = 0) const;
  std::string String(const char* name, int index = 0) const;
  void* Pointer(const char* name, int index = 0) const;
  // The value, or fallback when the host has no such property.
  int IntOr(const char* name, int fallback) const;
  std::string StringOr(const char* name, const std::string& fallback) const;
  int Dimension(const char* name) const;
  std::vector<std::string> Strings(const char* name) const;  // every value

  bool SetInt(const char* name, int value, Need need = Need::Required, int index = 0);
  bool SetDouble(const char* name, double value, Need need = Need::Required, int index = 0);
  bool SetString(const char* name, const std::string& value, Need need = Need::Required, int index = 0);
  bool SetPointer(const char* name, void* value, Need need = Need::Required);
  bool SetInts(const char* name, const std::vector<int>& values, Need need = Need::Required);
  bool SetDoubles(const char* name, const std::vector<double>& values, Need need = Need::Required);
  bool SetStrings(const char* name, const std::vector<std::string>& values, Need need = Need::Required);

 private:
  bool Check(OfxStatus status, const char* what, const char* name, Need need) const;
  OfxPropertySetHandle handle_;
};

// The property sets of an effect handle and of a clip; throw OfxError on failure.
Props EffectProps(OfxImageEffectHandle effect);
Props ClipProps(OfxImageClipHandle clip);

}  // namespace orvanta::ofx
