// Host-internal state behind the contract's opaque handles.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/host/host.h"

namespace orvanta {

struct InputState {
  host::ControlDescription desc;
  Operator* owner = nullptr;
  std::vector<host::Key> keys;  // sorted by time; one key and not animated = a constant
  bool animated = false;
  std::optional<double> driven;  // a number delivered from elsewhere, in place of the keys
  // Image connection.
  Image* fixedImage = nullptr;
  host::ImageSource source;
  std::string sourceName;
  bool connected = false;
};

struct SavedValue {
  uint32_t type = 0;
  std::vector<host::Key> keys;
  bool animated = false;
  std::string sourceName;
};

struct OperatorState {
  const host::ClassInfo* cls = nullptr;
  std::vector<std::unique_ptr<Input>> inputs;
  std::vector<Input*> inputList;  // the same, in declaration order
  std::vector<std::unique_ptr<Output>> outputs;
  std::vector<std::string> pages;
  std::string currentPage;
  std::map<uint32_t, SavedValue> saved;  // values read from an archive, applied on declaration
  Request* current = nullptr;            // the request being rendered
  std::unique_ptr<ImageOwner> owner;
};

struct RequestState {
  double time = 0.0;
  Operator* op = nullptr;
  std::mutex mutex;  // guards values (GetValue may run on several workers)
  std::map<const Input*, std::unique_ptr<Parameter>> values;
  std::map<const Input*, Image*> images;  // images from sources, owned by the sources
  host::ImagePtr result;
  std::string error;
};

class ImageOwner {
 public:
  explicit ImageOwner(Operator* op) : op_(op) {}
  Operator* op() const { return op_; }

 private:
  Operator* op_;
};

struct ClassList {
  std::vector<std::unique_ptr<host::ClassInfo>> classes;
};

namespace hostdetail {
// The plug-in being opened right now, so that its Registry record can name it.
extern std::string loadingLibrary;
extern std::vector<std::string> registeredWhileLoading;
std::mutex& RegistryMutex();
// clear: start every byte at 0 (false: the caller writes every pixel first).
host::ImagePtr NewHostImage(int32_t width, int32_t height, uint32_t depth, bool clear = true,
                            host::SampleOrder order = host::SampleOrder::kBgra);
void RunChunks(int32_t n, const std::function<void(int32_t)>& fn);
// Whether renders on this thread only size their images (host::ScopedSizing).
bool Sizing();
}  // namespace hostdetail

}  // namespace orvanta
