// PixelCursor: points at one pixel of an image and steps along its row, reading and writing
// through the image's own access routines. No bounds checks: callers keep x and y inside.
#pragma once

#include "orvanta/image.h"

namespace orvanta {

class PixelCursor {
 public:
  PixelCursor() = default;
  PixelCursor(Image* image, int32_t x, int32_t y) { Attach(image, x, y); }

  PixelCursor& Attach(Image* image, int32_t x, int32_t y) {
    image_ = image;
    bpp_ = image->BytesPerPixel;
    get_ = image->ReadPixel;
    put_ = image->WritePixel;
    getFlt_ = image->ReadFltPixel;
    putFlt_ = image->WriteFltPixel;
    MoveTo(x, y);
    return *this;
  }
  void MoveTo(int32_t x, int32_t y) { addr_ = image_->RowTable[y] + size_t(x) * bpp_; }
  void Next() { addr_ += bpp_; }

  void Get(Pixel& p) const { get_(image_, addr_, p); }
  void Put(const Pixel& p) const { put_(image_, addr_, p); }
  void GetFlt(FltPixel& p) const { getFlt_(image_, addr_, p); }
  void PutFlt(const FltPixel& p) const { putFlt_(image_, addr_, p); }

  Pixel& GetNext(Pixel& p) { Get(p); Next(); return p; }
  const Pixel& PutNext(const Pixel& p) { Put(p); Next(); return p; }
  FltPixel& GetNextFlt(FltPixel& p) { GetFlt(p); Next(); return p; }
  const FltPixel& PutNextFlt(const FltPixel& p) { PutFlt(p); Next(); return p; }

  uint8_t* Address() const { return addr_; }

 private:
  Image* image_ = nullptr;
  uint32_t bpp_ = 0;
  uint8_t* addr_ = nullptr;
  GetPixelFn get_ = nullptr;
  PutPixelFn put_ = nullptr;
  GetFltPixelFn getFlt_ = nullptr;
  PutFltPixelFn putFlt_ = nullptr;
};

}  // namespace orvanta

namespace orvanta {

// Runs body with cursors attached at the given positions. Row loops written against these take
// whatever cursor type is best for the images' storage (the body must be generic: `auto&`), so
// the access can be specialised per format once per call instead of per pixel.
template <class F>
void WithCursor(Image* im, int32_t x, int32_t y, F&& body) {
  PixelCursor c(im, x, y);
  body(c);
}

template <class F>
void WithCursors(Image* a, int32_t ax, int32_t ay, Image* b, int32_t bx, int32_t by, F&& body) {
  PixelCursor ca(a, ax, ay), cb(b, bx, by);
  body(ca, cb);
}

}  // namespace orvanta
