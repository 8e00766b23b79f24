// A small OpenFX host for the tests: it opens a plug-in bundle with dlopen as any host does,
// offers the property, image effect, parameter, memory, message and (when asked) multithread
// suites, keeps parameters, clips and images itself, and drives a plug-in through its actions.
// Strict as hosts are: a property a host does not know cannot be set, a value of the wrong kind
// is refused. Not a product: it holds just what the tests need.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvanta/ofx/ofx_api.h"

namespace orvanta::ofxtest {

using namespace orvanta::ofx;

// ---- properties -----------------------------------------------------------------------------

class PropertySet {
 public:
  enum class Type { Int, Double, String, Pointer };

  // Adds a property the set knows (a plug-in may set only those), with its values.
  void Declare(const std::string& name, Type type, size_t dimension = 1);
  void Ints(const std::string& name, std::vector<int> values);
  void Doubles(const std::string& name, std::vector<double> values);
  void Strings(const std::string& name, std::vector<std::string> values);
  void Pointer(const std::string& name, void* value);

  bool Has(const std::string& name) const;
  int Int(const std::string& name, size_t index = 0) const;  // the tests' reads: fail when absent
  double Double(const std::string& name, size_t index = 0) const;
  std::string String(const std::string& name, size_t index = 0) const;
  std::vector<std::string> AllStrings(const std::string& name) const;
  std::vector<double> AllDoubles(const std::string& name) const;
  std::vector<int> AllInts(const std::string& name) const;
  void* GetPointer(const std::string& name) const;

  OfxPropertySetHandle Handle() { return reinterpret_cast<OfxPropertySetHandle>(this); }
  static PropertySet* From(OfxPropertySetHandle h);

  // The suite's side.
  OfxStatus Set(const char* name, int index, Type type, const void* value);
  OfxStatus SetN(const char* name, int count, Type type, const void* values);
  OfxStatus Get(const char* name, int index, Type type, void* value);
  OfxStatus Dimension(const char* name, int* count);
  OfxStatus Reset(const char* name);

 private:
  struct Value {
    Type type = Type::Int;
    std::vector<int> ints;
    std::vector<double> doubles;
    std::vector<std::string> strings;
    std::vector<void*> pointers;
    size_t Size() const;
    void Resize(size_t n);
  };
  static constexpr uint32_t kMagic = 0x0FCB0FCB;
  uint32_t magic_ = kMagic;
  mutable std::mutex mutex_;
  std::map<std::string, Value> values_;
};

// ---- parameters -----------------------------------------------------------------------------

class ParamSet;

struct Param {
  std::string name, type;
  PropertySet props;
  ParamSet* set = nullptr;
  std::vector<double> value;                   // when it has no keys
  std::map<double, std::vector<double>> keys;  // keyframes, linear between them
  size_t Dimensions() const;
  bool Whole() const;  // integer, boolean and choice values travel as int
  std::vector<double> At(double time) const;
};

class ParamSet {
 public:
  PropertySet props;
  std::vector<std::unique_ptr<Param>> list;
  Param* Find(const std::string& name) const;
  OfxParamSetHandle Handle() { return reinterpret_cast<OfxParamSetHandle>(this); }
  class Instance* owner = nullptr;  // the instance these parameters belong to (null: a descriptor)
};

// ---- images ---------------------------------------------------------------------------------

enum class Depth { Byte, Short, Float };
size_t SampleBytes(Depth d);
const char* DepthName(Depth d);

// How an image lies in memory: rows bottom-up at a positive distance, or top-down (the host's own
// order) handed over as bottom-up rows at a negative distance, or bottom-up from an odd address
// an odd distance apart (samples of 16-bit and float images then start anywhere); these rows are
// padded. Packed rows are bottom-up without padding, as hosts usually allocate them. Guard bytes
// surround the pixels every way.
enum class Layout { BottomUp, NegativeStride, OddAddress, Packed };

// RGBA samples, rows top first, tightly packed: how pictures are made, compared and written to
// files.
struct Picture {
  int width = 0, height = 0;
  Depth depth = Depth::Short;
  std::vector<uint8_t> bytes;
  size_t RowBytes() const { return size_t(width) * 4 * SampleBytes(depth); }
  bool operator==(const Picture&) const = default;
};

// Pixel memory in a layout, with its bounds in pixel coordinates.
class Buffer {
 public:
  Buffer(const OfxRectI& bounds, Depth depth, Layout layout);
  static Buffer Of(const Picture& p, int x1, int y1, Layout layout);  // p's pixels placed at (x1, y1)
  void Fill(uint8_t byte);                                            // every pixel byte, not the padding
  Picture Read() const;                                               // the pixels, top row first
  bool GuardsIntact() const;
  void* Data() { return bottom_; }
  int RowBytes() const { return rowBytes_; }
  const OfxRectI& Bounds() const { return bounds_; }
  Depth PixelDepth() const { return depth_; }

 private:
  static constexpr size_t kGuard = 64, kPadding = 24;
  OfxRectI bounds_;
  Depth depth_;
  size_t shift_ = 0;    // bytes between the guard and the first row
  size_t padding_ = 0;  // bytes after each row's pixels
  std::vector<uint8_t> memory_;
  uint8_t* bottom_ = nullptr;
  int rowBytes_ = 0;
};

// ---- clips, instances and the host ------------------------------------------------------------

struct Clip {
  std::string name;
  PropertySet props;
  std::shared_ptr<Buffer> picture;                  // what it gives (null: not connected)
  OfxRectD rod{};                                   // its region of definition, canonical
  std::string components = kOfxImageComponentRGBA;  // what its images say they hold
  class Instance* owner = nullptr;
};

struct Message {
  std::string type, text;
};

struct HostOptions {
  bool multiThread = true;  // offer the multithread suite
  unsigned cpus = 3;        // what it reports
  bool parameterSuite = true;
  int maxPages = -1;
};

class Host;

// An instance of a plug-in in a context, as a host keeps one.
class Instance {
 public:
  // saved: parameter values as a project loaded from a file holds them, in place before the
  // plug-in hears of the instance.
  Instance(Host& host, OfxPlugin* plugin, const std::string& context,
           const std::map<std::string, std::vector<double>>& saved = {});
  ~Instance();  // destroys the plug-in's instance

  PropertySet props;
  ParamSet params;
  std::vector<std::unique_ptr<Clip>> clips;
  Clip* FindClip(const std::string& name) const;
  Clip* ClipLabelled(const std::string& label) const;  // by its label ("Source" for the main input)
  Param& P(const std::string& name) const;             // fails the test when missing

  // What a user does: sets a value (ints for whole parameters), then the host reports it.
  OfxStatus Set(const std::string& param, std::vector<double> value, double time = 0.0);
  // Connects a picture placed at (x1, y1), or disconnects with an empty picture.
  void Connect(const std::string& clip, const Picture& p, Layout layout = Layout::BottomUp, int x1 = 0,
               int y1 = 0);
  void Disconnect(const std::string& clip);

  OfxStatus Action(const char* action, PropertySet* in = nullptr, PropertySet* out = nullptr);
  // Reports a change of a parameter to the plug-in: begin, instance changed, end.
  OfxStatus Report(const std::string& param, const char* reason, double time);
  OfxStatus ClipPreferences(PropertySet& out);
  OfxStatus RegionOfDefinition(double time, OfxPointD scale, OfxRectD& rod);
  OfxStatus RegionsOfInterest(double time, OfxPointD scale, const OfxRectD& window, PropertySet& out);
  // Asks the region of definition, makes the output of that size (filled with 0xA5 so unwritten
  // pixels show) and renders into it.
  OfxStatus Render(double time, OfxPointD scale, Layout layout, Depth depth);
  std::shared_ptr<Buffer> output;  // the last output image
  OfxRectI outputBounds{};
  bool keepOutput = false;  // render into the last output image again, as it is (for timing)

  Host& host;
  OfxPlugin* plugin;
  int instanceChanges = 0;  // kOfxActionInstanceChanged calls made
  double time = 0.0;        // the host's current time (values set without a time go there)
  OfxStatus lastChange = kOfxStatOK;

 private:
  friend class Host;
  OfxImageEffectHandle Handle() { return reinterpret_cast<OfxImageEffectHandle>(&props); }
};

class Host {
 public:
  explicit Host(HostOptions options = {});
  ~Host();  // unloads every plug-in loaded (the binary stays open, as the bundle asks)

  // Opens the bundle's binary, loads and describes every plug-in; fails the test on error.
  void Open(const std::string& bundle);
  int Count() const { return count_; }
  OfxPlugin* Plugin(int i) const;
  OfxPlugin* ByName(const std::string& registryName) const;  // by the end of its identifier
  PropertySet& Descriptor(OfxPlugin* p);
  // The descriptor of p described in context (described on first use).
  PropertySet& InContext(OfxPlugin* p, const std::string& context, OfxStatus* status = nullptr);
  ParamSet& ParamsIn(OfxPlugin* p, const std::string& context);
  std::vector<Clip*> ClipsIn(OfxPlugin* p, const std::string& context);

  OfxStatus Call(OfxPlugin* p, const char* action, const void* handle, PropertySet* in, PropertySet* out);

  PropertySet props;  // the host's own
  std::vector<Message> messages;
  std::mutex messagesMutex;
  std::atomic<int> multiThreadCalls{0};
  std::atomic<int> threadsStarted{0};
  HostOptions options;
  OfxHost ofxHost{};

 private:
  struct Described {
    PropertySet props;
    std::map<std::string, std::unique_ptr<PropertySet>> contexts;  // the descriptor per context
    std::map<std::string, std::unique_ptr<ParamSet>> params;
    std::map<std::string, std::vector<std::unique_ptr<Clip>>> clips;
    std::string defining;  // the context being described
  };
  friend struct Suites;
  friend class Instance;
  Described& Of(OfxPlugin* p);
  void* library_ = nullptr;
  int count_ = 0;
  std::vector<OfxPlugin*> plugins_;
  std::map<OfxPlugin*, std::unique_ptr<Described>> described_;
  std::vector<OfxPlugin*> loaded_;
};

// Declares the properties a host keeps on each kind of object.
void DeclareEffectDescriptor(PropertySet& p);
void DeclareClipDescriptor(PropertySet& p, const std::string& name);
void DeclareParam(PropertySet& p, const std::string& type, const std::string& name);

}  // namespace orvanta::ofxtest
