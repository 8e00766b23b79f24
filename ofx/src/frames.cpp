#include "frames.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "orvanta/host/host.h"
#include "orvanta/pixel_cursor.h"
#include "suites.h"

namespace orvanta::ofx {
namespace {

// One row of n pixels with red and blue exchanged (BGRA to RGBA and back), T a sample. The loops
// move a 16-byte block at a time: every x86-64 processor has the SSE2 they use.
template <class T>
void SwapTail(const T* s, T* d, int32_t n) {
  for (int32_t x = 0; x < n; ++x, s += 4, d += 4) {
    const T b = s[0], g = s[1], r = s[2], a = s[3];
    d[0] = r;
    d[1] = g;
    d[2] = b;
    d[3] = a;
  }
}

#if defined(__SSE2__)
// Red and blue of the pixels in 16 bytes exchanged.
template <class T>
__m128i Swapped(__m128i v) {
  if constexpr (sizeof(T) == 1) {
    const __m128i keep = _mm_set1_epi32(int32_t(0xFF00FF00u)), low = _mm_set1_epi32(0xFF);
    return _mm_or_si128(_mm_and_si128(v, keep), _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), low),
                                                             _mm_slli_epi32(_mm_and_si128(v, low), 16)));
  } else if constexpr (sizeof(T) == 2) {
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2));
  } else {
    return _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 0, 1, 2));
  }
}
#endif

template <class T>
void SwapRow(const uint8_t* from, uint8_t* to, int32_t n) {
  const T* s = reinterpret_cast<const T*>(from);
  T* d = reinterpret_cast<T*>(to);
  int32_t x = 0;
#if defined(__SSE2__)
  constexpr int32_t kPixels = int32_t(16 / (4 * sizeof(T)));  // pixels in 16 bytes
  // Whole pixels until the stores are aligned, then stores that bypass the caches: the rows are
  // not read again soon, and a store that misses would first read its line.
  const int32_t lead = int32_t((16 - reinterpret_cast<uintptr_t>(d) % 16) % 16 / (4 * sizeof(T)));
  if (reinterpret_cast<uintptr_t>(d + 4 * lead) % 16 == 0 && lead <= n) {
    SwapTail(s, d, lead);
    x = lead, s += 4 * lead, d += 4 * lead;
    for (; x + kPixels <= n; x += kPixels, s += 4 * kPixels, d += 4 * kPixels)
      _mm_stream_si128(reinterpret_cast<__m128i*>(d),
                       Swapped<T>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))));
  }
  for (; x + kPixels <= n; x += kPixels, s += 4 * kPixels, d += 4 * kPixels)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                     Swapped<T>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))));
#endif
  SwapTail(s, d, n - x);
}

using RowCopy = void (*)(const uint8_t*, uint8_t*, int32_t);

template <size_t kBytes>
void CopyRow(const uint8_t* from, uint8_t* to, int32_t n) {
  std::memcpy(to, from, size_t(n) * kBytes);
}

// The row copy for result into out when the result is in one of the runtime's storage formats of
// out's depth; null when pixels must go through the access routines. Rows of the same order are
// bytes copied; exchanging red and blue reads and writes whole samples, so it needs out's samples
// aligned (out of custom storage has them anywhere).
RowCopy FastCopy(const Image& result, const Image& out) {
  if (result.Depth != out.Depth) return nullptr;
  if (!IsRgbaStorage(result.Storage) && !IsHostStorage(out.Storage)) return nullptr;
  switch (result.Storage) {
    case StorageRgba8:
      return &CopyRow<4>;
    case StorageRgba16:
      return &CopyRow<8>;
    case StorageRgbaFloat:
      return &CopyRow<16>;
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

constexpr int32_t kRowsPerChunk = 16;

// Orders the cache-bypassing stores of a chunk before the chunk counts as done.
void Fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
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
  const uint32_t bits = DepthOfName(depth);
  if (!bits)
    throw OfxError(kOfxStatErrImageFormat,
                   "the host gave an image of depth " + depth + "; the tools take 8-bit, 16-bit and float");
  host::UseStorageFormat(*this, bits, host::SampleOrder::kRgba);
  for (int i = 0; i < 4; ++i) (&bounds_.x1)[i] = p.Int(kOfxImagePropBounds, i);
  Width = std::max(0, bounds_.x2 - bounds_.x1);
  Height = std::max(0, bounds_.y2 - bounds_.y1);
  const ptrdiff_t rowBytes = p.Int(kOfxImagePropRowBytes);
  auto* data = static_cast<uint8_t*>(p.Pointer(kOfxImagePropData));
  if (Width > 0 && Height > 0 && (!data || std::abs(rowBytes) < ptrdiff_t(Width) * BytesPerPixel))
    throw OfxError(kOfxStatErrImageFormat, "the host gave an image without pixel memory for its bounds");
  // The tools' fast paths read samples as typed words: memory whose rows do not all start on a
  // whole sample is read through the access routines instead, which copy bytes.
  const size_t sample = BytesPerPixel / 4;
  if (reinterpret_cast<uintptr_t>(data) % sample != 0 || size_t(std::abs(rowBytes)) % sample != 0)
    Storage = StorageCustom;
  // The data pointer is at the bottom row; the table lists rows top first.
  rows_.resize(size_t(Height) + 1);
  for (int32_t t = 0; t < Height; ++t) rows_[size_t(t)] = data + ptrdiff_t(Height - 1 - t) * rowBytes;
  RowTable = rows_.data();
}

HostFrame::~HostFrame() = default;

namespace {

// Whether result is out's pixels themselves: rendered in place, every row.
bool InPlace(const Image& result, const HostFrame& out, int32_t x0, int32_t y0) {
  const OfxRectI& b = out.Bounds();
  if (result.Storage != out.Storage || result.Width != out.Width || result.Height != out.Height ||
      x0 != b.x1 || y0 != b.y1)
    return false;
  for (int32_t t = 0; t < out.Height; ++t)
    if (result.RowTable[t] != out.RowTable[t]) return false;
  return true;
}

}  // namespace

void PutResult(const Image& result, HostFrame& out, int32_t x0, int32_t y0) {
  if (InPlace(result, out, x0, y0)) return;
  const OfxRectI& b = out.Bounds();
  // The result's columns and bottom-up rows in out's pixel coordinates, clipped to out.
  const int32_t left = std::max(b.x1, x0);
  const int32_t right = int32_t(std::min<int64_t>(b.x2, int64_t(x0) + result.Width));
  const int64_t top = int64_t(y0) + result.Height;  // one past the result's top row
  const RowCopy fast = FastCopy(result, out);
  const size_t bpp = out.BytesPerPixel;
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
      const uint8_t* from = result.RowTable[r] + size_t(left - x0) * result.BytesPerPixel;
      if (from == to && result.Storage == out.Storage) continue;  // rendered in place
      if (fast)
        fast(from, to, n);
      else
        CopyThroughRoutines(result, r, left - x0, n, out, t, left - b.x1);
    }
    Fence();
  });
}

}  // namespace orvanta::ofx
