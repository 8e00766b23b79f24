// What the image reader, the image writer and the file header share inside io: the image
// library's description of a picture, its messages made one line, quiet calls into it, and the
// red/blue swap between file order (RGBA) and memory order (BGRA).
#pragma once

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "orvanta/io/header.h"

namespace orvanta::io {

// Rows are read and written a block at a time, so that reading and writing cost little beyond the
// image itself.
constexpr int32_t kBlockRows = 32;

struct FileHeader::Data {
  std::string path, format;
  OIIO::ImageSpec spec;       // windows, channel names and formats, and the attributes a copy keeps
  int colour[3] = {0, 1, 2};  // file channels of red, green and blue (all one for grey)
  int colourCount = 3;
  int alpha = -1;                          // file channel of alpha, -1 for none
  std::vector<int> extras;                 // file channels of the others, in file order
  std::vector<OIIO::TypeDesc> extraTypes;  // their stored sample types
  std::vector<uint8_t> extraSamples;       // their samples, pixel by pixel, as stored
  size_t extraPixelBytes = 0;
  OIIO::TypeDesc colourType;  // the stored type of the colour channels (of a file mixing types too)
  int bits = 0;               // bits per stored sample of those (10 for 10-bit DPX, 16 for half)
  AlphaConvention convention = AlphaConvention::Straight;
  std::string colourSpace;  // the file's tag, or what its reader assumes; "" for none
  int part = 0, parts = 1;
};

// OpenImageIO's messages can span lines; the command reports one line.
std::string OneLine(std::string s);

// Keeps the image libraries' own complaints (libpng prints to stderr) off the terminal while a
// call into them runs; their errors still reach us through geterror(). Safe on several threads.
class QuietStderr {
 public:
  QuietStderr();
  ~QuietStderr();
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;
};

// One row of RGBA pixels as BGRA or back (the swap is its own inverse), a pixel a word.
template <class T, class Word>
void SwapRedBlueWords(const T* in, T* out, int32_t width) {
  static_assert(sizeof(Word) == 4 * sizeof(T));
  constexpr int kBits = 8 * sizeof(T);
  constexpr Word kSample = (Word(1) << kBits) - 1;
  constexpr Word kGreenAlpha = (kSample << kBits) | (kSample << (3 * kBits));
  for (int32_t x = 0; x < width; ++x, in += 4, out += 4) {
    Word p;
    std::memcpy(&p, in, sizeof p);
    p = (p & kGreenAlpha) | ((p & kSample) << (2 * kBits)) | ((p >> (2 * kBits)) & kSample);
    std::memcpy(out, &p, sizeof p);
  }
}
inline void SwapRedBlue(const uint8_t* in, uint8_t* out, int32_t width) {
  SwapRedBlueWords<uint8_t, uint32_t>(in, out, width);
}
inline void SwapRedBlue(const uint16_t* in, uint16_t* out, int32_t width) {
  SwapRedBlueWords<uint16_t, uint64_t>(in, out, width);
}
inline void SwapRedBlue(const float* in, float* out, int32_t width) {
  for (int32_t x = 0; x < width; ++x, in += 4, out += 4) {
    const float r = in[0], g = in[1], b = in[2], a = in[3];
    out[0] = b, out[1] = g, out[2] = r, out[3] = a;
  }
}

// The sample type of host images of a depth.
OIIO::TypeDesc MemoryType(uint32_t depth);
// "8-bit", "10-bit", "half", ...; bits is the stored bits per sample of integer types (0: all).
std::string SampleText(OIIO::TypeDesc type, int bits = 0);
// The stored bits per sample of an integer file (10 for 10-bit DPX), else the type's own.
int StoredBits(const OIIO::ImageSpec& spec);

// The header of the current picture of an open file (after seek_subimage), without the extra
// channels' samples, which the reader adds.
std::unique_ptr<FileHeader::Data> HeaderOf(const OIIO::ImageInput& in, const std::string& path);
// Whether the colour-space tag is the file's own, not what its reader assumes.
bool ColourTagIsOwn(const FileHeader::Data& h);

}  // namespace orvanta::io
