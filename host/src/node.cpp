// Nodes: creating, rendering, saving and loading tool instances, and composition files.
#include <cstdio>
#include <cstring>

#include "state.h"

namespace orvanta::host {
namespace {

constexpr uint32_t kCompositionMark = FourCC("OrvC");
constexpr uint32_t kCompositionFormat = 1;
constexpr uint32_t kMaxNodes = 4096;

std::string Hex(uint32_t w) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", w);
  return buf;
}

ThreadedOperator* CreateOrThrow(const ClassInfo& cls, CArchive* archive) {
  if (!cls.create) throw std::runtime_error(cls.name + " has no create routine");
  TagList none;
  ThreadedOperator* op = cls.create(cls.registry, archive, &none);
  if (!op) throw std::bad_alloc();
  return op;
}

}  // namespace

Node::Node(const ClassInfo& cls) : cls_(&cls), op_(CreateOrThrow(cls, nullptr)) {}

Node::~Node() {
  if (op_) op_->DeletingDestructor(1);
}

std::unique_ptr<Node> Node::Load(CArchive& archive) {
  uint32_t word = archive.ReadWord();
  const ClassInfo* cls = FindClassByWord(word);
  if (!cls) throw UnknownClassError("no installed tool has the class word " + Hex(word));
  ThreadedOperator* op = CreateOrThrow(*cls, &archive);
  return std::unique_ptr<Node>(new Node(*cls, op));
}

int Node::Save(CArchive& archive) {
  TagList none;
  return op_->Save(&archive, &none);
}

const std::vector<Input*>& Node::Inputs() const { return op_->State()->inputList; }

Input* Node::FindInput(uint32_t id) const {
  for (auto& in : op_->State()->inputs)
    if (in->State()->desc.id == id) return in.get();
  return nullptr;
}

Output* Node::MainOutput() const {
  auto& outs = op_->State()->outputs;
  return outs.empty() ? nullptr : outs.front().get();
}

std::vector<std::string> Node::Pages() const { return op_->State()->pages; }

RenderResult Node::Render(double time) {
  RenderResult result;
  const std::string& name = cls_->displayName.empty() ? cls_->name : cls_->displayName;
  Request req(time);
  RequestState* rs = req.State();
  rs->op = op_;
  op_->State()->current = &req;
  try {
    if (!op_->CheckRequest(&req)) {
      result.error = name + ": " + (rs->error.empty() ? "the request was refused" : rs->error);
    } else {
      op_->Process(&req);
      if (!rs->result)
        result.error = name + ": the tool produced no image";
      else
        result.image = std::move(rs->result);
    }
  } catch (const std::bad_alloc&) {
    result.error = name + ": out of memory while rendering";
  } catch (const std::exception& e) {
    result.error = name + ": " + e.what();
  } catch (...) {
    result.error = name + ": the render failed";
  }
  op_->State()->current = nullptr;
  if (!result.error.empty()) result.image.reset();
  return result;
}

std::vector<uint8_t> BinaryCompositionBytes(const std::string& path, const std::vector<Node*>& nodes) {
  MemoryArchive ar;
  ar.WriteWord(kCompositionMark);
  ar.WriteWord(kCompositionFormat);
  ar.WriteWord(uint32_t(nodes.size()));
  for (Node* n : nodes)
    if (!(n->Save(ar) & 1)) throw std::runtime_error("cannot save " + path + ": a node failed to save");
  return ar.Bytes();
}

void WriteBinaryComposition(const std::string& path, const std::vector<Node*>& nodes) {
  WriteFileAtomically(path, BinaryCompositionBytes(path, nodes));
}

std::vector<std::unique_ptr<Node>> ReadBinaryComposition(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + got);
  bool bad = std::ferror(f);
  std::fclose(f);
  if (bad) throw std::runtime_error("cannot read " + path);
  return ReadBinaryCompositionBytes(std::move(bytes), path);
}

std::vector<std::unique_ptr<Node>> ReadBinaryCompositionBytes(std::vector<uint8_t> bytes,
                                                              const std::string& path) {
  MemoryArchive ar(std::move(bytes));
  std::vector<std::unique_ptr<Node>> nodes;
  try {
    if (ar.Remaining() < 12 || ar.ReadWord() != kCompositionMark)
      throw ArchiveError("it is not an Orvanta composition");
    uint32_t format = ar.ReadWord();
    if (format != kCompositionFormat)
      throw ArchiveError("its format " + std::to_string(format) + " is not known");
    uint32_t count = ar.ReadWord();
    if (count > kMaxNodes) throw ArchiveError("it claims " + std::to_string(count) + " nodes");
    for (uint32_t i = 0; i < count; ++i) nodes.push_back(Node::Load(ar));
    if (ar.Remaining() != 0)
      throw ArchiveError("it has " + std::to_string(ar.Remaining()) + " bytes of trailing data");
  } catch (const UnknownClassError& e) {
    throw UnknownClassError(path + " needs a tool that is not installed: " + e.what());
  } catch (const std::exception& e) {
    throw std::runtime_error(path + " is damaged: " + e.what());
  }
  return nodes;
}

}  // namespace orvanta::host
