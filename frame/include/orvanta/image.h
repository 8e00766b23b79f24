// Images and pixels as the tools see them.
//
// Storage formats: 8-bit (depth 32), 16-bit (depth 64) and 32-bit float (depth 128), channels in
// memory order blue, green, red, alpha (the host's images of its own making) or red, green, blue,
// alpha (other hosts' images that the host reads in place, and the images made alongside them). Tools never
// touch the storage directly: they read and write Pixel (0..65535 per channel) or FltPixel (1.0 full scale)
// through the image's four access routines, usually by way of a PixelCursor.
#pragma once

#include <cstdint>

#include "orvanta/object.h"

namespace orvanta {

struct Pixel {
  uint32_t B, G, R, A;
  bool operator==(const Pixel&) const = default;
};

struct FltPixel {
  float B, G, R, A;
  bool operator==(const FltPixel&) const = default;
};

inline constexpr uint32_t Depth8 = 32;
inline constexpr uint32_t Depth16 = 64;
inline constexpr uint32_t DepthFloat = 128;

// Full scale of an image of this depth: 1.0 for float pixels, 65535 otherwise.
inline constexpr uint32_t StorageCustom = 0;
inline constexpr uint32_t StorageBgra8 = 1;
inline constexpr uint32_t StorageBgra16 = 2;
inline constexpr uint32_t StorageBgraFloat = 3;
inline constexpr uint32_t StorageRgba8 = 4;
inline constexpr uint32_t StorageRgba16 = 5;
inline constexpr uint32_t StorageRgbaFloat = 6;

// Whether a storage is one of the host's own formats, and whether its samples are in RGBA order.
constexpr bool IsHostStorage(uint32_t storage) {
  return storage >= StorageBgra8 && storage <= StorageRgbaFloat;
}
constexpr bool IsRgbaStorage(uint32_t storage) {
  return storage >= StorageRgba8 && storage <= StorageRgbaFloat;
}
// The channel (blue 0, green 1, red 2, alpha 3) at place `place` (0..3) of a pixel in memory, in
// RGBA order when rgba is set, else in BGRA order.
constexpr int32_t ChannelAtPlace(bool rgba, int32_t place) {
  return rgba && place % 2 == 0 ? 2 - place : place;
}

constexpr double FullScaleOf(uint32_t depth) { return depth == DepthFloat ? 1.0 : 65535.0; }

class Image;
class TagList;

using GetPixelFn = void (*)(const Image*, const void* addr, Pixel& p);
using PutPixelFn = void (*)(const Image*, void* addr, const Pixel& p);
using GetFltPixelFn = void (*)(const Image*, const void* addr, FltPixel& p);
using PutFltPixelFn = void (*)(const Image*, void* addr, const FltPixel& p);

class Image : public Parameter {
 public:
  // Members read by the tools.
  int32_t Width = 0;
  int32_t Height = 0;
  uint32_t Depth = Depth16;
  uint8_t** RowTable = nullptr;
  uint32_t BytesPerPixel = 8;
  GetPixelFn ReadPixel = nullptr;
  PutPixelFn WritePixel = nullptr;
  GetFltPixelFn ReadFltPixel = nullptr;
  PutFltPixelFn WriteFltPixel = nullptr;
  // Which of the host's own storage formats the routines implement (StorageCustom when none), so
  // that loops may use the same conversions inline.
  uint32_t Storage = 0;

  ~Image() override;

  // Host image operations.
  void Fill(const FltPixel& p);
  void Fill(uint32_t b, uint32_t g, uint32_t r, uint32_t a);
  void SetPixel(int32_t x, int32_t y, const Pixel& p);
  void SetPixel(int32_t x, int32_t y, const FltPixel& p);
  void GetPixel(int32_t x, int32_t y, Pixel& p) const;
  void GetPixel(int32_t x, int32_t y, FltPixel& p) const;
  Image* CopyOfImage() const;
  // Filtered resize to width x height. The further arguments (0, 1, 100 in every call the tools
  // make) are accepted and not interpreted.
  Image* ResizeOfImage(int32_t width, int32_t height, int32_t a = 0, int32_t b = 1, int32_t c = 100) const;
  // Gaussian blur of this image into target (same size), radii in pixels; the integer and scale
  // arguments of the call are accepted as given (4, 1, 1, 1, 1 and 1.0, 1.0).
  void ImageBlur(Image* target, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, double xRadius,
                 double yRadius, double f = 1.0, double g = 1.0) const;
  // Premultiplied "over" of src onto this image with src's top-left pixel at (x, y), clipped to
  // this image.
  void OXMerge(const Image* src, int32_t x, int32_t y);
  // The same, touching only this image's rows rowBegin..rowEnd-1, so that disjoint bands of rows
  // can be merged on different threads with the result of one whole merge.
  void OXMergeRows(const Image* src, int32_t x, int32_t y, int32_t rowBegin, int32_t rowEnd);

  // Makes row y of this image row sourceRow of source, sharing its pixels instead of copying
  // them, when both are the host's own images of one format and width (an image of another host
  // is refused). The image then keeps those pixels alive as long as it lives. Returns false, with
  // nothing changed, when the row cannot be shared; the caller copies it then. A shared row is
  // only read, by this image's maker too, and the calls come from one thread at a time.
  bool ShareRow(int32_t y, const Image* source, int32_t sourceRow);

  // Byte address of pixel (x, y); no bounds check.
  uint8_t* PixelAddress(int32_t x, int32_t y) const { return RowTable[y] + size_t(x) * BytesPerPixel; }

 protected:
  Image() = default;
  friend class ImageFactory;
};

// Makes a new image, cleared to transparent black. Forms: {ImLike, image} or
// {ImOwner, owner, ImWidth, w, ImHeight, h, ImChannel 2, 1, 0, 3}.
Image* NewImage(const TagList& tags);

}  // namespace orvanta
