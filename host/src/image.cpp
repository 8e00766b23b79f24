// The image model: three storage formats with their access routines, NewImage, and the host's
// image operations.
#include <malloc.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "orvanta/pixel_cursor.h"
#include "orvanta/pixel_formats.h"
#include "state.h"

namespace orvanta {
namespace {

// Access routines: the inline conversions of pixel_formats.h behind function pointers.
template <class F>
void GetR(const Image*, const void* a, Pixel& p) {
  F::Get(static_cast<const uint8_t*>(a), p);
}
template <class F>
void PutR(const Image*, void* a, const Pixel& p) {
  F::Put(static_cast<uint8_t*>(a), p);
}
template <class F>
void GetFltR(const Image*, const void* a, FltPixel& p) {
  F::GetFlt(static_cast<const uint8_t*>(a), p);
}
template <class F>
void PutFltR(const Image*, void* a, const FltPixel& p) {
  F::PutFlt(static_cast<uint8_t*>(a), p);
}

template <class F>
void Use(Image& im) {
  im.Depth = F::kDepth;
  im.BytesPerPixel = F::kBytes;
  im.Storage = F::kStorage;
  im.ReadPixel = GetR<F>;
  im.WritePixel = PutR<F>;
  im.ReadFltPixel = GetFltR<F>;
  im.WriteFltPixel = PutFltR<F>;
}

uint64_t DefaultBudget() {
  struct sysinfo si {};
  if (sysinfo(&si) == 0) return uint64_t(si.totalram) * si.mem_unit / 2;
  return uint64_t(8) << 30;
}
std::atomic<uint64_t> g_budget{0};
std::atomic<bool> g_poison{false};  // tests: uncleared images start as 0xA5 bytes

// Freed image blocks larger than the heap keeps (KeepFreedImageMemory), held for the next image
// of about the same size: a sequence then writes pages already mapped instead of faulting in
// (and the system zeroing) fresh ones at every frame, which costs more than most tools' work.
// Off unless a program turns it on. A lock per image made or freed, never per pixel.
class BlockPool {
 public:
  static constexpr size_t kSmallest = size_t(32) << 20;  // the heap keeps anything smaller
  static constexpr size_t kMostBlocks = 4;
  static constexpr size_t kMostBytes = size_t(1) << 30;

  void Enable() {
    std::lock_guard<std::mutex> lock(mutex_);
    on_ = true;
  }

  // A kept block of at least `bytes` and at most a quarter more (the smallest such), or null.
  uint8_t* Take(size_t bytes, size_t& capacity) {
    if (bytes < kSmallest) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    size_t best = blocks_.size();
    for (size_t i = 0; i < blocks_.size(); ++i)
      if (blocks_[i].bytes >= bytes && blocks_[i].bytes - bytes <= bytes / 4 &&
          (best == blocks_.size() || blocks_[i].bytes < blocks_[best].bytes))
        best = i;
    if (best == blocks_.size()) return nullptr;
    uint8_t* p = blocks_[best].data;
    capacity = blocks_[best].bytes;
    total_ -= capacity;
    blocks_.erase(blocks_.begin() + std::ptrdiff_t(best));
    return p;
  }

  // Keeps or frees a block; the oldest kept blocks go first when there are too many.
  void Give(uint8_t* p, size_t bytes) {
    std::vector<uint8_t*> drop;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!on_ || bytes < kSmallest || bytes > kMostBytes) {
        drop.push_back(p);
      } else {
        blocks_.push_back({p, bytes});
        total_ += bytes;
        while (blocks_.size() > kMostBlocks || total_ > kMostBytes) {
          drop.push_back(blocks_.front().data);
          total_ -= blocks_.front().bytes;
          blocks_.erase(blocks_.begin());
        }
      }
    }
    for (uint8_t* d : drop) std::free(d);
  }

 private:
  struct Block {
    uint8_t* data;
    size_t bytes;
  };
  std::mutex mutex_;
  bool on_ = false;
  std::vector<Block> blocks_;
  size_t total_ = 0;
};

// Never destroyed: images may outlive every other static.
BlockPool& Blocks() {
  static BlockPool* pool = new BlockPool;
  return *pool;
}

// The render target of this thread (host::ScopedRenderTarget) and whether an image took it.
thread_local const Image* t_target = nullptr;
thread_local bool t_taken = false;

const Image* TakeRenderTarget(int32_t width, int32_t height, uint32_t depth, host::SampleOrder order) {
  const Image* t = t_target;
  if (!t || t_taken || hostdetail::Sizing() || t->Width != width || t->Height != height ||
      t->Depth != depth || host::OrderOf(t) != order)
    return nullptr;
  t_taken = true;
  return t;
}

class HostImage final : public Image {
 public:
  static constexpr size_t kLine = 64;

  HostImage(int32_t w, int32_t h, uint32_t depth, bool clear, host::SampleOrder order) {
    Width = w;
    Height = h;
    host::UseStorageFormat(*this, depth, order);
    // calloc: large blocks come from fresh zero pages, so clearing costs nothing until written.
    // An image its maker writes in full skips the clear, which reused memory would need.
    // The pixels start on a 64-byte line: rows a line apart then never share one, so threads
    // writing neighbouring columns or tiles do not take lines from each other, and vector
    // stores stay within a line.
    const size_t bytes = size_t(w) * size_t(h) * BytesPerPixel;
    const size_t wanted = bytes + kLine;
    size_t capacity = 0;
    uint8_t* block = Blocks().Take(wanted, capacity);
    const bool kept = block != nullptr;
    if (!kept) {
      capacity = wanted;
      block = static_cast<uint8_t*>(clear ? std::calloc(capacity, 1) : std::malloc(capacity));
      if (!block) throw std::bad_alloc();
    }
    storage_ = std::shared_ptr<uint8_t>(block, Release{capacity});
    uint8_t* pixels = storage_.get() + (kLine - reinterpret_cast<uintptr_t>(storage_.get()) % kLine) % kLine;
    if (kept && clear) std::memset(pixels, 0, bytes);
    if (!clear && g_poison.load(std::memory_order_relaxed)) std::memset(pixels, 0xA5, bytes);
    rows_.resize(size_t(h) + 1);
    for (int32_t y = 0; y < h; ++y) rows_[y] = pixels + size_t(y) * size_t(w) * BytesPerPixel;
    RowTable = rows_.data();
  }

  // An image whose pixels are target's (rows and all): nothing is allocated or freed.
  HostImage(const Image& target, bool clear) {
    Width = target.Width;
    Height = target.Height;
    host::UseStorageFormat(*this, target.Depth, host::OrderOf(&target));
    rows_.assign(target.RowTable, target.RowTable + Height);
    rows_.push_back(nullptr);
    RowTable = rows_.data();
    const size_t rowBytes = size_t(Width) * BytesPerPixel;
    if (clear || g_poison.load(std::memory_order_relaxed))
      for (uint8_t* row : rows_)
        if (row) std::memset(row, clear ? 0 : 0xA5, rowBytes);
  }

 private:
  // The block (capacity bytes, at least the image's) goes back to the pool, which keeps or frees it,
  // once no image uses it any more.
  struct Release {
    size_t capacity;
    void operator()(uint8_t* p) const { Blocks().Give(p, capacity); }
  };

 public:
  // Row y becomes row sourceRow of source, whose pixel blocks this image then keeps alive.
  bool Share(int32_t y, const HostImage& source, int32_t sourceRow) {
    // Rows of an image made in a render target are not shared: nothing keeps that memory alive.
    if (&source == this || !source.storage_ || y < 0 || y >= Height || sourceRow < 0 ||
        sourceRow >= source.Height || source.Width != Width || source.Storage != Storage)
      return false;
    Keep(source.storage_);
    for (const auto& b : source.borrowed_) Keep(b);
    rows_[size_t(y)] = source.rows_[size_t(sourceRow)];
    return true;
  }

 private:
  void Keep(const std::shared_ptr<uint8_t>& block) {
    if (block == storage_) return;
    for (const auto& b : borrowed_)
      if (b == block) return;
    borrowed_.push_back(block);
  }

  std::shared_ptr<uint8_t> storage_;
  std::vector<std::shared_ptr<uint8_t>> borrowed_;  // other images' blocks holding shared rows
  std::vector<uint8_t*> rows_;
};

uint32_t BytesFor(uint32_t depth) { return depth == Depth8 ? 4 : depth == DepthFloat ? 16 : 8; }

// Encodes one pixel of this image's format into bytes, then repeats them over every pixel.
void FillWith(Image* im, const uint8_t* encoded) {
  for (int32_t y = 0; y < im->Height; ++y) {
    uint8_t* row = im->RowTable[y];
    for (int32_t x = 0; x < im->Width; ++x)
      std::memcpy(row + size_t(x) * im->BytesPerPixel, encoded, im->BytesPerPixel);
  }
}

bool Inside(const Image* im, int32_t x, int32_t y) {
  return x >= 0 && y >= 0 && x < im->Width && y < im->Height;
}

// Pixel values normalised to 0..1 (float images as stored).
inline void ReadNormal(const Image* im, const uint8_t* a, double v[4]) {
  if (im->Depth == DepthFloat) {
    FltPixel f;
    im->ReadFltPixel(im, a, f);
    v[0] = f.B;
    v[1] = f.G;
    v[2] = f.R;
    v[3] = f.A;
  } else {
    Pixel p;
    im->ReadPixel(im, a, p);
    v[0] = p.B / 65535.0;
    v[1] = p.G / 65535.0;
    v[2] = p.R / 65535.0;
    v[3] = p.A / 65535.0;
  }
}
inline void WriteNormal(const Image* im, uint8_t* a, const double v[4]) {
  if (im->Depth == DepthFloat) {
    FltPixel f{float(v[0]), float(v[1]), float(v[2]), float(v[3])};
    im->WriteFltPixel(im, a, f);
  } else {
    Pixel p;
    uint32_t* c[4] = {&p.B, &p.G, &p.R, &p.A};
    for (int i = 0; i < 4; ++i) {
      double s = v[i] * 65535.0 + 0.5;
      *c[i] = s <= 0.0 || !(s == s) ? 0u : s >= 65535.0 ? 65535u : uint32_t(s);
    }
    im->WritePixel(im, a, p);
  }
}

}  // namespace

namespace hostdetail {
host::ImagePtr NewHostImage(int32_t width, int32_t height, uint32_t depth, bool clear,
                            host::SampleOrder order) {
  if (width < 0 || height < 0)
    throw std::invalid_argument("an image of " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels cannot be made");
  uint64_t budget = host::ImageBudget();
  // Compared by division first, so sizes whose byte count would wrap are refused too.
  uint64_t perRow = uint64_t(width) * BytesFor(depth);
  bool tooBig = height != 0 && perRow > budget / uint64_t(height);
  uint64_t bytes = tooBig ? UINT64_MAX : perRow * uint64_t(height);
  if (tooBig || bytes > budget)
    throw host::ImageBudgetError("an image of " + std::to_string(width) + " x " + std::to_string(height) +
                                 " pixels (" + std::to_string((perRow >> 10) * uint64_t(height) >> 10) +
                                 " MiB) exceeds the memory budget of " + std::to_string(budget >> 20) +
                                 " MiB");
  return host::ImagePtr(new HostImage(width, height, depth, clear, order));
}
}  // namespace hostdetail

Image::~Image() = default;

void Image::Fill(const FltPixel& p) {
  if (hostdetail::Sizing()) return;
  uint8_t enc[16];
  WriteFltPixel(this, enc, p);
  FillWith(this, enc);
}

void Image::Fill(uint32_t b, uint32_t g, uint32_t r, uint32_t a) {
  if (hostdetail::Sizing()) return;
  uint8_t enc[16];
  WritePixel(this, enc, Pixel{b, g, r, a});
  FillWith(this, enc);
}

void Image::SetPixel(int32_t x, int32_t y, const Pixel& p) {
  if (Inside(this, x, y)) WritePixel(this, PixelAddress(x, y), p);
}
void Image::SetPixel(int32_t x, int32_t y, const FltPixel& p) {
  if (Inside(this, x, y)) WriteFltPixel(this, PixelAddress(x, y), p);
}
void Image::GetPixel(int32_t x, int32_t y, Pixel& p) const {
  if (Inside(this, x, y))
    ReadPixel(this, PixelAddress(x, y), p);
  else
    p = Pixel{0, 0, 0, 0};
}
void Image::GetPixel(int32_t x, int32_t y, FltPixel& p) const {
  if (Inside(this, x, y))
    ReadFltPixel(this, PixelAddress(x, y), p);
  else
    p = FltPixel{0, 0, 0, 0};
}

bool Image::ShareRow(int32_t y, const Image* source, int32_t sourceRow) {
  // HostImage is final, so comparing the dynamic type is exact (and cheaper than a cast per row).
  if (!source || typeid(*this) != typeid(HostImage) || typeid(*source) != typeid(HostImage)) return false;
  return static_cast<HostImage*>(this)->Share(y, *static_cast<const HostImage*>(source), sourceRow);
}

Image* Image::CopyOfImage() const {
  const host::SampleOrder order = host::OrderOf(this);
  if (hostdetail::Sizing()) return hostdetail::NewHostImage(Width, Height, Depth, true, order).release();
  host::ImagePtr copy = hostdetail::NewHostImage(Width, Height, Depth, false, order);  // every row copied
  if (Storage == copy->Storage) {
    size_t rowBytes = size_t(Width) * BytesPerPixel;
    for (int32_t y = 0; y < Height; ++y) std::memcpy(copy->RowTable[y], RowTable[y], rowBytes);
    return copy.release();
  }
  // Another host's pixels (their own storage format): converted through the access routines, in
  // the pixel form that keeps every value of the depth.
  Image* self = const_cast<Image*>(this);  // only read
  for (int32_t y = 0; y < Height; ++y)
    WithCursors(self, 0, y, copy.get(), 0, y, [&](auto& s, auto& d) {
      if (Depth == DepthFloat) {
        FltPixel p;
        for (int32_t x = 0; x < Width; ++x) d.PutNextFlt(s.GetNextFlt(p));
      } else {
        Pixel p;
        for (int32_t x = 0; x < Width; ++x) d.PutNext(s.GetNext(p));
      }
    });
  return copy.release();
}

// Separable filtered resize with a triangle (tent) filter widened when shrinking, so that every
// source pixel contributes and the result is smooth both ways. Computed in doubles on normalised
// values and stored in this image's own format.
Image* Image::ResizeOfImage(int32_t width, int32_t height, int32_t, int32_t, int32_t) const {
  host::ImagePtr out = hostdetail::NewHostImage(width, height, Depth, true, host::OrderOf(this));
  if (width == 0 || height == 0 || Width == 0 || Height == 0 || hostdetail::Sizing()) return out.release();

  struct Tap {
    int32_t first;
    std::vector<double> w;
  };
  auto weights = [](int32_t src, int32_t dst) {
    std::vector<Tap> taps(dst);
    double scale = double(src) / dst;
    double support = std::max(1.0, scale);
    for (int32_t i = 0; i < dst; ++i) {
      double centre = (i + 0.5) * scale - 0.5;
      int32_t lo = int32_t(std::floor(centre - support)) + 1;
      int32_t hi = int32_t(std::ceil(centre + support)) - 1;
      lo = std::max(lo, 0);
      hi = std::min(hi, src - 1);
      if (hi < lo) lo = hi = std::clamp(int32_t(std::lround(centre)), 0, src - 1);
      Tap& t = taps[i];
      t.first = lo;
      double sum = 0;
      for (int32_t s = lo; s <= hi; ++s) {
        double w = 1.0 - std::fabs((s - centre) / support);
        if (w < 0) w = 0;
        t.w.push_back(w);
        sum += w;
      }
      if (sum <= 0) {
        t.w.assign(t.w.size(), 0.0);
        t.w[0] = 1.0;
        sum = 1.0;
      }
      for (double& w : t.w) w /= sum;
    }
    return taps;
  };
  std::vector<Tap> xt = weights(Width, width), yt = weights(Height, height);

  // Horizontal pass into a double buffer of width x Height.
  std::vector<double> mid(size_t(width) * Height * 4);
  std::vector<double> row(size_t(Width) * 4);
  for (int32_t y = 0; y < Height; ++y) {
    for (int32_t x = 0; x < Width; ++x) ReadNormal(this, PixelAddress(x, y), &row[size_t(x) * 4]);
    for (int32_t i = 0; i < width; ++i) {
      double acc[4] = {0, 0, 0, 0};
      const Tap& t = xt[i];
      for (size_t k = 0; k < t.w.size(); ++k)
        for (int c = 0; c < 4; ++c) acc[c] += t.w[k] * row[size_t(t.first + k) * 4 + c];
      std::memcpy(&mid[(size_t(y) * width + i) * 4], acc, sizeof acc);
    }
  }
  for (int32_t j = 0; j < height; ++j) {
    const Tap& t = yt[j];
    for (int32_t i = 0; i < width; ++i) {
      double acc[4] = {0, 0, 0, 0};
      for (size_t k = 0; k < t.w.size(); ++k)
        for (int c = 0; c < 4; ++c) acc[c] += t.w[k] * mid[(size_t(t.first + k) * width + i) * 4 + c];
      WriteNormal(out.get(), out->PixelAddress(i, j), acc);
    }
  }
  return out.release();
}

// Separable Gaussian blur; the radius is the standard deviation in pixels, the kernel reaches
// three of them, and edges repeat the border pixel.
void Image::ImageBlur(Image* target, int32_t, int32_t, int32_t, int32_t, int32_t, double xRadius,
                      double yRadius, double, double) const {
  if (!target || target->Width != Width || target->Height != Height || hostdetail::Sizing()) return;
  auto kernel = [](double sigma) {
    std::vector<double> k;
    if (!(sigma > 0.0) || !std::isfinite(sigma)) return std::vector<double>{1.0};
    int32_t reach = int32_t(std::ceil(std::min(sigma, 1000.0) * 3.0));
    double sum = 0;
    for (int32_t i = -reach; i <= reach; ++i) {
      double w = std::exp(-0.5 * (i * i) / (sigma * sigma));
      k.push_back(w);
      sum += w;
    }
    for (double& w : k) w /= sum;
    return k;
  };
  std::vector<double> kx = kernel(xRadius), ky = kernel(yRadius);
  int32_t rx = int32_t(kx.size() / 2), ry = int32_t(ky.size() / 2);
  if (Width == 0 || Height == 0) return;

  std::vector<double> src(size_t(Width) * Height * 4), mid(src.size());
  for (int32_t y = 0; y < Height; ++y)
    for (int32_t x = 0; x < Width; ++x)
      ReadNormal(this, PixelAddress(x, y), &src[(size_t(y) * Width + x) * 4]);
  for (int32_t y = 0; y < Height; ++y)
    for (int32_t x = 0; x < Width; ++x) {
      double acc[4] = {0, 0, 0, 0};
      for (int32_t k = -rx; k <= rx; ++k) {
        int32_t sx = std::clamp(x + k, 0, Width - 1);
        for (int c = 0; c < 4; ++c) acc[c] += kx[k + rx] * src[(size_t(y) * Width + sx) * 4 + c];
      }
      std::memcpy(&mid[(size_t(y) * Width + x) * 4], acc, sizeof acc);
    }
  for (int32_t y = 0; y < Height; ++y)
    for (int32_t x = 0; x < Width; ++x) {
      double acc[4] = {0, 0, 0, 0};
      for (int32_t k = -ry; k <= ry; ++k) {
        int32_t sy = std::clamp(y + k, 0, Height - 1);
        for (int c = 0; c < 4; ++c) acc[c] += ky[k + ry] * mid[(size_t(sy) * Width + x) * 4 + c];
      }
      WriteNormal(target, target->PixelAddress(x, y), acc);
    }
}

namespace {

// Premultiplied over of one pixel. Integer images: o = s + round(d * (65535 - sa) / 65535), in
// exact integer arithmetic (saturated by the store); float images: o = s + d * (1 - sa).
inline void Over(const Pixel& s, Pixel& d) {
  const uint64_t keep = 65535u - std::min<uint32_t>(s.A, 65535u);
  d.B = s.B + uint32_t((d.B * keep + 32767u) / 65535u);
  d.G = s.G + uint32_t((d.G * keep + 32767u) / 65535u);
  d.R = s.R + uint32_t((d.R * keep + 32767u) / 65535u);
  d.A = s.A + uint32_t((d.A * keep + 32767u) / 65535u);
}
inline void Over(const FltPixel& s, FltPixel& d) {
  const float keep = 1.0f - s.A;
  d.B = s.B + d.B * keep;
  d.G = s.G + d.G * keep;
  d.R = s.R + d.R * keep;
  d.A = s.A + d.A * keep;
}

// The merge loop for one pair of cursor types, over output rows y0..y1 and columns x0..x1.
template <class Px, class SrcC, class DstC>
void MergeRows(SrcC& sc, DstC& dc, int64_t x, int64_t y, int64_t x0, int64_t x1, int64_t y0, int64_t y1) {
  Px sp, dp;
  for (int64_t oy = y0; oy < y1; ++oy) {
    sc.MoveTo(int32_t(x0 - x), int32_t(oy - y));
    dc.MoveTo(int32_t(x0), int32_t(oy));
    for (int64_t ox = x0; ox < x1; ++ox) {
      if constexpr (std::is_same_v<Px, FltPixel>) {
        sc.GetNextFlt(sp);
        dc.GetFlt(dp);
        Over(sp, dp);
        dc.PutNextFlt(dp);
      } else {
        sc.GetNext(sp);
        dc.Get(dp);
        Over(sp, dp);
        dc.PutNext(dp);
      }
    }
  }
}

}  // namespace

void Image::OXMerge(const Image* src, int32_t x, int32_t y) { OXMergeRows(src, x, y, 0, Height); }

// Premultiplied over of src with its top-left pixel at (x, y), clipped to this image and to the
// output rows rowBegin..rowEnd-1; disjoint row bands may be merged on different threads.
void Image::OXMergeRows(const Image* src, int32_t x, int32_t y, int32_t rowBegin, int32_t rowEnd) {
  if (!src || src->Width <= 0 || src->Height <= 0 || hostdetail::Sizing()) return;
  int64_t x0 = std::max<int64_t>(0, x), y0 = std::max<int64_t>({0, y, rowBegin});
  int64_t x1 = std::min<int64_t>(Width, int64_t(x) + src->Width);
  int64_t y1 = std::min<int64_t>({int64_t(Height), int64_t(y) + src->Height, int64_t(rowEnd)});
  if (x0 >= x1 || y0 >= y1) return;
  Image* source = const_cast<Image*>(src);  // only read
  WithCursors(source, 0, 0, this, 0, 0, [&](auto& sc, auto& dc) {
    if (Depth == DepthFloat)
      MergeRows<FltPixel>(sc, dc, x, y, x0, x1, y0, y1);
    else
      MergeRows<Pixel>(sc, dc, x, y, x0, x1, y0, y1);
  });
}

namespace {

// Images a render makes: in the render target of this thread when it is still free and the
// image is of its kind (ScopedRenderTarget), else of the host's own.
Image* MakeRenderImage(int32_t width, int32_t height, uint32_t depth, bool clear, host::SampleOrder order) {
  if (const Image* target = TakeRenderTarget(width, height, depth, order))
    return new HostImage(*target, clear);
  return hostdetail::NewHostImage(width, height, depth, clear, order).release();
}

}  // namespace

Image* NewImage(const TagList& tags) {
  const bool clear = !tags.Find(ImUncleared);
  if (const Tag* like = tags.Find(ImLike)) {
    auto* model = static_cast<const Image*>(like->ptr);
    if (!model) throw std::invalid_argument("NewImage was given no image to take the size of");
    return MakeRenderImage(model->Width, model->Height, model->Depth, clear, host::OrderOf(model));
  }
  const Tag* w = tags.Find(ImWidth);
  const Tag* h = tags.Find(ImHeight);
  if (!w || !h) throw std::invalid_argument("NewImage needs a width and a height");
  // Owner-form images take the depth and sample order of the request's main image input.
  uint32_t depth = Depth16;
  host::SampleOrder order = host::SampleOrder::kBgra;
  if (const Tag* owner = tags.Find(ImOwner)) {
    auto* io = static_cast<const ImageOwner*>(owner->ptr);
    if (io && io->op()) {
      OperatorState* st = io->op()->State();
      if (st->current) {
        for (auto& in : st->inputs)
          if (in->State()->desc.id == MainImageId && in->State()->desc.IsImage()) {
            if (auto* im = dynamic_cast<Image*>(in->GetValue(st->current, 0))) {
              depth = im->Depth;
              order = host::OrderOf(im);
            }
            break;
          }
      }
    }
  }
  // Sizes are signed 32-bit words; anything else in the slot is refused rather than wrapped.
  auto side = [](const Tag* t) -> int32_t {
    int64_t v = int64_t(int32_t(uint32_t(t->word)));
    if (uint64_t(t->word) > 0xFFFFFFFFu) v = -1;
    return int32_t(v);
  };
  return MakeRenderImage(side(w), side(h), depth, clear, order);
}

namespace host::testing {
void PoisonUnclearedImages(bool on) { g_poison.store(on); }
}  // namespace host::testing

namespace host {
void ImageDeleter::operator()(Image* im) const { delete im; }

ImagePtr MakeImage(int32_t width, int32_t height, uint32_t depth, bool clear, SampleOrder order) {
  return hostdetail::NewHostImage(width, height, depth, clear, order);
}

void UseStorageFormat(Image& im, uint32_t depth, SampleOrder order) {
  const bool rgba = order == SampleOrder::kRgba;
  switch (depth) {
    case Depth8:
      return rgba ? Use<formats::Rgba8>(im) : Use<formats::Bgra8>(im);
    case DepthFloat:
      return rgba ? Use<formats::RgbaFloat>(im) : Use<formats::BgraFloat>(im);
    default:
      return rgba ? Use<formats::Rgba16>(im) : Use<formats::Bgra16>(im);
  }
}

SampleOrder OrderOf(const Image* im) {
  return IsRgbaStorage(im->Storage) ? SampleOrder::kRgba : SampleOrder::kBgra;
}

ScopedRenderTarget::ScopedRenderTarget(const Image* target) : outer_(t_target), outerTaken_(t_taken) {
  if (!target || !IsHostStorage(target->Storage))
    throw std::invalid_argument("a render target must be an image of one of the host's storage formats");
  t_target = target;
  t_taken = false;
}
ScopedRenderTarget::~ScopedRenderTarget() {
  t_target = outer_;
  t_taken = outerTaken_;
}
size_t ImageBytes(const Image* im) { return size_t(im->Width) * im->Height * im->BytesPerPixel; }
uint8_t* RowBytes(const Image* im, int32_t y) { return im->RowTable[y]; }

void KeepFreedImageMemory() {
  mallopt(M_MMAP_THRESHOLD, int(BlockPool::kSmallest));
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  Blocks().Enable();
}

void SetImageBudget(uint64_t bytes) { g_budget.store(bytes); }
uint64_t ImageBudget() {
  uint64_t b = g_budget.load();
  if (b == 0) {
    b = DefaultBudget();
    g_budget.store(b);
  }
  return b;
}
}  // namespace host

}  // namespace orvanta
