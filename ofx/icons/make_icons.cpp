// Writes the bundle's icons: for every tool in a plug-in folder, its bitmap resource as
// <identifier>.png in the output folder. Usage: orvanta_ofx_icons PLUGIN_DIR OUTPUT_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "../src/identity.h"
#include "png.h"

int main(int argc, char** argv) {
  using namespace orvanta;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PLUGIN_DIR OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  int failures = 0;
  for (const host::PluginLoad& load : host::LoadPluginDirectory(argv[1]))
    if (!load.ok) {
      std::fprintf(stderr, "%s: %s\n", load.path.c_str(), load.error.c_str());
      ++failures;
    }
  std::filesystem::create_directories(argv[2]);
  for (const host::ClassInfo* cls : host::Classes()) {
    const std::string path = std::string(argv[2]) + "/" + ofx::IdentifierOf(*cls) + ".png";
    try {
      const std::vector<uint8_t> png = ofx::EncodePng(ofx::DecodeBmp(cls->bitmap));
      std::ofstream f(path, std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
      if (!f.flush()) throw std::runtime_error("cannot write " + path);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", cls->name.c_str(), e.what());
      ++failures;
    }
  }
  host::UnloadAllPlugins();
  return failures ? 1 : 0;
}
