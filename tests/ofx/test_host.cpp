#include "test_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <optional>
#include <thread>

namespace orvanta::ofxtest {
namespace {

using Type = PropertySet::Type;

Host* g_host = nullptr;  // the host the suites serve: one at a time

// What an effect handle (a property set) stands for.
struct Effect {
  ParamSet* params = nullptr;
  std::vector<std::unique_ptr<Clip>>* clips = nullptr;
  Instance* instance = nullptr;
};
std::mutex g_effectsMutex;
std::map<PropertySet*, Effect> g_effects;

Effect* EffectOf(OfxImageEffectHandle h) {
  std::lock_guard<std::mutex> lock(g_effectsMutex);
  auto it = g_effects.find(reinterpret_cast<PropertySet*>(h));
  return it == g_effects.end() ? nullptr : &it->second;
}

void Register(PropertySet* p, Effect e) {
  std::lock_guard<std::mutex> lock(g_effectsMutex);
  g_effects[p] = e;
}

void Forget(PropertySet* p) {
  std::lock_guard<std::mutex> lock(g_effectsMutex);
  g_effects.erase(p);
}

}  // namespace

// ---- PropertySet ------------------------------------------------------------------------------

size_t PropertySet::Value::Size() const {
  switch (type) {
    case Type::Int:
      return ints.size();
    case Type::Double:
      return doubles.size();
    case Type::String:
      return strings.size();
    default:
      return pointers.size();
  }
}

void PropertySet::Value::Resize(size_t n) {
  ints.resize(type == Type::Int ? n : 0);
  doubles.resize(type == Type::Double ? n : 0);
  strings.resize(type == Type::String ? n : 0);
  pointers.resize(type == Type::Pointer ? n : 0);
}

void PropertySet::Declare(const std::string& name, Type type, size_t dimension) {
  std::lock_guard<std::mutex> lock(mutex_);
  Value v;
  v.type = type;
  v.Resize(dimension);
  values_[name] = v;
}

void PropertySet::Ints(const std::string& name, std::vector<int> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  Value& v = values_[name];
  v.type = Type::Int;
  v.ints = std::move(values);
}

void PropertySet::Doubles(const std::string& name, std::vector<double> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  Value& v = values_[name];
  v.type = Type::Double;
  v.doubles = std::move(values);
}

void PropertySet::Strings(const std::string& name, std::vector<std::string> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  Value& v = values_[name];
  v.type = Type::String;
  v.strings = std::move(values);
}

void PropertySet::Pointer(const std::string& name, void* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  Value& v = values_[name];
  v.type = Type::Pointer;
  v.pointers = {value};
}

bool PropertySet::Has(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.count(name) != 0;
}

int PropertySet::Int(const std::string& name, size_t index) const {
  int v = 0;
  EXPECT_EQ(const_cast<PropertySet*>(this)->Get(name.c_str(), int(index), Type::Int, &v), kOfxStatOK) << name;
  return v;
}

double PropertySet::Double(const std::string& name, size_t index) const {
  double v = 0;
  EXPECT_EQ(const_cast<PropertySet*>(this)->Get(name.c_str(), int(index), Type::Double, &v), kOfxStatOK)
      << name;
  return v;
}

std::string PropertySet::String(const std::string& name, size_t index) const {
  char* v = nullptr;
  EXPECT_EQ(const_cast<PropertySet*>(this)->Get(name.c_str(), int(index), Type::String, &v), kOfxStatOK)
      << name;
  return v ? v : "";
}

std::vector<std::string> PropertySet::AllStrings(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>{} : it->second.strings;
}

std::vector<double> PropertySet::AllDoubles(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<double>{} : it->second.doubles;
}

std::vector<int> PropertySet::AllInts(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<int>{} : it->second.ints;
}

void* PropertySet::GetPointer(const std::string& name) const {
  void* v = nullptr;
  EXPECT_EQ(const_cast<PropertySet*>(this)->Get(name.c_str(), 0, Type::Pointer, &v), kOfxStatOK) << name;
  return v;
}

PropertySet* PropertySet::From(OfxPropertySetHandle h) {
  auto* p = reinterpret_cast<PropertySet*>(h);
  return p && p->magic_ == kMagic ? p : nullptr;
}

// Properties declared with dimension 0 take any number of values; the others keep theirs.
OfxStatus PropertySet::Set(const char* name, int index, Type type, const void* value) {
  if (!name || index < 0) return !name ? kOfxStatErrUnknown : kOfxStatErrBadIndex;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name);
  if (it == values_.end()) return kOfxStatErrUnknown;
  Value& v = it->second;
  if (v.type != type) return kOfxStatErrValue;
  if (size_t(index) >= v.Size()) v.Resize(size_t(index) + 1);
  switch (type) {
    case Type::Int:
      v.ints[size_t(index)] = *static_cast<const int*>(value);
      break;
    case Type::Double:
      v.doubles[size_t(index)] = *static_cast<const double*>(value);
      break;
    case Type::String:
      v.strings[size_t(index)] = *static_cast<const char* const*>(value);
      break;
    case Type::Pointer:
      v.pointers[size_t(index)] = *static_cast<void* const*>(value);
      break;
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::SetN(const char* name, int count, Type type, const void* values) {
  if (!name || count < 0) return kOfxStatErrBadIndex;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(name);
    if (it == values_.end()) return kOfxStatErrUnknown;
    if (it->second.type != type) return kOfxStatErrValue;
    it->second.Resize(size_t(count));
  }
  for (int i = 0; i < count; ++i) {
    OfxStatus s = kOfxStatOK;
    if (type == Type::Int) s = Set(name, i, type, static_cast<const int*>(values) + i);
    if (type == Type::Double) s = Set(name, i, type, static_cast<const double*>(values) + i);
    if (type == Type::String) s = Set(name, i, type, static_cast<const char* const*>(values) + i);
    if (type == Type::Pointer) s = Set(name, i, type, static_cast<void* const*>(values) + i);
    if (s != kOfxStatOK) return s;
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::Get(const char* name, int index, Type type, void* value) {
  if (!name || !value) return kOfxStatErrUnknown;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name);
  if (it == values_.end()) return kOfxStatErrUnknown;
  Value& v = it->second;
  if (v.type != type) return kOfxStatErrValue;
  if (index < 0 || size_t(index) >= v.Size()) return kOfxStatErrBadIndex;
  switch (type) {
    case Type::Int:
      *static_cast<int*>(value) = v.ints[size_t(index)];
      break;
    case Type::Double:
      *static_cast<double*>(value) = v.doubles[size_t(index)];
      break;
    case Type::String:
      *static_cast<char**>(value) = v.strings[size_t(index)].data();
      break;
    case Type::Pointer:
      *static_cast<void**>(value) = v.pointers[size_t(index)];
      break;
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::Dimension(const char* name, int* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name ? name : "");
  if (it == values_.end()) return kOfxStatErrUnknown;
  *count = int(it->second.Size());
  return kOfxStatOK;
}

OfxStatus PropertySet::Reset(const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name ? name : "");
  if (it == values_.end()) return kOfxStatErrUnknown;
  const size_t n = it->second.Size();
  it->second.Resize(0);
  it->second.Resize(n);
  return kOfxStatOK;
}

// ---- declarations -----------------------------------------------------------------------------

void DeclareEffectDescriptor(PropertySet& p) {
  p.Strings(kOfxPropType, {kOfxTypeImageEffect});
  for (const char* s :
       {kOfxPropLabel, kOfxPropShortLabel, kOfxPropLongLabel, kOfxPropPluginDescription, kOfxPropVersionLabel,
        kOfxImageEffectPluginPropGrouping, kOfxImageEffectPluginRenderThreadSafety, kOfxPluginPropFilePath})
    p.Declare(s, Type::String);
  p.Strings(kOfxImageEffectPluginRenderThreadSafety, {kOfxImageEffectRenderInstanceSafe});
  for (const char* s :
       {kOfxPropVersion, kOfxImageEffectPropSupportedContexts, kOfxImageEffectPropSupportedPixelDepths,
        kOfxPluginPropParamPageOrder, kOfxImageEffectPropClipPreferencesSlaveParam})
    p.Declare(s, s == std::string(kOfxPropVersion) ? Type::Int : Type::String, 0);
  p.Declare(kOfxPropIcon, Type::String, 2);
  p.Ints(kOfxImageEffectPropSupportsTiles, {1});
  p.Ints(kOfxImageEffectPropSupportsMultiResolution, {1});
  p.Ints(kOfxImageEffectPluginPropHostFrameThreading, {1});
  p.Ints(kOfxImageEffectPluginPropFieldRenderTwiceAlways, {1});
  for (const char* s :
       {kOfxImageEffectPluginPropSingleInstance, kOfxImageEffectPropTemporalClipAccess,
        kOfxImageEffectPropSupportsMultipleClipDepths, kOfxImageEffectPropSupportsMultipleClipPARs})
    p.Ints(s, {0});
}

void DeclareClipDescriptor(PropertySet& p, const std::string& name) {
  p.Strings(kOfxPropType, {kOfxTypeClip});
  p.Strings(kOfxPropName, {name});
  p.Strings(kOfxPropLabel, {name});
  p.Strings(kOfxPropShortLabel, {name});
  p.Strings(kOfxPropLongLabel, {name});
  p.Declare(kOfxImageEffectPropSupportedComponents, Type::String, 0);
  p.Ints(kOfxImageEffectPropTemporalClipAccess, {0});
  p.Ints(kOfxImageClipPropOptional, {0});
  p.Ints(kOfxImageClipPropIsMask, {0});
  p.Ints(kOfxImageEffectPropSupportsTiles, {1});
  p.Strings(kOfxImageClipPropFieldExtraction, {kOfxImageFieldDoubled});
}

void DeclareParam(PropertySet& p, const std::string& type, const std::string& name) {
  p.Strings(kOfxPropType, {kOfxTypeParameter});
  p.Strings(kOfxParamPropType, {type});
  for (const char* s :
       {kOfxPropName, kOfxPropLabel, kOfxPropShortLabel, kOfxPropLongLabel, kOfxParamPropScriptName})
    p.Strings(s, {name});
  p.Strings(kOfxParamPropHint, {""});
  p.Strings(kOfxParamPropParent, {""});
  p.Ints(kOfxParamPropSecret, {0});
  p.Ints(kOfxParamPropEnabled, {1});
  p.Declare(kOfxPropIcon, Type::String, 2);
  if (type == kOfxParamTypePage) return p.Declare(kOfxParamPropPageChild, Type::String, 0);
  if (type == kOfxParamTypeGroup) return p.Ints(kOfxParamPropGroupOpen, {1});
  for (const char* s : {kOfxParamPropAnimates, kOfxParamPropPersistant, kOfxParamPropEvaluateOnChange})
    p.Ints(s, {1});
  p.Ints(kOfxParamPropIsAnimating, {0});
  const bool whole =
      type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice;
  const size_t n = type == kOfxParamTypeRGBA       ? 4
                   : type == kOfxParamTypeRGB      ? 3
                   : type == kOfxParamTypeDouble2D ? 2
                                                   : 1;
  if (whole) {
    p.Ints(kOfxParamPropDefault, {0});
  } else {
    p.Doubles(kOfxParamPropDefault, std::vector<double>(n, 0.0));
  }
  if (type == kOfxParamTypeChoice) return p.Declare(kOfxParamPropChoiceOption, Type::String, 0);
  if (type == kOfxParamTypeBoolean) return;
  if (type == kOfxParamTypeInteger) {
    for (const char* s : {kOfxParamPropMin, kOfxParamPropDisplayMin}) p.Ints(s, {INT_MIN});
    for (const char* s : {kOfxParamPropMax, kOfxParamPropDisplayMax}) p.Ints(s, {INT_MAX});
    return;
  }
  for (const char* s : {kOfxParamPropMin, kOfxParamPropDisplayMin})
    p.Doubles(s, std::vector<double>(n, -DBL_MAX));
  for (const char* s : {kOfxParamPropMax, kOfxParamPropDisplayMax})
    p.Doubles(s, std::vector<double>(n, DBL_MAX));
  p.Doubles(kOfxParamPropIncrement, {1.0});
  p.Ints(kOfxParamPropDigits, {2});
  if (type == kOfxParamTypeDouble || type == kOfxParamTypeDouble2D)
    p.Strings(kOfxParamPropDoubleType, {kOfxParamDoubleTypePlain});
  if (n == 2) p.Strings(kOfxParamPropDimensionLabel, {"x", "y"});
}

namespace {

void DeclareClipInstance(PropertySet& p) {
  p.Strings(kOfxImageEffectPropPixelDepth, {kOfxBitDepthNone});
  p.Strings(kOfxImageEffectPropComponents, {kOfxImageComponentNone});
  p.Strings(kOfxImageClipPropUnmappedPixelDepth, {kOfxBitDepthNone});
  p.Strings(kOfxImageClipPropUnmappedComponents, {kOfxImageComponentNone});
  p.Strings(kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  p.Doubles(kOfxImagePropPixelAspectRatio, {1.0});
  p.Doubles(kOfxImageEffectPropFrameRate, {25.0});
  p.Doubles(kOfxImageEffectPropFrameRange, {0.0, 100.0});
  p.Strings(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
  p.Ints(kOfxImageClipPropConnected, {0});
  p.Ints(kOfxImageClipPropContinuousSamples, {0});
}

}  // namespace

// ---- parameters -------------------------------------------------------------------------------

size_t Param::Dimensions() const {
  if (type == kOfxParamTypeRGBA) return 4;
  if (type == kOfxParamTypeRGB) return 3;
  if (type == kOfxParamTypeDouble2D) return 2;
  if (type == kOfxParamTypeGroup || type == kOfxParamTypePage) return 0;
  return 1;
}

bool Param::Whole() const {
  return type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice;
}

std::vector<double> Param::At(double time) const {
  if (keys.empty()) return value;
  if (time <= keys.begin()->first) return keys.begin()->second;
  if (time >= keys.rbegin()->first) return keys.rbegin()->second;
  auto hi = keys.upper_bound(time), lo = std::prev(hi);
  std::vector<double> v(lo->second.size());
  const double f = (time - lo->first) / (hi->first - lo->first);
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] = lo->second[i] + (hi->second[i] - lo->second[i]) * f;
    if (Whole()) v[i] = std::floor(v[i]);  // whole values step
  }
  return v;
}

Param* ParamSet::Find(const std::string& name) const {
  for (auto& p : list)
    if (p->name == name) return p.get();
  return nullptr;
}

// ---- images -----------------------------------------------------------------------------------

size_t SampleBytes(Depth d) { return d == Depth::Byte ? 1 : d == Depth::Short ? 2 : 4; }

const char* DepthName(Depth d) {
  return d == Depth::Byte ? kOfxBitDepthByte : d == Depth::Short ? kOfxBitDepthShort : kOfxBitDepthFloat;
}

Buffer::Buffer(const OfxRectI& bounds, Depth depth, Layout layout) : bounds_(bounds), depth_(depth) {
  const size_t w = size_t(std::max(0, bounds.x2 - bounds.x1)), h = size_t(std::max(0, bounds.y2 - bounds.y1));
  shift_ = layout == Layout::OddAddress ? 1 : 0;
  padding_ = layout == Layout::Packed ? 0 : kPadding + shift_;
  const size_t row = w * 4 * SampleBytes(depth) + padding_;
  memory_.assign(2 * kGuard + shift_ + row * std::max<size_t>(h, 1), 0x5A);
  uint8_t* first = memory_.data() + kGuard + shift_;  // the first row in memory
  if (layout != Layout::NegativeStride) {
    bottom_ = first;
    rowBytes_ = int(row);
  } else {
    bottom_ = first + row * (std::max<size_t>(h, 1) - 1);
    rowBytes_ = -int(row);
  }
}

Buffer Buffer::Of(const Picture& p, int x1, int y1, Layout layout) {
  Buffer b(OfxRectI{x1, y1, x1 + p.width, y1 + p.height}, p.depth, layout);
  for (int t = 0; t < p.height; ++t)
    std::memcpy(b.bottom_ + ptrdiff_t(p.height - 1 - t) * b.rowBytes_,
                p.bytes.data() + size_t(t) * p.RowBytes(), p.RowBytes());
  return b;
}

void Buffer::Fill(uint8_t byte) {
  const int h = bounds_.y2 - bounds_.y1;
  const size_t row = size_t(bounds_.x2 - bounds_.x1) * 4 * SampleBytes(depth_);
  for (int y = 0; y < h; ++y) std::memset(bottom_ + ptrdiff_t(y) * rowBytes_, byte, row);
}

Picture Buffer::Read() const {
  Picture p{bounds_.x2 - bounds_.x1, bounds_.y2 - bounds_.y1, depth_, {}};
  p.bytes.resize(p.RowBytes() * size_t(std::max(0, p.height)));
  for (int t = 0; t < p.height; ++t)
    std::memcpy(p.bytes.data() + size_t(t) * p.RowBytes(), bottom_ + ptrdiff_t(p.height - 1 - t) * rowBytes_,
                p.RowBytes());
  return p;
}

bool Buffer::GuardsIntact() const {
  const size_t row = size_t(std::abs(rowBytes_)), used = row - padding_;
  const int h = std::max(1, bounds_.y2 - bounds_.y1);
  for (size_t i = 0; i < kGuard + shift_; ++i)
    if (memory_[i] != 0x5A || memory_[memory_.size() - 1 - i] != 0x5A) return false;
  for (int y = 0; y < h; ++y)  // every row's padding
    for (size_t i = used; i < row; ++i)
      if (memory_[kGuard + shift_ + size_t(y) * row + i] != 0x5A) return false;
  return true;
}

// ---- the suites -------------------------------------------------------------------------------

namespace {

thread_local bool t_spawned = false;
thread_local unsigned t_threadIndex = 0;

template <Type T, class V>
OfxStatus PropSet(OfxPropertySetHandle h, const char* name, int index, V value) {
  PropertySet* p = PropertySet::From(h);
  return p ? p->Set(name, index, T, &value) : kOfxStatErrBadHandle;
}
template <Type T, class V>
OfxStatus PropSetN(OfxPropertySetHandle h, const char* name, int count, V values) {
  PropertySet* p = PropertySet::From(h);
  return p ? p->SetN(name, count, T, values) : kOfxStatErrBadHandle;
}
template <Type T, class V>
OfxStatus PropGet(OfxPropertySetHandle h, const char* name, int index, V* value) {
  PropertySet* p = PropertySet::From(h);
  return p ? p->Get(name, index, T, value) : kOfxStatErrBadHandle;
}
template <Type T, class V>
OfxStatus PropGetN(OfxPropertySetHandle h, const char* name, int count, V* values) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus s = PropGet<T>(h, name, i, values + i); s != kOfxStatOK) return s;
  return kOfxStatOK;
}

const OfxPropertySuiteV1 kPropertySuite = {
    &PropSet<Type::Pointer, void*>,
    &PropSet<Type::String, const char*>,
    &PropSet<Type::Double, double>,
    &PropSet<Type::Int, int>,
    &PropSetN<Type::Pointer, void* const*>,
    &PropSetN<Type::String, const char* const*>,
    &PropSetN<Type::Double, const double*>,
    &PropSetN<Type::Int, const int*>,
    &PropGet<Type::Pointer, void*>,
    &PropGet<Type::String, char*>,
    &PropGet<Type::Double, double>,
    &PropGet<Type::Int, int>,
    &PropGetN<Type::Pointer, void*>,
    &PropGetN<Type::String, char*>,
    &PropGetN<Type::Double, double>,
    &PropGetN<Type::Int, int>,
    [](OfxPropertySetHandle h, const char* name) {
      PropertySet* p = PropertySet::From(h);
      return p ? p->Reset(name) : kOfxStatErrBadHandle;
    },
    [](OfxPropertySetHandle h, const char* name, int* count) {
      PropertySet* p = PropertySet::From(h);
      return p ? p->Dimension(name, count) : kOfxStatErrBadHandle;
    },
};

// ---- image effect suite ----

std::mutex g_imagesMutex;
std::map<PropertySet*, std::unique_ptr<PropertySet>> g_images;  // images handed out, not yet released

OfxStatus ClipGetImage(OfxImageClipHandle h, OfxTime time, const OfxRectD*, OfxPropertySetHandle* image) {
  auto* clip = reinterpret_cast<Clip*>(h);
  if (!clip || !image) return kOfxStatErrBadHandle;
  if (!clip->picture) return kOfxStatFailed;
  Buffer& b = *clip->picture;
  auto img = std::make_unique<PropertySet>();
  img->Strings(kOfxPropType, {kOfxTypeImage});
  img->Strings(kOfxImageEffectPropPixelDepth, {DepthName(b.PixelDepth())});
  img->Strings(kOfxImageEffectPropComponents, {clip->components});
  img->Strings(kOfxImageEffectPropPreMultiplication,
               {clip->props.String(kOfxImageEffectPropPreMultiplication)});
  img->Doubles(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  img->Doubles(kOfxImagePropPixelAspectRatio, {1.0});
  img->Pointer(kOfxImagePropData, b.Data());
  const OfxRectI& r = b.Bounds();
  img->Ints(kOfxImagePropBounds, {r.x1, r.y1, r.x2, r.y2});
  img->Ints(kOfxImagePropRegionOfDefinition, {r.x1, r.y1, r.x2, r.y2});
  img->Ints(kOfxImagePropRowBytes, {b.RowBytes()});
  img->Strings(kOfxImagePropField, {kOfxImageFieldNone});
  img->Strings(kOfxImagePropUniqueIdentifier, {clip->name + "@" + std::to_string(time)});
  *image = img->Handle();
  std::lock_guard<std::mutex> lock(g_imagesMutex);
  g_images[img.get()] = std::move(img);
  return kOfxStatOK;
}

OfxStatus ClipReleaseImage(OfxPropertySetHandle h) {
  std::lock_guard<std::mutex> lock(g_imagesMutex);
  return g_images.erase(reinterpret_cast<PropertySet*>(h)) ? kOfxStatOK : kOfxStatErrBadHandle;
}

OfxStatus ClipDefine(OfxImageEffectHandle h, const char* name, OfxPropertySetHandle* props) {
  Effect* e = EffectOf(h);
  if (!e || !e->clips || e->instance || !name) return kOfxStatErrBadHandle;
  for (auto& c : *e->clips)
    if (c->name == name) return kOfxStatErrExists;
  auto clip = std::make_unique<Clip>();
  clip->name = name;
  DeclareClipDescriptor(clip->props, name);
  *props = clip->props.Handle();
  e->clips->push_back(std::move(clip));
  return kOfxStatOK;
}

OfxStatus ClipGetHandle(OfxImageEffectHandle h, const char* name, OfxImageClipHandle* clip,
                        OfxPropertySetHandle* props) {
  Effect* e = EffectOf(h);
  if (!e || !e->instance || !name) return kOfxStatErrBadHandle;
  Clip* c = e->instance->FindClip(name);
  if (!c) return kOfxStatErrUnknown;
  *clip = reinterpret_cast<OfxImageClipHandle>(c);
  if (props) *props = c->props.Handle();
  return kOfxStatOK;
}

const OfxImageEffectSuiteV1 kEffectSuite = {
    [](OfxImageEffectHandle h, OfxPropertySetHandle* props) {
      if (!EffectOf(h)) return kOfxStatErrBadHandle;
      *props = reinterpret_cast<OfxPropertySetHandle>(h);
      return kOfxStatOK;
    },
    [](OfxImageEffectHandle h, OfxParamSetHandle* set) {
      Effect* e = EffectOf(h);
      if (!e || !e->params) return kOfxStatErrBadHandle;
      *set = e->params->Handle();
      return kOfxStatOK;
    },
    &ClipDefine,
    &ClipGetHandle,
    [](OfxImageClipHandle h, OfxPropertySetHandle* props) {
      if (!h) return kOfxStatErrBadHandle;
      *props = reinterpret_cast<Clip*>(h)->props.Handle();
      return kOfxStatOK;
    },
    &ClipGetImage,
    &ClipReleaseImage,
    [](OfxImageClipHandle h, OfxTime, OfxRectD* bounds) {
      auto* clip = reinterpret_cast<Clip*>(h);
      if (!clip || !bounds) return kOfxStatErrBadHandle;
      if (!clip->picture) return kOfxStatFailed;
      *bounds = clip->rod;
      return kOfxStatOK;
    },
    [](OfxImageEffectHandle) { return 0; },
    [](OfxImageEffectHandle, size_t n, OfxImageMemoryHandle* m) {
      *m = reinterpret_cast<OfxImageMemoryHandle>(std::malloc(std::max<size_t>(n, 1)));
      return *m ? kOfxStatOK : kOfxStatErrMemory;
    },
    [](OfxImageMemoryHandle m) {
      std::free(m);
      return kOfxStatOK;
    },
    [](OfxImageMemoryHandle m, void** p) {
      *p = m;
      return kOfxStatOK;
    },
    [](OfxImageMemoryHandle) { return kOfxStatOK; },
};

// ---- parameter suite ----

OfxStatus GetValues(Param* p, double time, va_list ap) {
  if (!p) return kOfxStatErrBadHandle;
  const std::vector<double> v = p->At(time);
  for (size_t i = 0; i < p->Dimensions(); ++i) {
    if (p->Whole())
      *va_arg(ap, int*) = int(v[i]);
    else
      *va_arg(ap, double*) = v[i];
  }
  return kOfxStatOK;
}

std::vector<double> ReadValues(Param* p, va_list ap) {
  std::vector<double> v(p->Dimensions());
  for (double& x : v) x = p->Whole() ? double(va_arg(ap, int)) : va_arg(ap, double);
  return v;
}

// The plug-in set a value: kept, then reported to it as its own edit, as hosts do.
OfxStatus Store(Param* p, std::optional<double> at, std::vector<double> v) {
  Instance* owner = p->set ? p->set->owner : nullptr;
  const double time = at ? *at : owner ? owner->time : 0.0;
  if (at || !p->keys.empty())
    p->keys[time] = std::move(v);
  else
    p->value = std::move(v);
  if (owner) (void)owner->Report(p->name, kOfxChangePluginEdited, time);
  return kOfxStatOK;
}

OfxStatus ParamGetValue(OfxParamHandle h, ...) {
  auto* p = reinterpret_cast<Param*>(h);
  va_list ap;
  va_start(ap, h);
  const OfxStatus s = GetValues(p, p && p->set && p->set->owner ? p->set->owner->time : 0.0, ap);
  va_end(ap);
  return s;
}

OfxStatus ParamGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list ap;
  va_start(ap, time);
  const OfxStatus s = GetValues(reinterpret_cast<Param*>(h), time, ap);
  va_end(ap);
  return s;
}

OfxStatus ParamGetDerivative(OfxParamHandle, OfxTime, ...) { return kOfxStatErrUnsupported; }
OfxStatus ParamGetIntegral(OfxParamHandle, OfxTime, OfxTime, ...) { return kOfxStatErrUnsupported; }

OfxStatus ParamSetValue(OfxParamHandle h, ...) {
  auto* p = reinterpret_cast<Param*>(h);
  if (!p) return kOfxStatErrBadHandle;
  va_list ap;
  va_start(ap, h);
  std::vector<double> v = ReadValues(p, ap);
  va_end(ap);
  return Store(p, std::nullopt, std::move(v));
}

OfxStatus ParamSetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  auto* p = reinterpret_cast<Param*>(h);
  if (!p) return kOfxStatErrBadHandle;
  va_list ap;
  va_start(ap, time);
  std::vector<double> v = ReadValues(p, ap);
  va_end(ap);
  return Store(p, time, std::move(v));
}

OfxStatus ParamDefine(OfxParamSetHandle h, const char* type, const char* name, OfxPropertySetHandle* props) {
  auto* set = reinterpret_cast<ParamSet*>(h);
  if (!set || !type || !name) return kOfxStatErrBadHandle;
  if (set->owner) return kOfxStatErrBadHandle;  // only while describing
  if (set->Find(name)) return kOfxStatErrExists;
  const std::string t = type;
  if (t != kOfxParamTypeInteger && t != kOfxParamTypeDouble && t != kOfxParamTypeBoolean &&
      t != kOfxParamTypeChoice && t != kOfxParamTypeRGBA && t != kOfxParamTypeRGB &&
      t != kOfxParamTypeDouble2D && t != kOfxParamTypeGroup && t != kOfxParamTypePage)
    return kOfxStatErrUnsupported;
  auto p = std::make_unique<Param>();
  p->name = name;
  p->type = t;
  p->set = set;
  DeclareParam(p->props, t, name);
  if (props) *props = p->props.Handle();
  set->list.push_back(std::move(p));
  return kOfxStatOK;
}

const OfxParameterSuiteV1 kParameterSuite = {
    &ParamDefine,
    [](OfxParamSetHandle h, const char* name, OfxParamHandle* param, OfxPropertySetHandle* props) {
      auto* set = reinterpret_cast<ParamSet*>(h);
      Param* p = set && name ? set->Find(name) : nullptr;
      if (!p) return set ? kOfxStatErrUnknown : kOfxStatErrBadHandle;
      *param = reinterpret_cast<OfxParamHandle>(p);
      if (props) *props = p->props.Handle();
      return kOfxStatOK;
    },
    [](OfxParamSetHandle h, OfxPropertySetHandle* props) {
      if (!h) return kOfxStatErrBadHandle;
      *props = reinterpret_cast<ParamSet*>(h)->props.Handle();
      return kOfxStatOK;
    },
    [](OfxParamHandle h, OfxPropertySetHandle* props) {
      if (!h) return kOfxStatErrBadHandle;
      *props = reinterpret_cast<Param*>(h)->props.Handle();
      return kOfxStatOK;
    },
    &ParamGetValue,
    &ParamGetValueAtTime,
    &ParamGetDerivative,
    &ParamGetIntegral,
    &ParamSetValue,
    &ParamSetValueAtTime,
    [](OfxParamHandle h, unsigned int* n) {
      if (!h) return kOfxStatErrBadHandle;
      *n = unsigned(reinterpret_cast<Param*>(h)->keys.size());
      return kOfxStatOK;
    },
    [](OfxParamHandle h, unsigned int nth, OfxTime* time) {
      auto* p = reinterpret_cast<Param*>(h);
      if (!p) return kOfxStatErrBadHandle;
      if (nth >= p->keys.size()) return kOfxStatErrBadIndex;
      *time = std::next(p->keys.begin(), nth)->first;
      return kOfxStatOK;
    },
    [](OfxParamHandle, OfxTime, int, int*) { return kOfxStatErrUnsupported; },
    [](OfxParamHandle h, OfxTime time) {
      auto* p = reinterpret_cast<Param*>(h);
      if (!p) return kOfxStatErrBadHandle;
      return p->keys.erase(time) ? kOfxStatOK : kOfxStatErrBadIndex;
    },
    [](OfxParamHandle h) {
      auto* p = reinterpret_cast<Param*>(h);
      if (!p) return kOfxStatErrBadHandle;
      p->keys.clear();
      return kOfxStatOK;
    },
    [](OfxParamHandle, OfxParamHandle, OfxTime, const OfxRangeD*) { return kOfxStatErrUnsupported; },
    [](OfxParamSetHandle, const char*) { return kOfxStatOK; },
    [](OfxParamSetHandle) { return kOfxStatOK; },
};

// ---- memory, message and multithread suites ----

const OfxMemorySuiteV1 kMemorySuite = {
    [](void*, size_t n, void** data) {
      *data = std::malloc(std::max<size_t>(n, 1));
      return *data ? kOfxStatOK : kOfxStatErrMemory;
    },
    [](void* data) {
      std::free(data);
      return kOfxStatOK;
    },
};

OfxStatus PostMessage(void*, const char* type, const char*, const char* format, ...) {
  char text[4096];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(g_host->messagesMutex);
  g_host->messages.push_back(Message{type ? type : "", text});
  return kOfxStatOK;
}

const OfxMessageSuiteV1 kMessageSuite = {&PostMessage};

OfxStatus MultiThread(OfxThreadFunctionV1 func, unsigned int n, void* arg) {
  if (t_spawned) return kOfxStatErrExists;
  ++g_host->multiThreadCalls;
  n = std::max(1u, std::min(n, g_host->options.cpus));
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < n; ++i) {
    ++g_host->threadsStarted;
    threads.emplace_back([=] {
      t_spawned = true;
      t_threadIndex = i;
      func(i, n, arg);
    });
  }
  for (std::thread& t : threads) t.join();
  return kOfxStatOK;
}

struct TestMutex {
  std::recursive_mutex m;
};

const OfxMultiThreadSuiteV1 kThreadSuite = {
    &MultiThread,
    [](unsigned int* n) {
      *n = g_host->options.cpus;
      return kOfxStatOK;
    },
    [](unsigned int* i) {
      *i = t_threadIndex;
      return kOfxStatOK;
    },
    []() { return t_spawned ? 1 : 0; },
    [](OfxMutexHandle* m, int count) {
      auto* t = new TestMutex;
      for (int i = 0; i < count; ++i) t->m.lock();
      *m = reinterpret_cast<OfxMutexHandle>(t);
      return kOfxStatOK;
    },
    [](const OfxMutexHandle m) {
      delete reinterpret_cast<TestMutex*>(m);
      return kOfxStatOK;
    },
    [](const OfxMutexHandle m) {
      reinterpret_cast<TestMutex*>(m)->m.lock();
      return kOfxStatOK;
    },
    [](const OfxMutexHandle m) {
      reinterpret_cast<TestMutex*>(m)->m.unlock();
      return kOfxStatOK;
    },
    [](const OfxMutexHandle m) {
      return reinterpret_cast<TestMutex*>(m)->m.try_lock() ? kOfxStatOK : kOfxStatFailed;
    },
};

const void* FetchSuite(OfxPropertySetHandle, const char* name, int version) {
  const std::string n = name ? name : "";
  if (version != 1) return nullptr;
  if (n == kOfxPropertySuite) return &kPropertySuite;
  if (n == kOfxImageEffectSuite) return &kEffectSuite;
  if (n == kOfxParameterSuite) return g_host->options.parameterSuite ? &kParameterSuite : nullptr;
  if (n == kOfxMemorySuite) return &kMemorySuite;
  if (n == kOfxMessageSuite) return &kMessageSuite;
  if (n == kOfxMultiThreadSuite) return g_host->options.multiThread ? &kThreadSuite : nullptr;
  return nullptr;
}

}  // namespace

// ---- the host ---------------------------------------------------------------------------------

Host::Host(HostOptions o) : options(o) {
  g_host = this;
  ofxHost.host = props.Handle();
  ofxHost.fetchSuite = &FetchSuite;
  props.Strings(kOfxPropType, {kOfxTypeImageEffectHost});
  props.Strings(kOfxPropName, {"example.test.host"});
  props.Strings(kOfxPropLabel, {"Test host"});
  props.Ints(kOfxPropAPIVersion, {1, 4});
  props.Ints(kOfxImageEffectHostPropIsBackground, {0});
  props.Ints(kOfxImageEffectPropSupportsMultiResolution, {1});
  props.Ints(kOfxImageEffectPropSupportsTiles, {1});
  props.Ints(kOfxImageEffectPropTemporalClipAccess, {0});
  props.Strings(kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA, kOfxImageComponentAlpha});
  props.Strings(kOfxImageEffectPropSupportedContexts,
                {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
  props.Strings(kOfxImageEffectPropSupportedPixelDepths,
                {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
  props.Ints(kOfxImageEffectPropSupportsMultipleClipDepths, {0});
  props.Ints(kOfxImageEffectPropSupportsMultipleClipPARs, {0});
  props.Ints(kOfxParamHostPropMaxPages, {o.maxPages});
}

Host::~Host() {
  for (OfxPlugin* p : loaded_) Call(p, kOfxActionUnload, nullptr, nullptr, nullptr);
  for (auto& [p, d] : described_) {
    Forget(&d->props);
    for (auto& [c, props] : d->contexts) Forget(props.get());
  }
  if (g_host == this) g_host = nullptr;
}

OfxStatus Host::Call(OfxPlugin* p, const char* action, const void* handle, PropertySet* in,
                     PropertySet* out) {
  return p->mainEntry(action, handle, in ? in->Handle() : nullptr, out ? out->Handle() : nullptr);
}

void Host::Open(const std::string& bundle) {
  const std::string binary = bundle + "/Contents/Linux-x86-64/Orvanta.ofx";
  library_ = dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(library_) << dlerror();
  auto count = reinterpret_cast<int (*)()>(dlsym(library_, "OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(library_, "OfxGetPlugin"));
  ASSERT_TRUE(count && get) << "the binary exports no OpenFX entry points";
  count_ = count();
  for (int i = 0; i < count_; ++i) {
    OfxPlugin* p = get(i);
    ASSERT_TRUE(p);
    plugins_.push_back(p);
    p->setHost(&ofxHost);
    const OfxStatus load = Call(p, kOfxActionLoad, nullptr, nullptr, nullptr);
    if (load != kOfxStatOK) continue;  // a plug-in that refuses to load is left alone
    loaded_.push_back(p);
    Described& d = Of(p);
    d.props.Strings(kOfxPluginPropFilePath, {bundle});
    EXPECT_EQ(Call(p, kOfxActionDescribe, &d.props, nullptr, nullptr), kOfxStatOK) << p->pluginIdentifier;
  }
}

OfxPlugin* Host::Plugin(int i) const { return plugins_.at(size_t(i)); }

OfxPlugin* Host::ByName(const std::string& name) const {
  for (OfxPlugin* p : plugins_) {
    const std::string id = p->pluginIdentifier;
    if (id.size() > name.size() &&
        id.compare(id.size() - name.size() - 1, std::string::npos, "." + name) == 0)
      return p;
  }
  ADD_FAILURE() << "no plug-in " << name;
  return nullptr;
}

Host::Described& Host::Of(OfxPlugin* p) {
  auto& d = described_[p];
  if (!d) {
    d = std::make_unique<Described>();
    DeclareEffectDescriptor(d->props);
    Register(&d->props, Effect{});
  }
  return *d;
}

PropertySet& Host::Descriptor(OfxPlugin* p) { return Of(p).props; }

PropertySet& Host::InContext(OfxPlugin* p, const std::string& context, OfxStatus* status) {
  Described& d = Of(p);
  auto& props = d.contexts[context];
  if (!props) {
    props = std::make_unique<PropertySet>();
    DeclareEffectDescriptor(*props);
    d.params[context] = std::make_unique<ParamSet>();
    Register(props.get(), Effect{d.params[context].get(), &d.clips[context], nullptr});
    PropertySet in;
    in.Strings(kOfxImageEffectPropContext, {context});
    const OfxStatus s = Call(p, kOfxImageEffectActionDescribeInContext, props.get(), &in, nullptr);
    if (status) *status = s;
  }
  return *props;
}

ParamSet& Host::ParamsIn(OfxPlugin* p, const std::string& context) {
  InContext(p, context);
  return *Of(p).params[context];
}

std::vector<Clip*> Host::ClipsIn(OfxPlugin* p, const std::string& context) {
  InContext(p, context);
  std::vector<Clip*> clips;
  for (auto& c : Of(p).clips[context]) clips.push_back(c.get());
  return clips;
}

// ---- instances --------------------------------------------------------------------------------

Instance::Instance(Host& h, OfxPlugin* p, const std::string& context,
                   const std::map<std::string, std::vector<double>>& saved)
    : host(h), plugin(p) {
  PropertySet& descriptor = h.InContext(p, context);
  (void)descriptor;
  props.Strings(kOfxPropType, {kOfxTypeImageEffectInstance});
  props.Strings(kOfxImageEffectPropContext, {context});
  props.Pointer(kOfxPropInstanceData, nullptr);
  props.Doubles(kOfxImageEffectPropProjectSize, {1920, 1080});
  props.Doubles(kOfxImageEffectPropProjectOffset, {0, 0});
  props.Doubles(kOfxImageEffectPropProjectExtent, {1920, 1080});
  props.Doubles(kOfxImageEffectPropProjectPixelAspectRatio, {1.0});
  props.Doubles(kOfxImageEffectPropFrameRate, {25.0});
  props.Ints(kOfxPropIsInteractive, {1});
  props.Ints(kOfxImageEffectPropSupportsTiles, {0});
  params.owner = this;
  for (auto& d : h.ParamsIn(p, context).list) {
    auto param = std::make_unique<Param>();
    param->name = d->name;
    param->type = d->type;
    param->set = &params;
    DeclareParam(param->props, d->type, d->name);
    for (const char* name : {kOfxPropLabel, kOfxParamPropHint, kOfxParamPropParent, kOfxParamPropScriptName,
                             kOfxParamPropDoubleType})
      if (d->props.Has(name)) param->props.Strings(name, d->props.AllStrings(name));
    for (const char* name : {kOfxParamPropChoiceOption, kOfxParamPropPageChild})
      if (d->props.Has(name)) param->props.Strings(name, d->props.AllStrings(name));
    for (const char* name : {kOfxParamPropSecret, kOfxParamPropDigits, kOfxParamPropAnimates})
      if (d->props.Has(name)) param->props.Ints(name, d->props.AllInts(name));
    for (const char* name : {kOfxParamPropDefault, kOfxParamPropMin, kOfxParamPropMax,
                             kOfxParamPropDisplayMin, kOfxParamPropDisplayMax}) {
      if (!d->props.Has(name)) continue;
      if (param->Whole())
        param->props.Ints(name, d->props.AllInts(name));
      else
        param->props.Doubles(name, d->props.AllDoubles(name));
    }
    if (param->Dimensions() > 0) {
      if (param->Whole())
        for (int v : d->props.AllInts(kOfxParamPropDefault)) param->value.push_back(v);
      else
        param->value = d->props.AllDoubles(kOfxParamPropDefault);
      param->value.resize(param->Dimensions());
    }
    params.list.push_back(std::move(param));
  }
  for (Clip* d : h.ClipsIn(p, context)) {
    auto clip = std::make_unique<Clip>();
    clip->name = d->name;
    clip->owner = this;
    DeclareClipDescriptor(clip->props, d->name);
    for (const char* name :
         {kOfxPropLabel, kOfxImageEffectPropSupportedComponents, kOfxImageClipPropFieldExtraction})
      clip->props.Strings(name, d->props.AllStrings(name));
    for (const char* name : {kOfxImageClipPropOptional, kOfxImageEffectPropSupportsTiles})
      clip->props.Ints(name, d->props.AllInts(name));
    DeclareClipInstance(clip->props);
    clips.push_back(std::move(clip));
  }
  for (const auto& [name, value] : saved) {
    Param& param = P(name);
    param.value = value;
    param.value.resize(param.Dimensions());
  }
  Register(&props, Effect{&params, &clips, this});
  EXPECT_EQ(h.Call(p, kOfxActionCreateInstance, &props, nullptr, nullptr), kOfxStatOK);
}

Instance::~Instance() {
  EXPECT_EQ(host.Call(plugin, kOfxActionDestroyInstance, &props, nullptr, nullptr), kOfxStatOK);
  Forget(&props);
}

Clip* Instance::FindClip(const std::string& name) const {
  for (auto& c : clips)
    if (c->name == name) return c.get();
  return nullptr;
}

Clip* Instance::ClipLabelled(const std::string& label) const {
  for (auto& c : clips)
    if (c->props.String(kOfxPropLabel) == label) return c.get();
  ADD_FAILURE() << "no clip labelled " << label;
  return nullptr;
}

Param& Instance::P(const std::string& name) const {
  Param* p = params.Find(name);
  if (!p) {
    ADD_FAILURE() << "no parameter " << name;
    static Param none;
    return none;
  }
  return *p;
}

OfxStatus Instance::Report(const std::string& param, const char* reason, double at) {
  PropertySet begin;
  begin.Strings(kOfxPropChangeReason, {reason});
  PropertySet in;
  in.Strings(kOfxPropType, {kOfxTypeParameter});
  in.Strings(kOfxPropName, {param});
  in.Strings(kOfxPropChangeReason, {reason});
  in.Doubles(kOfxPropTime, {at});
  in.Doubles(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  Action(kOfxActionBeginInstanceChanged, &begin);
  ++instanceChanges;
  const OfxStatus s = Action(kOfxActionInstanceChanged, &in);
  Action(kOfxActionEndInstanceChanged, &begin);
  return s;
}

OfxStatus Instance::Set(const std::string& name, std::vector<double> value, double at) {
  Param& p = P(name);
  value.resize(p.Dimensions());
  if (p.keys.empty())
    p.value = value;
  else
    p.keys[at] = value;
  lastChange = Report(name, kOfxChangeUserEdited, at);
  return lastChange;
}

void Instance::Connect(const std::string& name, const Picture& picture, Layout layout, int x1, int y1) {
  Clip* c = FindClip(name);
  ASSERT_TRUE(c) << "no clip " << name;
  c->picture = std::make_shared<Buffer>(Buffer::Of(picture, x1, y1, layout));
  c->rod = OfxRectD{double(x1), double(y1), double(x1 + picture.width), double(y1 + picture.height)};
  c->props.Ints(kOfxImageClipPropConnected, {1});
  for (const char* d : {kOfxImageEffectPropPixelDepth, kOfxImageClipPropUnmappedPixelDepth})
    c->props.Strings(d, {DepthName(picture.depth)});
  for (const char* d : {kOfxImageEffectPropComponents, kOfxImageClipPropUnmappedComponents})
    c->props.Strings(d, {kOfxImageComponentRGBA});
}

void Instance::Disconnect(const std::string& name) {
  Clip* c = FindClip(name);
  ASSERT_TRUE(c) << "no clip " << name;
  c->picture.reset();
  c->props.Ints(kOfxImageClipPropConnected, {0});
}

OfxStatus Instance::Action(const char* action, PropertySet* in, PropertySet* out) {
  return host.Call(plugin, action, &props, in, out);
}

OfxStatus Instance::ClipPreferences(PropertySet& out) {
  for (auto& c : clips) {
    out.Strings(kOfxImageClipPropComponentsPrefix + c->name, {kOfxImageComponentRGBA});
    out.Strings(kOfxImageClipPropDepthPrefix + c->name, {kOfxBitDepthShort});
    out.Doubles(kOfxImageClipPropPARPrefix + c->name, {1.0});
  }
  out.Doubles(kOfxImageEffectPropFrameRate, {25.0});
  out.Strings(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
  out.Strings(kOfxImageEffectPropPreMultiplication, {kOfxImageOpaque});
  out.Ints(kOfxImageClipPropContinuousSamples, {0});
  out.Ints(kOfxImageEffectFrameVarying, {0});
  return Action(kOfxImageEffectActionGetClipPreferences, nullptr, &out);
}

OfxStatus Instance::RegionOfDefinition(double at, OfxPointD scale, OfxRectD& rod) {
  PropertySet in, out;
  in.Doubles(kOfxPropTime, {at});
  in.Doubles(kOfxImageEffectPropRenderScale, {scale.x, scale.y});
  const Clip* source = FindClip(kOfxImageEffectSimpleSourceClipName);
  const OfxRectD def = source ? source->rod : OfxRectD{0, 0, 1920, 1080};
  out.Doubles(kOfxImageEffectPropRegionOfDefinition, {def.x1, def.y1, def.x2, def.y2});
  const OfxStatus s = Action(kOfxImageEffectActionGetRegionOfDefinition, &in, &out);
  const std::vector<double> r = out.AllDoubles(kOfxImageEffectPropRegionOfDefinition);
  rod = OfxRectD{r[0], r[1], r[2], r[3]};
  return s;
}

OfxStatus Instance::RegionsOfInterest(double at, OfxPointD scale, const OfxRectD& window, PropertySet& out) {
  PropertySet in;
  in.Doubles(kOfxPropTime, {at});
  in.Doubles(kOfxImageEffectPropRenderScale, {scale.x, scale.y});
  in.Doubles(kOfxImageEffectPropRegionOfInterest, {window.x1, window.y1, window.x2, window.y2});
  for (auto& c : clips)
    if (c->name != kOfxImageEffectOutputClipName && c->picture)
      out.Doubles(kOfxImageClipPropRoIPrefix + c->name, {window.x1, window.y1, window.x2, window.y2});
  return Action(kOfxImageEffectActionGetRegionsOfInterest, &in, &out);
}

OfxStatus Instance::Render(double at, OfxPointD scale, Layout layout, Depth depth) {
  OfxRectD rod{};
  const OfxStatus rs = RegionOfDefinition(at, scale, rod);
  if (rs != kOfxStatOK && rs != kOfxStatReplyDefault) return rs;
  outputBounds = OfxRectI{int(std::floor(rod.x1 * scale.x)), int(std::floor(rod.y1 * scale.y)),
                          int(std::ceil(rod.x2 * scale.x)), int(std::ceil(rod.y2 * scale.y))};
  PropertySet rois;
  const OfxStatus ri = RegionsOfInterest(at, scale, rod, rois);
  if (ri != kOfxStatOK && ri != kOfxStatReplyDefault) return ri;
  const bool keep = keepOutput && output && output->PixelDepth() == depth &&
                    std::memcmp(&output->Bounds(), &outputBounds, sizeof outputBounds) == 0;
  if (!keep) output = std::make_shared<Buffer>(outputBounds, depth, layout);
  if (!keepOutput) output->Fill(0xA5);  // what was not written shows
  Clip* out = FindClip(kOfxImageEffectOutputClipName);
  out->picture = output;
  out->rod = rod;
  out->props.Strings(kOfxImageEffectPropPixelDepth, {DepthName(depth)});
  out->props.Strings(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
  PropertySet sequence, frame;
  sequence.Doubles(kOfxImageEffectPropFrameRange, {at, at});
  sequence.Doubles(kOfxImageEffectPropFrameStep, {1.0});
  sequence.Ints(kOfxPropIsInteractive, {0});
  sequence.Doubles(kOfxImageEffectPropRenderScale, {scale.x, scale.y});
  frame.Doubles(kOfxPropTime, {at});
  frame.Strings(kOfxImageEffectPropFieldToRender, {kOfxImageFieldNone});
  frame.Ints(kOfxImageEffectPropRenderWindow,
             {outputBounds.x1, outputBounds.y1, outputBounds.x2, outputBounds.y2});
  frame.Doubles(kOfxImageEffectPropRenderScale, {scale.x, scale.y});
  EXPECT_EQ(Action(kOfxImageEffectActionBeginSequenceRender, &sequence), kOfxStatOK);
  const OfxStatus s = Action(kOfxImageEffectActionRender, &frame);
  EXPECT_EQ(Action(kOfxImageEffectActionEndSequenceRender, &sequence), kOfxStatOK);
  {
    std::lock_guard<std::mutex> lock(g_imagesMutex);
    EXPECT_TRUE(g_images.empty()) << g_images.size() << " images were not released";
  }
  EXPECT_TRUE(output->GuardsIntact()) << "the render wrote outside the output image's rows";
  return s;
}

}  // namespace orvanta::ofxtest
