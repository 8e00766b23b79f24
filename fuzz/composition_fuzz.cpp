// Arbitrary bytes as a composition file: loading must either build every node or fail with an
// exception, never crash, leak or read out of bounds.
#include <cstdint>
#include <vector>

#include "orvanta/host/host.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orvanta::host::LoadPluginDirectory(ORVANTA_PLUGIN_DIR);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvanta;
  // Half the inputs start with a valid header, so the fuzzer reaches the node data quickly.
  std::vector<uint8_t> bytes;
  if (size > 0 && (data[0] & 1)) {
    host::MemoryArchive head;
    head.WriteWord(FourCC("OrvC"));
    head.WriteWord(1);
    bytes = head.Bytes();
    ++data;
    --size;
  }
  bytes.insert(bytes.end(), data, data + size);
  try {
    auto nodes = host::ReadBinaryCompositionBytes(std::move(bytes), "fuzz input");
    for (auto& n : nodes) {
      host::MemoryArchive again;
      n->Save(again);
    }
  } catch (const std::exception&) {
  }
  return 0;
}
