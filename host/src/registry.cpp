// The class registry and the plug-in loader. Each plug-in's static Registry record adds its class
// while dlopen runs and removes it when dlclose runs the library's exit list.
#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "state.h"

namespace orvanta {

namespace {
ClassList g_classes;

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct OpenPlugin {
  void* handle;
  std::vector<std::string> classes;
};
std::map<std::string, OpenPlugin>& OpenPlugins() {
  static std::map<std::string, OpenPlugin> open;
  return open;
}
}  // namespace

ClassList* ClassRegistry = &g_classes;

namespace hostdetail {
std::string loadingLibrary;
std::vector<std::string> registeredWhileLoading;
std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
}  // namespace hostdetail

struct Registry::Record {
  ClassList* list;
  host::ClassInfo* info;
};

Registry::Registry(ClassList** list, const char* name, const TagList& tags) : record_(new Record) {
  auto info = std::make_unique<host::ClassInfo>();
  info->name = name ? name : "";
  info->registry = this;
  info->library = hostdetail::loadingLibrary;
  for (const Tag& t : tags) {
    host::RegistryTag rt{t.tag, t.kind(), 0, {}, 0.0};
    if (t.kind() == TagKind::Double)
      rt.number = t.number;
    else if (IsRegistryText(t.tag) || t.kind() == TagKind::Text)
      rt.text = t.text ? t.text : "";
    else
      rt.word = uint64_t(t.word);
    switch (t.tag) {
      case RegCreate:
        info->create = reinterpret_cast<CreateFn>(t.word);
        break;
      case RegClassWord:
        info->classWord = uint32_t(t.word);
        break;
      case RegKind:
        info->kind = int32_t(uint32_t(t.word));
        break;
      case RegBitmapId:
        info->bitmapId = int32_t(uint32_t(t.word));
        break;
      case RegIdentifier:
        info->identifier = rt.text;
        break;
      case RegCaption:
        info->caption = rt.text;
        break;
      case RegDisplayName:
        info->displayName = rt.text;
        break;
      case RegHelpText:
        info->helpText = rt.text;
        break;
      case RegVersionText:
        info->versionTexts.push_back(rt.text);
        break;
      case RegBrand:
        info->brand = rt.text;
        break;
      case RegCompany:
        info->company = rt.text;
        break;
      case RegWebAddress:
        info->webAddress = rt.text;
        break;
      default:
        break;
    }
    info->tags.push_back(std::move(rt));
  }
  if (const Tag* init = tags.Find(RegInitHook))
    if (init->word) reinterpret_cast<void (*)(Registry*)>(init->word)(this);
  ClassList* l = list && *list ? *list : &g_classes;
  record_->list = l;
  record_->info = info.get();
  std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
  hostdetail::registeredWhileLoading.push_back(info->name);
  l->classes.push_back(std::move(info));
}

Registry::~Registry() {
  {
    std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
    auto& v = record_->list->classes;
    v.erase(std::remove_if(v.begin(), v.end(), [this](auto& c) { return c->registry == this; }), v.end());
  }
  Operator::RegCleanup(this);
  delete record_;
}

const char* Registry::Name() const { return record_->info->name.c_str(); }

namespace host {

std::vector<const ClassInfo*> Classes() {
  std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
  std::vector<const ClassInfo*> out;
  for (auto& c : g_classes.classes) out.push_back(c.get());
  return out;
}

const ClassInfo* FindClass(std::string_view name) {
  std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
  for (auto& c : g_classes.classes)
    if (SameText(c->name, name) || SameText(c->displayName, name) || SameText(c->identifier, name))
      return c.get();
  return nullptr;
}

const ClassInfo* FindClassByWord(uint32_t classWord) {
  std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
  for (auto& c : g_classes.classes)
    if (c->classWord == classWord) return c.get();
  return nullptr;
}

PluginLoad LoadPlugin(const std::string& path) {
  PluginLoad result;
  result.path = path;
  std::string key = std::filesystem::absolute(path).lexically_normal().string();
  if (OpenPlugins().count(key)) {
    result.ok = true;
    result.classes = OpenPlugins()[key].classes;
    return result;
  }
  {
    std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
    hostdetail::loadingLibrary = key;
    hostdetail::registeredWhileLoading.clear();
  }
  void* handle = dlopen(key.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::vector<std::string> registered;
  {
    std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
    hostdetail::loadingLibrary.clear();
    registered.swap(hostdetail::registeredWhileLoading);
  }
  if (!handle) {
    const char* err = dlerror();
    result.error = err ? err : "unknown dlopen failure";
    return result;
  }
  if (registered.empty()) {
    dlclose(handle);
    result.error = "it announces no tool class";
    return result;
  }
  using BitmapFn = const uint8_t* (*)(int32_t, size_t*);
  auto bitmapFn = reinterpret_cast<BitmapFn>(dlsym(handle, "OrvantaBitmapResource"));
  {
    std::lock_guard<std::mutex> lock(hostdetail::RegistryMutex());
    for (auto& c : g_classes.classes)
      if (c->library == key && bitmapFn) {
        size_t size = 0;
        const uint8_t* bytes = bitmapFn(c->bitmapId, &size);
        if (bytes) c->bitmap.assign(bytes, bytes + size);
      }
  }
  result.ok = true;
  result.classes = registered;
  OpenPlugins()[key] = OpenPlugin{handle, registered};
  return result;
}

std::vector<PluginLoad> LoadPluginDirectory(const std::string& dir) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().extension() == ".so" && e.path().filename().string().rfind("Orvanta", 0) == 0)
      paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  std::vector<PluginLoad> loads;
  for (auto& p : paths) loads.push_back(LoadPlugin(p));
  return loads;
}

bool UnloadPlugin(const std::string& path) {
  std::string key = std::filesystem::absolute(path).lexically_normal().string();
  auto it = OpenPlugins().find(key);
  if (it == OpenPlugins().end()) return false;
  dlclose(it->second.handle);
  OpenPlugins().erase(it);
  return true;
}

void UnloadAllPlugins() {
  for (auto& [k, p] : OpenPlugins()) dlclose(p.handle);
  OpenPlugins().clear();
}

}  // namespace host
}  // namespace orvanta
