// PixelCursor: points at one pixel of an image and steps along its row, reading and writing
// through the image's own access routines. No bounds checks: callers keep x and y inside.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "orvanta/image.h"
#include "orvanta/pixel_formats.h"

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

  Pixel& GetNext(Pixel& p) {
    Get(p);
    Next();
    return p;
  }
  const Pixel& PutNext(const Pixel& p) {
    Put(p);
    Next();
    return p;
  }
  FltPixel& GetNextFlt(FltPixel& p) {
    GetFlt(p);
    Next();
    return p;
  }
  const FltPixel& PutNextFlt(const FltPixel& p) {
    PutFlt(p);
    Next();
    return p;
  }

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

// A cursor for one of the host's own storage formats: the same interface and the same results as
// PixelCursor, with the conversions inline instead of called through the image's routines.
template <class Format>
class FormatCursor {
 public:
  FormatCursor(Image* image, int32_t x, int32_t y) : rows_(image->RowTable) { MoveTo(x, y); }

  void MoveTo(int32_t x, int32_t y) { addr_ = rows_[y] + size_t(x) * Format::kBytes; }
  void Next() { addr_ += Format::kBytes; }

  void Get(Pixel& p) const { Format::Get(addr_, p); }
  void Put(const Pixel& p) const { Format::Put(addr_, p); }
  void GetFlt(FltPixel& p) const { Format::GetFlt(addr_, p); }
  void PutFlt(const FltPixel& p) const { Format::PutFlt(addr_, p); }

  Pixel& GetNext(Pixel& p) {
    Get(p);
    Next();
    return p;
  }
  const Pixel& PutNext(const Pixel& p) {
    Put(p);
    Next();
    return p;
  }
  FltPixel& GetNextFlt(FltPixel& p) {
    GetFlt(p);
    Next();
    return p;
  }
  const FltPixel& PutNextFlt(const FltPixel& p) {
    PutFlt(p);
    Next();
    return p;
  }

  uint8_t* Address() const { return addr_; }

 private:
  uint8_t** rows_;
  uint8_t* addr_ = nullptr;
};

namespace cursors {

template <class... Fs>
struct Formats {};
using Bgra = Formats<formats::Bgra8, formats::Bgra16, formats::BgraFloat>;
using Rgba = Formats<formats::Rgba8, formats::Rgba16, formats::RgbaFloat>;

// body(cursor) with a FormatCursor when im's storage is one of Fs, else a PixelCursor.
template <class... Fs, class F>
void WithCursorIn(Formats<Fs...>, Image* im, int32_t x, int32_t y, F&& body) {
  bool done = false;
  auto one = [&]<class Format>() {
    if (done || im->Storage != Format::kStorage) return;
    FormatCursor<Format> c(im, x, y);
    body(c);
    done = true;
  };
  (one.template operator()<Fs>(), ...);
  if (!done) {
    PixelCursor c(im, x, y);
    body(c);
  }
}

// Whether a cursor is one of the RGBA formats'.
template <class C>
inline constexpr bool kRgbaCursor = false;
template <class Format>
inline constexpr bool kRgbaCursor<FormatCursor<Format>> = Format::kRgba;

}  // namespace cursors

// Runs body(cursor) with a cursor on im at (x, y): a FormatCursor when im uses one of the host's
// own storage formats, else a PixelCursor. The format is decided once per call, so a row loop
// inside body runs without a call per pixel. body must be generic (take `auto&`).
template <class F>
void WithCursor(Image* im, int32_t x, int32_t y, F&& body) {
  if (IsRgbaStorage(im->Storage))
    cursors::WithCursorIn(cursors::Rgba{}, im, x, y, body);
  else
    cursors::WithCursorIn(cursors::Bgra{}, im, x, y, body);
}

// Sets columns left .. right - 1 (by default up to the width) of rows top .. bottom - 1 of im
// (clipped to the image) to transparent black: the bytes zeroed in the host's own storage
// formats, zero pixels written through a cursor in any other. For tools that make their output
// uncleared and clear what they do not draw on the workers.
inline void ClearRows(Image* im, int32_t top, int32_t bottom, int32_t left = 0, int32_t right = INT32_MAX) {
  top = std::max(top, 0);
  bottom = std::min(bottom, im->Height);
  left = std::max(left, 0);
  right = std::min(right, im->Width);
  if (left >= right) return;
  const bool host = IsHostStorage(im->Storage);
  for (int32_t y = top; y < bottom; ++y) {
    if (host) {
      std::memset(im->RowTable[y] + size_t(left) * im->BytesPerPixel, 0,
                  size_t(right - left) * im->BytesPerPixel);
    } else {
      PixelCursor c(im, left, y);
      for (int32_t x = left; x < right; ++x) c.PutNext(Pixel{0, 0, 0, 0});
    }
  }
}

// The same for two images: body(cursor on a, cursor on b). b gets a FormatCursor when it is in
// a's sample order (BGRA when a is of custom storage), else a PixelCursor: images of both orders
// meet only around other programs' images, and every pair of formats would multiply the code
// that each loop compiles to.
template <class F>
void WithCursors(Image* a, int32_t ax, int32_t ay, Image* b, int32_t bx, int32_t by, F&& body) {
  WithCursor(a, ax, ay, [&](auto& ca) {
    using Same =
        std::conditional_t<cursors::kRgbaCursor<std::decay_t<decltype(ca)>>, cursors::Rgba, cursors::Bgra>;
    cursors::WithCursorIn(Same{}, b, bx, by, [&](auto& cb) { body(ca, cb); });
  });
}

}  // namespace orvanta

namespace orvanta {

// Read or write the current pixel in the pixel form of p and step, for loops written once for
// both forms.
template <class C>
void ReadNext(C& c, Pixel& p) {
  c.GetNext(p);
}
template <class C>
void ReadNext(C& c, FltPixel& p) {
  c.GetNextFlt(p);
}
template <class C>
void WriteNext(C& c, const Pixel& p) {
  c.PutNext(p);
}
template <class C>
void WriteNext(C& c, const FltPixel& p) {
  c.PutNextFlt(p);
}

// One row of float pixels through apply, kBlue and kRed the places of blue and red in a pixel.
template <int kBlue, int kRed, class Apply>
void MapFloatRow(const float* s, float* d, int32_t width, const Apply& apply) {
  for (int32_t x = 0; x < width; ++x, s += 4, d += 4) {
    float v[4] = {s[0], s[1], s[2], s[3]};
    apply(v[kBlue], 0);
    apply(v[1], 1);
    apply(v[kRed], 2);
    apply(v[3], 3);
    d[0] = v[0];
    d[1] = v[1];
    d[2] = v[2];
    d[3] = v[3];
  }
}

// Row y of src through apply(channel value, channel index) into row y of dst, width pixels, the
// channels in pixel order (blue 0, green 1, red 2, alpha 3); P chooses the pixel form.
//
// When both images use one of the host's float storages with FltPixel the row runs on typed float
// pointers (the cursors convert nothing there): stores the compiler knows cannot touch the
// cursors or the tool's members, so nothing is reloaded per pixel. Integer rows of the host's
// storage have their own loops in WordTables.
template <class P, class Apply>
void MapRow(Image* src, Image* dst, int32_t y, int32_t width, const Apply& apply) {
  if constexpr (std::is_same_v<P, FltPixel>) {
    const auto* s = reinterpret_cast<const float*>(src->RowTable[y]);
    auto* d = reinterpret_cast<float*>(dst->RowTable[y]);
    if (src->Storage == StorageBgraFloat && dst->Storage == StorageBgraFloat)
      return MapFloatRow<0, 2>(s, d, width, apply);
    if (src->Storage == StorageRgbaFloat && dst->Storage == StorageRgbaFloat)
      return MapFloatRow<2, 0>(s, d, width, apply);
  }
  auto row = [&](auto& s, auto& d) {
    P px;
    for (int32_t x = 0; x < width; ++x) {
      ReadNext(s, px);
      apply(px.B, 0);
      apply(px.G, 1);
      apply(px.R, 2);
      apply(px.A, 3);
      WriteNext(d, px);
    }
  };
  // The tools map an image into one like it: one cursor type for both, else the routines.
  if (src->Storage == dst->Storage) {
    WithCursor(src, 0, y, [&](auto& s) {
      std::decay_t<decltype(s)> d(dst, 0, y);
      row(s, d);
    });
  } else {
    PixelCursor s(src, 0, y), d(dst, 0, y);
    row(s, d);
  }
}

}  // namespace orvanta
