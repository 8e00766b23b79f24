// Arbitrary text as a JSON composition: reading must build a graph or fail with a Failure that
// names the file, never crash, read out of bounds or throw anything else; a graph that reads
// writes a file that reads back to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "orvanta/graph/composition.h"
#include "orvanta/graph/graph.h"
#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orvanta::host::LoadPluginDirectory(ORVANTA_PLUGIN_DIR);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvanta;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string written;
  try {
    graph::Graph g = graph::ReadJsonComposition(text, "fuzz.json");
    written = graph::WriteJsonComposition(g, nullptr);
  } catch (const Failure& e) {
    if (std::string_view(e.what()).substr(0, 9) != "fuzz.json") std::abort();
    return 0;
  }
  graph::Graph again = graph::ReadJsonComposition(written, "written.json");  // must not throw
  if (graph::WriteJsonComposition(again, nullptr) != written) std::abort();
  return 0;
}
