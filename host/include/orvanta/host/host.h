// The host runtime's own interface, for the command, the tests and the benchmarks: plug-in
// loading, the class registry, nodes with their controls, rendering and compositions. Tools never
// include this header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/operator.h"

namespace orvanta::host {

// ---- errors ---------------------------------------------------------------------------------

// An image larger than the memory budget, refused before any allocation.
class ImageBudgetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A saved node whose class word no installed tool has.
class UnknownClassError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- class registry -------------------------------------------------------------------------

struct RegistryTag {
  uint32_t tag;
  TagKind kind;
  uint64_t word;     // word tags (also routines, as addresses)
  std::string text;  // text tags
  double number;     // double tags
};

struct ClassInfo {
  std::string name;  // as given to the Registry constructor
  uint32_t classWord = 0;
  CreateFn create = nullptr;
  std::string identifier, caption, displayName, helpText, brand, company, webAddress;
  std::vector<std::string> versionTexts;  // in the order given
  int32_t kind = 0, bitmapId = 0;
  std::vector<uint8_t> bitmap;    // the library's bitmap resource of bitmapId (BMP bytes)
  std::vector<RegistryTag> tags;  // every registry tag, in order
  std::string library;            // path of the plug-in that registered it ("" when linked in)
  Registry* registry = nullptr;
};

// Classes currently registered, in registration order.
std::vector<const ClassInfo*> Classes();
// By display name, identifier or registry name, case-insensitive.
const ClassInfo* FindClass(std::string_view name);
const ClassInfo* FindClassByWord(uint32_t classWord);

// ---- plug-ins -------------------------------------------------------------------------------

struct PluginLoad {
  std::string path;
  bool ok = false;
  std::string error;                 // why it failed to load
  std::vector<std::string> classes;  // names of the classes it registered
};

// Opens one plug-in with dlopen; its static Registry record adds its class.
PluginLoad LoadPlugin(const std::string& path);
// Opens every *.so in dir, in name order; a failing one is reported and the rest still load.
std::vector<PluginLoad> LoadPluginDirectory(const std::string& dir);
// Closes a plug-in opened by LoadPlugin (its class leaves the registry); false if not open.
bool UnloadPlugin(const std::string& path);
void UnloadAllPlugins();

// ---- controls -------------------------------------------------------------------------------

struct ControlDescription {
  std::string label;
  uint32_t type = 0;  // data type
  uint32_t id = 0;
  uint32_t control = 0;  // control kind, 0 when none given
  std::string page;      // the control page it sits on ("" = the tool's default page)
  int32_t group = -1, groupIndex = -1;
  std::string groupLabel;
  std::optional<double> rangeLow, rangeHigh, limitLow, limitHigh, defaultValue;
  bool wholeNumbers = false;
  std::vector<std::string> items;
  std::optional<int32_t> rowCount;
  bool shown = true;
  std::optional<bool> required;  // as declared; image inputs without the tag are required
  std::optional<int32_t> linkOption;
  std::optional<int32_t> listOption;
  uint32_t previewControl = 0;
  TagList declaredTags;  // the declaration's tags, in order (text pointers not kept)

  bool IsImage() const { return type == ImageDataType; }
  bool IsRequired() const { return IsImage() && required.value_or(true); }
};

struct Key {
  double time;
  double x;  // the number, or a point's x
  double y;  // a point's y
};

// Host-side view of a node's input.
const ControlDescription& Describe(const Input* in);
// Keyframes of a number or point input (empty: the default holds).
std::vector<Key> Keys(const Input* in);
// Replaces the keyframes; no notification. Animated when there is more than one key, or as told.
void SetKeys(Input* in, std::vector<Key> keys);
void SetKeys(Input* in, std::vector<Key> keys, bool animated);
// Whether the input's keys are keyframes (else one key is a constant).
bool IsAnimated(const Input* in);
// Number or point value at a time.
double NumberAt(const Input* in, double time);
Point PointAt(const Input* in, double time);

// A number input driven from elsewhere (an expression, another node's value): every request gets
// this value instead of the input's keys, which stay as they are. Range, items and checkbox values
// do not limit it; a tool receives it as its host would deliver a connected value.
void Drive(Input* in, double value);
void Undrive(Input* in);
std::optional<double> DrivenValue(const Input* in);

// Where an image input takes its image from: a fixed image (not owned), or a source asked per
// time. The name is what a saved composition keeps (a file path, for the command).
using ImageSource = std::function<Image*(double time)>;
void Connect(Input* in, Image* image, std::string name = "");
void Connect(Input* in, ImageSource source, std::string name);
void Disconnect(Input* in);
bool IsConnected(const Input* in);
const std::string& SourceName(const Input* in);

// ---- nodes ----------------------------------------------------------------------------------

struct ImageDeleter {
  void operator()(Image* im) const;
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

struct RenderResult {
  ImagePtr image;
  std::string error;  // one sentence when the render failed
  bool ok() const { return image != nullptr && error.empty(); }
};

class Node {
 public:
  // A new node of the class; throws what the constructor throws, std::bad_alloc when the create
  // callback returned null.
  explicit Node(const ClassInfo& cls);
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Reads one saved node: class word, then the class's own reading. Throws ArchiveError (or
  // std::runtime_error for an unknown class) and builds nothing on failure.
  static std::unique_ptr<Node> Load(CArchive& archive);
  // Writes the node (class word, host data, 0, "EndC"); returns the tool's Save result.
  int Save(CArchive& archive);

  const ClassInfo& Class() const { return *cls_; }
  ThreadedOperator* Op() const { return op_; }
  const std::vector<Input*>& Inputs() const;
  Input* FindInput(uint32_t id) const;
  Output* MainOutput() const;
  std::vector<std::string> Pages() const;  // in declaration order

  // Renders one request at time; never throws. The image is read, not written: its rows may be
  // rows of the input images (see Image::ShareRow), which it keeps alive.
  RenderResult Render(double time);

 private:
  Node(const ClassInfo& cls, ThreadedOperator* op) : cls_(&cls), op_(op) {}
  const ClassInfo* cls_;
  ThreadedOperator* op_;
};

// ---- images ---------------------------------------------------------------------------------

// The order of an image's samples in memory: BGRA (the host's own images) or RGBA (other hosts'
// images read in place, see ScopedRenderTarget). Images of custom storage count as BGRA.
enum class SampleOrder { kBgra, kRgba };
SampleOrder OrderOf(const Image* im);
// Makes im an image of the host's storage format of depth (16-bit for anything but 32 and 128)
// and order: its depth, pixel size, storage and access routines. Its rows stay the caller's: for
// a front-end that wraps another program's pixels.
void UseStorageFormat(Image& im, uint32_t depth, SampleOrder order);

// A new image of the given depth (32, 64 or 128), owned by the caller; cleared unless the
// caller says it writes every pixel itself (clear false). The images a tool makes take the
// sample order of the image they are like, or of the request's main input.
ImagePtr MakeImage(int32_t width, int32_t height, uint32_t depth, bool clear = true,
                   SampleOrder order = SampleOrder::kBgra);
size_t ImageBytes(const Image* im);
// Bytes of row y, width * BytesPerPixel long.
uint8_t* RowBytes(const Image* im, int32_t y);

// Largest image, in bytes, that NewImage accepts. Default: half the machine's memory.
void SetImageBudget(uint64_t bytes);
uint64_t ImageBudget();

// For programs that make and free frame-sized images over and over (a sequence, a benchmark):
// keeps freed memory in the process heap (images up to 32 MiB from the heap, no trimming), so the
// next image reuses pages already mapped instead of faulting in fresh ones, which costs more than
// most tools' own work per frame.
void KeepFreedImageMemory();

// ---- workers --------------------------------------------------------------------------------

// Worker count for DoMultiProcess (0 = all cores).
void SetThreadCount(int32_t n);
int32_t ThreadCount();

// Runs fn(i) for i in 0..n-1 where DoMultiProcess would run chunks made on this thread (the
// thread team in force, else the pool) and returns when all calls are done; n <= 0 runs nothing.
// The first exception is rethrown once every running call has returned. For a front-end's own
// passes over the pixels of a render's result.
void RunChunks(int32_t n, const std::function<void(int32_t)>& fn);

// A front-end's own threads. team(work) runs work once on each of its threads (the calling one
// may be among them) and returns when every run has returned; work never throws.
using ThreadTeam = std::function<void(const std::function<void()>& work)>;

// While a ScopedThreadTeam lives, the chunks of DoMultiProcess and RunChunks called on the thread
// that made it run on the team instead of the worker pool, which is then neither used nor started:
// each run of work takes chunk indices until none is left. After a chunk throws no new chunk
// starts, and the first exception reaches the caller once team() has returned; chunks the team
// left undone run on the calling thread. Made and destroyed on one thread; scopes nest, the
// innermost rules.
class ScopedThreadTeam {
 public:
  explicit ScopedThreadTeam(ThreadTeam team);
  ~ScopedThreadTeam();
  ScopedThreadTeam(const ScopedThreadTeam&) = delete;
  ScopedThreadTeam& operator=(const ScopedThreadTeam&) = delete;

 private:
  ThreadTeam team_;
  const ThreadTeam* outer_;
};

// ---- sizes ----------------------------------------------------------------------------------

// While a ScopedSizing lives, renders on the thread that made it only size their images:
// DoMultiProcess runs no chunk and the host's image operations (copy, resize, blur, merge, fill)
// leave pixels as they are. A render then publishes an image of the size and depth a full render
// would give, with pixels of no meaning; its cost is the tool's gathering of controls. For asking
// what size a node's output has without doing its work. Made and destroyed on one thread.
class ScopedSizing {
 public:
  ScopedSizing();
  ~ScopedSizing();
  ScopedSizing(const ScopedSizing&) = delete;
  ScopedSizing& operator=(const ScopedSizing&) = delete;
};

// ---- render targets -------------------------------------------------------------------------

// While a ScopedRenderTarget lives, the first image that a render on the thread that made it
// makes (NewImage, either form) of the target's width, height, depth and sample order is made in
// the target's pixels: a tool that makes its result so writes it in place. The target is an
// image of one of the host's storage formats (throws std::invalid_argument otherwise) whose
// pixels outlive every image made in them; its rows may be anywhere (a front-end wraps another
// program's memory). Whether the result landed in place is for the caller to see, row by row
// (a tool may make another image of that kind first, or share rows of its input): compare the
// result's row addresses with the target's. Made and destroyed on one thread; scopes nest.
class ScopedRenderTarget {
 public:
  explicit ScopedRenderTarget(const Image* target);
  ~ScopedRenderTarget();
  ScopedRenderTarget(const ScopedRenderTarget&) = delete;
  ScopedRenderTarget& operator=(const ScopedRenderTarget&) = delete;

 private:
  const Image* outer_;
  bool outerTaken_;
};

// ---- compositions ---------------------------------------------------------------------------

// The binary composition format (the host's archive): "OrvC", a format word, a node count, then
// each node as Node::Save writes it. Writing goes to a temporary name and is renamed into place.
// Graphs and JSON compositions are io/'s (io::SaveCompositionFile, io::LoadCompositionFile).
void WriteBinaryComposition(const std::string& path, const std::vector<Node*>& nodes);
std::vector<std::unique_ptr<Node>> ReadBinaryComposition(const std::string& path);
// The same from bytes already read; path names them in errors.
std::vector<std::unique_ptr<Node>> ReadBinaryCompositionBytes(std::vector<uint8_t> bytes,
                                                              const std::string& path);

// Memory and file archives.
class MemoryArchive : public CArchive {
 public:
  MemoryArchive() : CArchive(false) {}  // for writing
  explicit MemoryArchive(std::vector<uint8_t> bytes) : CArchive(true), bytes_(std::move(bytes)) {}
  void Read(void* dst, size_t n) override;
  void Write(const void* src, size_t n) override;
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  size_t Position() const { return pos_; }
  size_t Remaining() const { return bytes_.size() - pos_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t pos_ = 0;
};

class FileArchive : public CArchive {
 public:
  // mode "r" reads, "w" writes; throws ArchiveError when the file cannot be opened.
  FileArchive(const std::string& path, const char* mode);
  ~FileArchive() override;
  void Read(void* dst, size_t n) override;
  void Write(const void* src, size_t n) override;
  void Close();  // flushes; throws ArchiveError on a failed write

 private:
  std::string path_;
  std::FILE* f_ = nullptr;
};

// Writes bytes to path through a temporary file in the same folder and a rename, so the final
// name never holds a partial file. Throws std::runtime_error naming the path on failure.
void WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes);

// Creates a new file beside path under a name no one can guess (stem.tmp-RANDOM.ext), with
// O_CREAT | O_EXCL | O_NOFOLLOW, so a planted file or link there is never opened; the mode is the
// umask's as for any new file (0666, or 0777 when executable). Returns the open read-write
// descriptor, which the caller owns, and sets tempPath; -1 with errno set on failure. Any thread.
int CreateExclusiveFile(const std::string& path, std::string& tempPath, bool executable = false);

// The composition file's bytes for the nodes, as WriteBinaryComposition writes them. Throws
// std::runtime_error naming path when a node fails to save.
std::vector<uint8_t> BinaryCompositionBytes(const std::string& path, const std::vector<Node*>& nodes);

// ---- test hooks -----------------------------------------------------------------------------
namespace testing {
// The next n host allocations succeed, then they fail (-1 = never fail).
void FailAllocationsAfter(int64_t n);
// Host-allocated objects currently alive.
int64_t LiveObjects();
// While on, images made without clearing (ImUncleared, copies) start as 0xA5 bytes instead of
// whatever the memory held, so a pixel their maker failed to write shows.
void PoisonUnclearedImages(bool on);
}  // namespace testing

}  // namespace orvanta::host
