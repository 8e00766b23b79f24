#include "frames.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "orvanta/host/host.h"
#include "orvanta/pixel_cursor.h"
#include "orvanta/pixel_formats.h"
#include "suites.h"

namespace orvanta::ofx {
namespace {

// The access routines of an RGBA format: those of the runtime's BGRA format F, red and blue
// exchanged, so both give the same values for the same samples.
template <class F>
struct Rgba {
  static void Get(const Image*, const void* a, Pixel& p) {
    F::Get(static_cast<const uint8_t*>(a), p);
    std::swap(p.B, p.R);
  }
  static void Put(const Image*, void* a, const Pixel& p) {
    F::Put(static_cast<uint8_t*>(a), Pixel{p.R, p.G, p.B, p.A});
  }
  static void GetFlt(const Image*, const void* a, FltPixel& p) {
    F::GetFlt(static_cast<const uint8_t*>(a), p);
    std::swap(p.B, p.R);
  }
  static void PutFlt(const Image*, void* a, const FltPixel& p) {
    F::PutFlt(static_cast<uint8_t*>(a), FltPixel{p.R, p.G, p.B, p.A});
  }
};

template <class F>
void UseFormat(Image& im) {
  im.Depth = F::kDepth;
  im.BytesPerPixel = F::kBytes;
  im.ReadPixel = &Rgba<F>::Get;
  im.WritePixel = &Rgba<F>::Put;
  im.ReadFltPixel = &Rgba<F>::GetFlt;
  im.WriteFltPixel = &Rgba<F>::PutFlt;
}

// One row of n pixels from the runtime's BGRA storage into RGBA samples of type T.
template <class T>
void SwapRow(const uint8_t* from, uint8_t* to, int32_t n) {
  const T* s = reinterpret_cast<const T*>(from);
  T* d = reinterpret_cast<T*>(to);
  for (int32_t x = 0; x < n; ++x, s += 4, d += 4) {
    const T b = s[0], g = s[1], r = s[2], a = s[3];
    d[0] = r;
    d[1] = g;
    d[2] = b;
    d[3] = a;
  }
}

using RowCopy = void (*)(const uint8_t*, uint8_t*, int32_t);

// The row copy for result into out when the result is in the runtime's storage of out's depth;
// null when pixels must go through the access routines.
RowCopy FastCopy(const Image& result, const Image& out) {
  if (result.Depth != out.Depth) return nullptr;
  switch (result.Storage) {
    case StorageBgra8:
      return &SwapRow<uint8_t>;
    case StorageBgra16:
      return &SwapRow<uint16_t>;
    case StorageBgraFloat:
      return &SwapRow<float>;
    default:
      return nullptr;
  }
}

// Columns x0 .. x0 + n - 1 of row y of result into out's row at column dx, through the routines.
void CopyThroughRoutines(const Image& result, int32_t y, int32_t x0, int32_t n, Image& out, int32_t outRow,
                         int32_t dx) {
  Image* src = const_cast<Image*>(&result);  // only read
  WithCursors(src, x0, y, &out, dx, outRow, [&](auto& s, auto& d) {
    if (out.Depth == DepthFloat) {
      FltPixel p;
      for (int32_t i = 0; i < n; ++i) d.PutNextFlt(s.GetNextFlt(p));
    } else {
      Pixel p;
      for (int32_t i = 0; i < n; ++i) d.PutNext(s.GetNext(p));
    }
  });
}

}  // namespace

uint32_t DepthOfName(const std::string& name) {
  if (name == kOfxBitDepthByte) return Depth8;
  if (name == kOfxBitDepthShort) return Depth16;
  if (name == kOfxBitDepthFloat) return DepthFloat;
  return 0;
}

HostFrame::HostFrame(OfxPropertySetHandle handle) : handle_(handle) {
  Props p(handle);
  const std::string components = p.String(kOfxImageEffectPropComponents);
  const std::string depth = p.String(kOfxImageEffectPropPixelDepth);
  if (components != kOfxImageComponentRGBA)
    throw OfxError(kOfxStatErrImageFormat,
                   "the host gave an image of " + components + "; the tools take RGBA");
  switch (DepthOfName(depth)) {
    case Depth8:
      UseFormat<formats::Bgra8>(*this);
      break;
    case Depth16:
      UseFormat<formats::Bgra16>(*this);
      break;
    case DepthFloat:
      UseFormat<formats::BgraFloat>(*this);
      break;
    default:
      throw OfxError(kOfxStatErrImageFormat,
                     "the host gave an image of depth " + depth + "; the tools take 8-bit, 16-bit and float");
  }
  Storage = StorageCustom;
  for (int i = 0; i < 4; ++i) (&bounds_.x1)[i] = p.Int(kOfxImagePropBounds, i);
  Width = std::max(0, bounds_.x2 - bounds_.x1);
  Height = std::max(0, bounds_.y2 - bounds_.y1);
  const ptrdiff_t rowBytes = p.Int(kOfxImagePropRowBytes);
  auto* data = static_cast<uint8_t*>(p.Pointer(kOfxImagePropData));
  if (Width > 0 && Height > 0 && (!data || std::abs(rowBytes) < ptrdiff_t(Width) * BytesPerPixel))
    throw OfxError(kOfxStatErrImageFormat, "the host gave an image without pixel memory for its bounds");
  // The data pointer is at the bottom row; the table lists rows top first.
  rows_.resize(size_t(Height) + 1);
  for (int32_t t = 0; t < Height; ++t) rows_[size_t(t)] = data + ptrdiff_t(Height - 1 - t) * rowBytes;
  RowTable = rows_.data();
}

HostFrame::~HostFrame() = default;

void PutResult(const Image& result, HostFrame& out, int32_t x0, int32_t y0) {
  const OfxRectI& b = out.Bounds();
  // The result's columns and bottom-up rows in out's pixel coordinates, clipped to out.
  const int32_t left = std::max(b.x1, x0);
  const int32_t right = int32_t(std::min<int64_t>(b.x2, int64_t(x0) + result.Width));
  const int64_t top = int64_t(y0) + result.Height;  // one past the result's top row
  const RowCopy fast = FastCopy(result, out);
  const size_t bpp = out.BytesPerPixel;
  constexpr int32_t kRowsPerChunk = 16;
  const int32_t chunks = (out.Height + kRowsPerChunk - 1) / kRowsPerChunk;
  host::RunChunks(chunks, [&](int32_t chunk) {
    const int32_t first = chunk * kRowsPerChunk, last = std::min(out.Height, first + kRowsPerChunk);
    for (int32_t t = first; t < last; ++t) {    // t: out's rows, top first
      const int64_t y = int64_t(b.y2) - 1 - t;  // its pixel row
      uint8_t* row = out.RowTable[t];
      if (y < y0 || y >= top || left >= right) {
        std::memset(row, 0, size_t(out.Width) * bpp);
        continue;
      }
      const int32_t r = int32_t(top - 1 - y);  // the result's row, top first
      std::memset(row, 0, size_t(left - b.x1) * bpp);
      std::memset(row + size_t(right - b.x1) * bpp, 0, size_t(b.x2 - right) * bpp);
      uint8_t* to = row + size_t(left - b.x1) * bpp;
      const int32_t n = int32_t(right - left);
      if (fast)
        fast(result.RowTable[r] + size_t(left - x0) * result.BytesPerPixel, to, n);
      else
        CopyThroughRoutines(result, r, left - x0, n, out, t, left - b.x1);
    }
  });
}

}  // namespace orvanta::ofx
