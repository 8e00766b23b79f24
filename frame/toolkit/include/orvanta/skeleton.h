// The tool skeleton, written once: registry record, create callback, declaration table, save
// trailer, request check and deleting destructor, the images a tool makes for a request and the
// passes of chunks it runs. A tool states its identity and its table:
//
//   class RasterOperator : public Tool<RasterOperator> {
//    public:
//     static constexpr ToolIdentity kIdentity = {...};
//     enum { kInput, ..., kInputCount };
//     RasterOperator(Registry* r, CArchive* a, TagList* t) : Tool(r, a, t) {
//       output_ = Declare(Declarations(), in_);  // Input* in_[kInputCount]
//     }
//     ...
//   };
//   ORVANTA_REGISTER_TOOL(RasterOperator)
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "orvanta/operator.h"

namespace orvanta {

inline constexpr const char* kBetaVersionText = "V0.9 public Beta";
inline constexpr const char* kBrand = "Orvanta";
inline constexpr const char* kWebAddress = "https://www.orvanta-tools.example/";
inline constexpr int32_t kBitmapId = 100;
inline constexpr int32_t kRegKindTool = 3;
inline constexpr int32_t kBitmapWidth = 116;
inline constexpr int32_t kBitmapHeight = 87;

// The library's bitmap resource as BMP file bytes (null for an unknown id).
const uint8_t* BitmapResource(int32_t id, size_t* size);

struct ToolIdentity {
  const char* registryName;  // the name handed to the Registry constructor
  uint32_t classWord;
  const char* identifier;
  const char* caption;
  const char* displayName;
  const char* helpText;
  const char* buildText;
};

// One row of a tool's declaration table: an input, a control page or the output.
struct Row {
  enum Kind { kInput, kPage, kOutput } kind;
  const char* label;
  uint32_t type;
  uint32_t id;
  TagList tags;
};

inline Row InputRow(const char* label, uint32_t type, uint32_t id, TagList tags = {}) {
  return Row{Row::kInput, label, type, id, std::move(tags)};
}
inline Row PageRow(const char* label) { return Row{Row::kPage, label, 0, 0, {}}; }
inline Row ImageOutputRow() { return Row{Row::kOutput, "Image", ImageDataType, ImageOutputId, {}}; }

// One entry of a table: a row, or a run of rows that a helper below makes.
struct TableEntry {
  TableEntry(Row row) { rows.push_back(std::move(row)); }
  TableEntry(std::vector<Row> run) : rows(std::move(run)) {}
  std::vector<Row> rows;
};

// The rows of the entries, in order.
std::vector<Row> Table(std::initializer_list<TableEntry> entries);

// Ids of the channel checkboxes, the same in every tool that has them.
inline constexpr uint32_t RedCheckboxId = 0x684364D2;
inline constexpr uint32_t GreenCheckboxId = 0x68436EC7;
inline constexpr uint32_t BlueCheckboxId = 0x68436CC2;
inline constexpr uint32_t AlphaCheckboxId = 0x68436CC1;

enum class Channels { kRgb, kRgba };

// The checkboxes Red, Green, Blue (and Alpha), ticked by default and laid out on one row; extra
// tags follow the shared ones on each.
std::vector<Row> ChannelCheckboxRows(Channels channels, const TagList& extra = {});

// One member of a colour: its label, id and default value.
struct ColourMember {
  const char* label;
  uint32_t id;
  double defaultValue = 0.0;
};

// The controls of one colour: members 0, 1, ... of control group `group`, red first, each 0..1,
// with the group's heading on the colour members (0 to 2, not alpha); extra tags follow on each.
std::vector<Row> ColourRows(const char* heading, int32_t group, std::initializer_list<ColourMember> members,
                            const TagList& extra = {});

// Declares the rows in order: the handle of the k-th input row goes to inputs[k], and the
// output's is returned. Throws std::logic_error naming the tool, before declaring anything, when
// the table's input rows do not fill inputs exactly.
Output* DeclareRows(Operator* op, const char* tool, const std::vector<Row>& rows, std::span<Input*> inputs);

// Truncation toward zero into signed 32 bits; NaN gives 0 and out-of-range values saturate, so a
// degenerate control value can never cause undefined behaviour.
inline int32_t TruncToInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return int32_t(v);
}

// Truncation toward zero into an unsigned pixel word; NaN and negatives give 0.
inline uint32_t TruncToWord(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 4294967295.0) return 0xFFFFFFFFu;
  return uint32_t(v);
}

// Control values of a request.
double NumberValue(Input* in, Request* req);
int32_t WholeValue(Input* in, Request* req);
Image* ImageValue(Input* in, Request* req);
Point PointValue(Input* in, Request* req);

// Sets a number or point through the set-value operation, as a host UI would.
void SetNumberValue(Input* in, double value, double time);
void SetPointValue(Input* in, double x, double y, double time);
void SetShown(Input* in, bool shown);

// An image the tool made and holds: recycled on every way out unless released to the host.
struct ImageRecycler {
  void operator()(Image* im) const { im->Recycle(); }
};
using OwnedImage = std::unique_ptr<Image, ImageRecycler>;

// Whether a new image starts cleared to transparent black, or uncleared because the tool writes
// every pixel before anything reads it.
enum class Clearing { kCleared, kUncleared };

// A new image of the size and depth of like. Throws what NewImage throws.
OwnedImage NewImageLike(const Image* like, Clearing clearing);

// The tags of a new image in the owner form: width x height, in the host's storage format, of
// the depth of the request's main image input.
TagList OwnerImageTags(ImageOwner* owner, int32_t width, int32_t height, Clearing clearing);

template <class T>
class Tool : public ThreadedOperator {
 public:
  static ThreadedOperator* Create(Registry* reg, CArchive* archive, TagList* tags) {
    void* mem = Object::operator new(sizeof(T), std::nothrow);
    if (!mem) return nullptr;
    try {
      return ::new (mem) T(reg, archive, tags);
    } catch (...) {
      Object::operator delete(mem);
      throw;
    }
  }

  int Save(CArchive* archive, TagList* tags) override {
    archive->WriteWord(T::kIdentity.classWord);
    int result = Operator::Save(archive, tags);
    archive->WriteWord(0);
    archive->WriteWord(EndMark);
    return result & 1;
  }

  int CheckRequest(Request* req) override {
    (void)req->GetPri();
    return Operator::CheckRequest(req);
  }

  // A chunk of the pass RunChunks is running; tools that run their chunks with DoMultiProcess
  // override this instead.
  void ProcessChunk(Request*, int32_t index) override {
    if (pass_.run) pass_.run(pass_.chunk, index);
  }

  void* DeletingDestructor(uint32_t flags) override {
    T* self = static_cast<T*>(this);
    self->~T();
    if (flags & 1u) Object::operator delete(self);
    return self;
  }

  static TagList RegistryTags() {
    const ToolIdentity& id = T::kIdentity;
    return TagList{
        {RegInitHook, &Operator::RegInit},
        {RegCleanupHook, &Operator::RegCleanup},
        {RegCreate, &Tool<T>::Create},
        {RegClassWord, id.classWord},
        {RegKind, kRegKindTool},
        {RegVersionText, id.buildText},
        {RegBitmapId, kBitmapId},
        {RegBrand, kBrand},
        {RegIdentifier, id.identifier},
        {RegCaption, id.caption},
        {RegDisplayName, id.displayName},
        {RegHelpText, id.helpText},
        {RegVersionText, kBetaVersionText},
        {RegCompany, kBrand},
        {RegWebAddress, kWebAddress},
    };
  }

 protected:
  // A new image of width x height in the owner form (OwnerImageTags). Throws what NewImage
  // throws.
  OwnedImage NewImageOfSize(int32_t width, int32_t height, Clearing clearing) {
    return OwnedImage(NewImage(OwnerImageTags(Owner, width, height, clearing)));
  }

  // Hands the image to the host as the request's result on out.
  static void Publish(Request* req, Output* out, OwnedImage image) { out->Set(req, image.release()); }

  // Runs n chunks that fill image, then publishes it on out; a chunk's exception releases the
  // image and passes on.
  void RunChunksAndPublish(Request* req, Output* out, OwnedImage image, int32_t n) {
    DoMultiProcess(req, n);
    Publish(req, out, std::move(image));
  }

  // Runs chunk(i) for i in 0..n-1 on the host's workers and returns when all are done, as
  // DoMultiProcess does (a chunk's exception reaches the caller once all chunks stopped). For
  // requests that run more than one pass of chunks (a search, then a merge): each pass names its
  // own work, and the tool leaves ProcessChunk to the skeleton. Called from Process.
  template <class Chunk>
  void RunChunks(Request* req, int32_t n, const Chunk& chunk) {
    static_assert(std::is_same_v<decltype(&T::ProcessChunk), decltype(&Tool::ProcessChunk)>,
                  "a tool that runs passes with RunChunks leaves ProcessChunk to the skeleton");
    pass_ = Pass{&chunk, [](const void* c, int32_t i) { (*static_cast<const Chunk*>(c))(i); }};
    struct EndPass {
      Pass& pass;
      ~EndPass() { pass = Pass{}; }
    } end{pass_};
    DoMultiProcess(req, n);
  }

  Tool(Registry* reg, CArchive* archive, TagList* tags)
      : ThreadedOperator(reg, archive, tags), archive_(archive) {}

  // Declares the table into the tool's input slots (one per value of its input enum; see
  // DeclareRows), then, when loading, reads and discards the trailer's two words (0 and "EndC"),
  // which follow the host's data.
  template <size_t N>
  Output* Declare(const std::vector<Row>& rows, Input* (&inputs)[N]) {
    Output* out = DeclareRows(this, T::kIdentity.registryName, rows, std::span<Input*>(inputs, N));
    if (archive_) {
      (void)archive_->ReadWord();
      (void)archive_->ReadWord();
      archive_ = nullptr;
    }
    return out;
  }

 private:
  // The pass RunChunks is running: its chunk callable and how to call it.
  struct Pass {
    const void* chunk = nullptr;
    void (*run)(const void* chunk, int32_t index) = nullptr;
  };

  CArchive* archive_;
  Pass pass_;
};

}  // namespace orvanta

// The library's one static registry record, and the entry point through which the host reads
// the library's bitmap resource; place it inside namespace orvanta.
#define ORVANTA_REGISTER_TOOL(T)                                                                         \
  static ::orvanta::Registry g_registry_##T(&::orvanta::ClassRegistry, T::kIdentity.registryName,        \
                                            T::RegistryTags());                                          \
  extern "C" __attribute__((visibility("default"))) const uint8_t* OrvantaBitmapResource(int32_t id,     \
                                                                                         size_t* size) { \
    return ::orvanta::BitmapResource(id, size);                                                          \
  }
