// Prints the declarations text of each named tool, for writing the golden files again when a
// tool's declarations change on purpose:
//   declarations_dump PLUGIN_DIR OrvantaRaster > tests/golden/declarations/OrvantaRaster.txt
#include <iostream>

#include "declarations_text.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: declarations_dump PLUGIN_DIR TOOL...\n";
    return 2;
  }
  for (const auto& load : orvanta::host::LoadPluginDirectory(argv[1]))
    if (!load.ok) std::cerr << load.path << ": " << load.error << "\n";
  for (int i = 2; i < argc; ++i) {
    const orvanta::host::ClassInfo* cls = orvanta::host::FindClass(argv[i]);
    if (!cls) {
      std::cerr << "no tool " << argv[i] << "\n";
      return 1;
    }
    std::cout << orvanta::testing::DeclarationsText(*cls);
  }
  return 0;
}
