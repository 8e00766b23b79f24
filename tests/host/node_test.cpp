// Class registry, plug-in loading, nodes, controls over time, saving and loading, and the tool
// skeleton's create and destroy paths.
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "orvanta/skeleton.h"
#include "support.h"

namespace orvanta {
namespace {

const std::string kLineDrop = std::string(ORVANTA_PLUGIN_DIR) + "/OrvantaLineDrop.so";

// A tool linked into the test, for the skeleton's failure paths.
class ProbeOperator : public Tool<ProbeOperator> {
 public:
  static constexpr ToolIdentity kIdentity = {"Probe", 0x842900F0,     "OrvaProbe",   "Prb",
                                             "Probe", "A test tool.", "Built: today"};
  static inline bool throwInConstructor = false;
  static inline bool duplicateId = false;
  static inline int inputRowsMissing = 0;  // negative: rows beyond the input slots
  static inline int liveCount = 0;
  ProbeOperator(Registry* r, CArchive* a, TagList* t) : Tool(r, a, t) {
    std::vector<Row> rows = {
        InputRow("Input", ImageDataType, MainImageId),
        InputRow("Level", NumberDataType, FourCC("LEVL"), {{InControl, SliderControl}, {InDefault, 2}}),
        ImageOutputRow()};
    if (duplicateId) rows[0] = InputRow("Again", NumberDataType, FourCC("LEVL"));
    if (inputRowsMissing > 0) rows.erase(rows.begin() + 1);
    for (int k = 0; k < -inputRowsMissing; ++k)
      rows.insert(rows.begin() + 1, InputRow("Extra", NumberDataType, FourCC("XTRA") + uint32_t(k)));
    output_ = Declare(rows, in_);
    if (throwInConstructor) throw std::runtime_error("constructor failed");
    ++liveCount;  // counted once fully built: the destructor runs only for those
  }
  ~ProbeOperator() override { --liveCount; }
  void NotifyChanged(Input* in, Parameter* value, double time) override {
    ++notifications;
    lastTime = time;
    Operator::NotifyChanged(in, value, time);
  }
  // A request: an image like the input (or of 5 x 2 in the owner form), then two passes of
  // passChunks chunks, the second reading what the whole first wrote (the first throws at chunk
  // throwAtChunk), then the image published.
  static inline int32_t passChunks = 0, throwAtChunk = -1;
  static inline bool ownerForm = false;
  void Process(Request* req) override {
    OwnedImage result = ownerForm ? NewImageOfSize(5, 2, Clearing::kCleared)
                                  : NewImageLike(ImageValue(in_[0], req), Clearing::kCleared);
    const int32_t n = passChunks;
    squares.assign(size_t(n), -1);
    sums.assign(size_t(n), -1);
    RunChunks(req, n, [this](int32_t i) {
      if (i == throwAtChunk) throw std::runtime_error("chunk " + std::to_string(i) + " failed");
      squares[size_t(i)] = int64_t(i) * i;
    });
    RunChunks(req, n,
              [this, n](int32_t i) { sums[size_t(i)] = squares[size_t(i)] + squares[size_t(n - 1 - i)]; });
    Publish(req, output_, std::move(result));
  }
  std::vector<int64_t> squares, sums;
  Input* in_[2] = {};
  Output* output_ = nullptr;
  int notifications = 0;
  double lastTime = -1;
};
ORVANTA_REGISTER_TOOL(ProbeOperator)

TEST(Registry, PluginClassAppearsOnLoadAndLeavesOnUnload) {
  host::UnloadPlugin(kLineDrop);
  EXPECT_EQ(host::FindClass("OrvantaLineDrop"), nullptr);
  host::PluginLoad load = host::LoadPlugin(kLineDrop);
  ASSERT_TRUE(load.ok) << load.error;
  ASSERT_EQ(load.classes, std::vector<std::string>{"OrvantaLineDrop"});
  const host::ClassInfo* cls = host::FindClass("orvalinedrop");  // identifier, any case
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls, host::FindClassByWord(0x84290007));
  EXPECT_EQ(cls->identifier, "OrvaLineDrop");
  EXPECT_EQ(cls->caption, "LnDr");
  EXPECT_EQ(cls->displayName, "OrvantaLineDrop");
  EXPECT_EQ(cls->helpText, "Crop certain scanlines to repair or deinterlace footage.");
  EXPECT_EQ(cls->versionTexts, (std::vector<std::string>{"Built: Oct 14 2005", "V0.9 public Beta"}));
  EXPECT_EQ(cls->brand, "Orvanta");
  EXPECT_EQ(cls->company, "Orvanta");
  EXPECT_EQ(cls->kind, 3);
  EXPECT_EQ(cls->bitmapId, 100);
  EXPECT_EQ(cls->library, kLineDrop);
  // The bitmap resource: a 116 x 87, 24-bit BMP.
  ASSERT_EQ(cls->bitmap.size(), 54u + 348u * 87u);
  EXPECT_EQ(cls->bitmap[0], 'B');
  EXPECT_EQ(cls->bitmap[18] | cls->bitmap[19] << 8, 116);
  EXPECT_EQ(cls->bitmap[22] | cls->bitmap[23] << 8, 87);
  EXPECT_EQ(cls->bitmap[28], 24);
  const std::vector<uint32_t> order = {RegInitHook,    RegCleanupHook, RegCreate,      RegClassWord,
                                       RegKind,        RegVersionText, RegBitmapId,    RegBrand,
                                       RegIdentifier,  RegCaption,     RegDisplayName, RegHelpText,
                                       RegVersionText, RegCompany,     RegWebAddress};
  ASSERT_EQ(cls->tags.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(cls->tags[i].tag, order[i]) << i;
  EXPECT_EQ(cls->tags[0].word, uint64_t(reinterpret_cast<uintptr_t>(&Operator::RegInit)));
  EXPECT_TRUE(host::UnloadPlugin(kLineDrop));
  EXPECT_EQ(host::FindClass("OrvantaLineDrop"), nullptr);
  EXPECT_EQ(host::FindClassByWord(0x84290007), nullptr);
  EXPECT_TRUE(host::LoadPlugin(kLineDrop).ok);
  EXPECT_NE(host::FindClass("OrvantaLineDrop"), nullptr);
}

TEST(Registry, BrokenPluginIsReportedWhileOthersLoad) {
  auto dir = std::filesystem::temp_directory_path() / "orvanta-broken-plugins";
  std::filesystem::create_directories(dir);
  {
    std::ofstream bad(dir / "OrvantaBroken.so");
    bad << "not an ELF file";
  }
  std::filesystem::copy_file(kLineDrop, dir / "OrvantaLineDrop.so",
                             std::filesystem::copy_options::overwrite_existing);
  auto loads = host::LoadPluginDirectory(dir.string());
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_FALSE(loads[0].ok);
  EXPECT_FALSE(loads[0].error.empty());
  EXPECT_NE(loads[0].path.find("OrvantaBroken.so"), std::string::npos);
  EXPECT_TRUE(loads[1].ok) << loads[1].error;
  host::UnloadPlugin((dir / "OrvantaLineDrop.so").string());
  std::filesystem::remove_all(dir);
}

TEST(Controls, DeclarationsKeepEveryTagAndRefuseDuplicateIds) {
  const host::ClassInfo* probe = host::FindClass("Probe");
  ASSERT_NE(probe, nullptr);
  host::Node node(*probe);
  Input* level = node.FindInput(FourCC("LEVL"));
  ASSERT_NE(level, nullptr);
  EXPECT_EQ(host::Describe(level).control, SliderControl);
  EXPECT_EQ(host::Describe(level).defaultValue, 2.0);  // an int literal became the double 2.0
  EXPECT_EQ(host::NumberAt(level, 0.0), 2.0);
  EXPECT_TRUE(host::Describe(node.FindInput(MainImageId)).IsRequired());

  int64_t before = host::testing::LiveObjects();
  ProbeOperator::duplicateId = true;
  EXPECT_THROW(host::Node bad(*probe), std::invalid_argument);
  ProbeOperator::duplicateId = false;
  EXPECT_EQ(host::testing::LiveObjects(), before);  // nothing leaked
}

TEST(Controls, SetValueNotifiesAndKeyframesInterpolate) {
  host::Node node(*host::FindClass("Probe"));
  auto* op = static_cast<ProbeOperator*>(node.Op());
  Input* level = node.FindInput(FourCC("LEVL"));
  AutoNumber five(5.0);
  level->SetValue(five, 3.0, 1);
  EXPECT_EQ(op->notifications, 1);
  EXPECT_EQ(op->lastTime, 3.0);
  EXPECT_EQ(host::NumberAt(level, 100.0), 5.0);  // a constant
  AutoNumber ten(10.0), twenty(20.0);
  level->SetValue(ten, 1.0, 2);  // keyframes
  level->SetValue(twenty, 11.0, 2);
  EXPECT_EQ(host::NumberAt(level, 0.0), 10.0);
  EXPECT_EQ(host::NumberAt(level, 6.0), 15.0);
  EXPECT_EQ(host::NumberAt(level, 50.0), 20.0);
  AutoNumber zero(0.0);
  level->SetValue(zero, 6.0, 1);  // an animated input takes a key at that time
  EXPECT_EQ(host::NumberAt(level, 6.0), 0.0);
  EXPECT_EQ(host::NumberAt(level, 3.5), 5.0);
  level->SetAttrs(TagList{{InShown, 0}, {InRangeHigh, 5.0}});
  EXPECT_FALSE(host::Describe(level).shown);
  EXPECT_EQ(host::Describe(level).rangeHigh, 5.0);
}

TEST(Controls, RequiredInputMissingRefusesTheRequest) {
  host::Node node(*host::FindClass("Probe"));
  host::RenderResult r = node.Render(0.0);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.error.find("\"Input\" is required"), std::string::npos) << r.error;
}

TEST(Skeleton, ATableThatDoesNotFillTheInputSlotsIsRefusedBeforeAnyInput) {
  const host::ClassInfo* probe = host::FindClass("Probe");
  const int64_t before = host::testing::LiveObjects();
  for (int missing : {1, -1, -5}) {
    SCOPED_TRACE(missing);
    ProbeOperator::inputRowsMissing = missing;
    try {
      host::Node bad(*probe);
      ADD_FAILURE() << "a table of the wrong size was declared";
    } catch (const std::logic_error& e) {
      const std::string rows = std::to_string(2 - missing);
      EXPECT_EQ(std::string(e.what()), "Probe declares " + rows + " inputs for 2 input slots");
    }
    EXPECT_EQ(host::testing::LiveObjects(), before);  // no input was made, nothing leaked
  }
  ProbeOperator::inputRowsMissing = 0;
  EXPECT_NO_THROW(host::Node good(*probe));
}

TEST(Skeleton, PassesOfChunksRunOneAfterTheOtherAndTheImageIsPublished) {
  host::Node node(*host::FindClass("Probe"));
  auto* op = static_cast<ProbeOperator*>(node.Op());
  auto input = host::MakeImage(4, 3, DepthFloat);
  host::Connect(node.FindInput(MainImageId), input.get(), "input");
  ProbeOperator::passChunks = 300;
  host::RenderResult r = testing::WithThreads(4, [&] { return node.Render(0.0); });
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.image->Width, 4);
  EXPECT_EQ(r.image->Height, 3);
  EXPECT_EQ(r.image->Depth, DepthFloat);
  int wrong = 0;
  for (int64_t i = 0; i < 300; ++i) wrong += op->sums[size_t(i)] != i * i + (299 - i) * (299 - i);
  EXPECT_EQ(wrong, 0) << "the second pass read chunks of the first that had not run";

  // The owner form: the given size, the depth of the main image input, cleared.
  ProbeOperator::ownerForm = true;
  r = node.Render(0.0);
  ProbeOperator::ownerForm = false;
  ProbeOperator::passChunks = 0;
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.image->Width, 5);
  EXPECT_EQ(r.image->Height, 2);
  EXPECT_EQ(r.image->Depth, DepthFloat);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 5; ++x) EXPECT_EQ(testing::AtFlt(r.image.get(), x, y), (FltPixel{0, 0, 0, 0}));
}

TEST(Skeleton, AChunksExceptionEndsItsPassAndReleasesTheRequestsImage) {
  host::Node node(*host::FindClass("Probe"));
  auto* op = static_cast<ProbeOperator*>(node.Op());
  auto input = host::MakeImage(4, 3, Depth16);
  host::Connect(node.FindInput(MainImageId), input.get(), "input");
  const int64_t before = host::testing::LiveObjects();
  ProbeOperator::passChunks = 50;
  ProbeOperator::throwAtChunk = 17;
  host::RenderResult r = testing::WithThreads(3, [&] { return node.Render(0.0); });
  ProbeOperator::passChunks = 0;
  ProbeOperator::throwAtChunk = -1;
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.error.find("chunk 17 failed"), std::string::npos) << r.error;
  EXPECT_EQ(host::testing::LiveObjects(), before);    // the image made for the request went
  EXPECT_EQ(op->sums, std::vector<int64_t>(50, -1));  // the second pass never ran
  op->squares.assign(50, -7);
  op->ProcessChunk(nullptr, 3);  // outside a pass a chunk does nothing
  EXPECT_EQ(op->squares[3], -7);
}

TEST(Skeleton, CreateReturnsNullWhenAllocationFails) {
  const host::ClassInfo* probe = host::FindClass("Probe");
  host::testing::FailAllocationsAfter(0);
  TagList none;
  ThreadedOperator* op = probe->create(probe->registry, nullptr, &none);
  host::testing::FailAllocationsAfter(-1);
  EXPECT_EQ(op, nullptr);
  EXPECT_EQ(ProbeOperator::liveCount, 0);  // the constructor never ran
  host::testing::FailAllocationsAfter(0);
  EXPECT_THROW(host::Node n(*probe), std::bad_alloc);
  host::testing::FailAllocationsAfter(-1);
}

TEST(Skeleton, ConstructorExceptionFreesTheMemoryAndPassesOn) {
  const host::ClassInfo* probe = host::FindClass("Probe");
  int64_t before = host::testing::LiveObjects();
  ProbeOperator::throwInConstructor = true;
  TagList none;
  EXPECT_THROW(probe->create(probe->registry, nullptr, &none), std::runtime_error);
  ProbeOperator::throwInConstructor = false;
  EXPECT_EQ(host::testing::LiveObjects(), before);
}

TEST(Skeleton, DeletingDestructorFreesOnlyWithBitZero) {
  const host::ClassInfo* probe = host::FindClass("Probe");
  TagList none;
  int64_t before = host::testing::LiveObjects();
  ThreadedOperator* op = probe->create(probe->registry, nullptr, &none);
  ASSERT_NE(op, nullptr);
  int64_t alive = host::testing::LiveObjects();
  void* same = op->DeletingDestructor(0);
  EXPECT_EQ(same, static_cast<void*>(op));
  EXPECT_EQ(ProbeOperator::liveCount, 0);              // destroyed
  EXPECT_EQ(host::testing::LiveObjects(), alive - 3);  // its two inputs and output went
  Object::operator delete(same);                       // its own memory was left
  EXPECT_EQ(host::testing::LiveObjects(), before);
  op = probe->create(probe->registry, nullptr, &none);
  op->DeletingDestructor(1);
  EXPECT_EQ(host::testing::LiveObjects(), before);
}

TEST(Persistence, SaveWrapsHostDataInTheTrailerAndLoadConsumesIt) {
  const host::ClassInfo& cls = testing::LoadTool("OrvantaLineDrop");
  host::Node node(cls);
  testing::Set(node, FourCC("BSCH"), 3);
  Input* crop = node.FindInput(FourCC("CSCH"));
  host::SetKeys(crop, {{1.0, 2.0, 0.0}, {9.0, 6.0, 0.0}});
  host::Connect(node.FindInput(MainImageId), static_cast<Image*>(nullptr), "");
  host::MemoryArchive out;
  EXPECT_EQ(node.Save(out), 1);
  const std::vector<uint8_t>& b = out.Bytes();
  ASSERT_GE(b.size(), 12u);
  auto word = [&](size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
  };
  EXPECT_EQ(word(0), 0x84290007u);
  EXPECT_EQ(word(b.size() - 8), 0u);
  EXPECT_EQ(word(b.size() - 4), EndMark);

  // Followed by one more word that must be left for the caller.
  std::vector<uint8_t> withExtra = b;
  withExtra.insert(withExtra.end(), {0xAA, 0xBB, 0xCC, 0xDD});
  host::MemoryArchive in(withExtra);
  auto loaded = host::Node::Load(in);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(in.Remaining(), 4u);
  EXPECT_EQ(in.ReadWord(), 0xDDCCBBAAu);
  EXPECT_EQ(testing::Get(*loaded, FourCC("BSCH")), 3.0);
  EXPECT_EQ(testing::Get(*loaded, FourCC("CSCH"), 5.0), 4.0);  // the keyframes came back

  // The trailer words are not compared with anything.
  host::MemoryArchive odd;
  odd.Write(b.data(), b.size() - 8);
  odd.WriteWord(7);
  odd.WriteWord(FourCC("Junk"));
  host::MemoryArchive oddIn(odd.Bytes());
  EXPECT_NO_THROW(host::Node::Load(oddIn));
}

TEST(Persistence, TruncatedOrForeignArchivesAreErrorsNotCrashes) {
  host::Node node(testing::LoadTool("OrvantaLineDrop"));
  host::MemoryArchive out;
  node.Save(out);
  const std::vector<uint8_t>& b = out.Bytes();
  int64_t before = host::testing::LiveObjects();
  for (size_t cut = 0; cut < b.size(); ++cut) {
    host::MemoryArchive in(std::vector<uint8_t>(b.begin(), b.begin() + cut));
    EXPECT_ANY_THROW(host::Node::Load(in)) << "cut at " << cut;
  }
  EXPECT_EQ(host::testing::LiveObjects(), before);
  host::MemoryArchive foreign(std::vector<uint8_t>{0x01, 0x00, 0x29, 0x99});
  try {
    host::Node::Load(foreign);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("0x99290001"), std::string::npos) << e.what();
  }
}

TEST(Persistence, CompositionFilesRoundTripAndDamageIsNamed) {
  auto path = (std::filesystem::temp_directory_path() / "orvanta-node-test.orvc").string();
  host::Node node(testing::LoadTool("OrvantaLineDrop"));
  testing::Set(node, FourCC("SCOH"), 1);
  host::SaveComposition(path, {&node});
  auto nodes = host::LoadComposition(path);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(testing::Get(*nodes[0], FourCC("SCOH")), 1.0);
  {  // a class word that no loaded tool has is named as such, not as damage
    host::MemoryArchive ar;
    for (uint32_t w : {FourCC("OrvC"), 1u, 1u, 0x842900EEu}) ar.WriteWord(w);
    try {
      host::LoadCompositionBytes(ar.Bytes(), "other.orvc");
      ADD_FAILURE();
    } catch (const host::UnknownClassError& e) {
      EXPECT_NE(std::string(e.what()).find("not installed"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("0x842900EE"), std::string::npos) << e.what();
    }
  }
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 3);
  try {
    host::LoadComposition(path);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace orvanta
