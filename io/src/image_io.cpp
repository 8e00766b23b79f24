#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "half_rows.h"
#include "oiio_util.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/colour.h"
#include "orvanta/io/image_io.h"

namespace orvanta::io {
namespace fs = std::filesystem;
using OIIO::TypeDesc;

std::string OneLine(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '.' || s.back() == ' ')) s.pop_back();
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s.empty() ? "the image library gave no reason" : s;
}

TypeDesc MemoryType(uint32_t depth) {
  return depth == Depth8 ? TypeDesc::UINT8 : depth == DepthFloat ? TypeDesc::FLOAT : TypeDesc::UINT16;
}

// Reading and writing run on threads of their own during a sequence: the first call in redirects
// stderr and the last one out restores it, so that no thread saves the redirected one as "real".
namespace {
std::mutex g_quietMutex;
int g_quietCount = 0;
int g_savedStderr = -1;
}  // namespace

QuietStderr::QuietStderr() {
  std::lock_guard<std::mutex> lock(g_quietMutex);
  if (g_quietCount++ > 0) return;
  std::fflush(stderr);
  g_savedStderr = ::dup(2);
  int null = ::open("/dev/null", O_WRONLY);
  if (g_savedStderr >= 0 && null >= 0) ::dup2(null, 2);
  if (null >= 0) ::close(null);
}

QuietStderr::~QuietStderr() {
  std::lock_guard<std::mutex> lock(g_quietMutex);
  if (--g_quietCount > 0) return;
  std::fflush(stderr);
  if (g_savedStderr >= 0) {
    ::dup2(g_savedStderr, 2);
    ::close(g_savedStderr);
    g_savedStderr = -1;
  }
}

namespace {

// Which file channels become red, green, blue and alpha (-1: alpha at full scale).
struct ChannelMap {
  int r, g, b, a;
  int Count() const { return std::max({r, g, b, a}) + 1; }
};

ChannelMap MapOf(const FileHeader::Data& h) { return {h.colour[0], h.colour[1], h.colour[2], h.alpha}; }

bool IsRgba(int nch, const ChannelMap& m) { return nch == 4 && m.r == 0 && m.g == 1 && m.b == 2 && m.a == 3; }

// Copies interleaved file samples of rows y0..y0+rows-1 into the image's rows, reordering RGBA to
// BGRA.
template <class T>
void CopyIn(const T* buf, int32_t y0, int32_t rows, int nch, const ChannelMap& m, T full, Image& im) {
  if (IsRgba(nch, m)) {  // the usual layout
    for (int32_t y = y0; y < y0 + rows; ++y)
      SwapRedBlue(buf + size_t(y - y0) * size_t(im.Width) * 4, reinterpret_cast<T*>(host::RowBytes(&im, y)),
                  im.Width);
    return;
  }
  for (int32_t y = y0; y < y0 + rows; ++y) {
    T* row = reinterpret_cast<T*>(host::RowBytes(&im, y));
    const T* s = buf + size_t(y - y0) * size_t(im.Width) * nch;
    for (int32_t x = 0; x < im.Width; ++x, s += nch, row += 4) {
      row[0] = s[m.b];
      row[1] = s[m.g];
      row[2] = s[m.r];
      row[3] = m.a >= 0 ? s[m.a] : full;
    }
  }
}

// Whether the file stores exactly samples of `type` in every channel. Those are read as stored:
// the library's converting read sets up a 64 MiB buffer at every call, which costs a fresh
// mapping and its page faults for every block of rows.
bool StoredAs(const OIIO::ImageSpec& spec, TypeDesc type) {
  bool stored = spec.format == type &&
                spec.get_int_attribute("oiio:BitsPerSample", int(type.size() * 8)) == int(type.size() * 8);
  for (const TypeDesc& t : spec.channelformats) stored = stored && t == type;
  return stored;
}

// Reads channels 0..nch-1 of the picture as `type` (Stored samples), a block of rows at a time
// (tiled files whole), handing each block to copy(samples, first row, rows).
template <class Stored, class Copy>
void ReadBlocks(OIIO::ImageInput& in, int subimage, int nch, TypeDesc type, const Image& im,
                const std::string& path, Copy copy) {
  const OIIO::ImageSpec& spec = in.spec();
  const bool tiled = spec.tile_width > 0;
  const bool asStored = StoredAs(spec, type);
  const int32_t block = tiled ? im.Height : std::min(kBlockRows, im.Height);
  std::vector<Stored> buf(size_t(im.Width) * size_t(block) * size_t(nch));
  for (int32_t y = 0; y < im.Height; y += block) {
    const int32_t rows = std::min(block, im.Height - y);
    const int y0 = spec.y + y, y1 = spec.y + y + rows;
    bool ok;
    {
      QuietStderr quiet;
      ok = tiled      ? in.read_image(subimage, 0, 0, nch, type, buf.data())
           : asStored ? in.read_native_scanlines(subimage, 0, y0, y1, 0, 0, nch, buf.data())
                      : in.read_scanlines(subimage, 0, y0, y1, 0, 0, nch, type, buf.data());
    }
    if (!ok) throw Failure("cannot read " + path + ": " + OneLine(in.geterror()));
    copy(buf.data(), y, rows);
  }
}

template <class T>
void ReadInto(OIIO::ImageInput& in, int subimage, const ChannelMap& m, TypeDesc type, T full, Image& im,
              const std::string& path) {
  const int nch = m.Count();
  ReadBlocks<T>(in, subimage, nch, type, im, path,
                [&](const T* buf, int32_t y, int32_t rows) { CopyIn(buf, y, rows, nch, m, full, im); });
}

// Half samples read as they are stored and converted here (see half_rows.h).
void ReadHalfInto(OIIO::ImageInput& in, int subimage, const ChannelMap& m, Image& im,
                  const std::string& path) {
  const int nch = m.Count();
  const bool rgba = IsRgba(nch, m);
  std::vector<float> floats;  // other layouts: the block as floats, then reordered
  ReadBlocks<uint16_t>(
      in, subimage, nch, TypeDesc::HALF, im, path, [&](const uint16_t* halves, int32_t y, int32_t rows) {
        if (rgba) {  // the usual layout: converted straight into the rows
          for (int32_t r = 0; r < rows; ++r)
            HalfRgbaToFloatBgra(halves + size_t(r) * size_t(im.Width) * 4,
                                reinterpret_cast<float*>(host::RowBytes(&im, y + r)), size_t(im.Width));
          return;
        }
        const size_t samples = size_t(im.Width) * size_t(rows) * size_t(nch);
        if (floats.size() < samples) floats.resize(samples);  // once: the first block is the largest
        HalfToFloat(halves, floats.data(), samples);
        CopyIn(floats.data(), y, rows, nch, m, 1.0f, im);
      });
}

// Whether every channel of the file holds half samples (an EXR may mix half and float channels).
bool AllHalf(const OIIO::ImageSpec& spec) {
  if (spec.channelformats.empty()) return spec.format == TypeDesc::HALF;
  for (const TypeDesc& t : spec.channelformats)
    if (t != TypeDesc::HALF) return false;
  return true;
}

uint32_t DepthOfFile(const OIIO::ImageSpec& spec) {
  switch (spec.format.basetype) {
    case TypeDesc::UINT8:
    case TypeDesc::INT8:
      return Depth8;
    case TypeDesc::HALF:
    case TypeDesc::FLOAT:
    case TypeDesc::DOUBLE:
      return DepthFloat;
    default:
      return Depth16;
  }
}

// The samples of the channels beyond colour and alpha, as stored, pixel by pixel (all of them
// from the first extra channel on are read in one go, then picked).
void ReadExtras(OIIO::ImageInput& in, FileHeader::Data& h) {
  if (h.extras.empty()) return;
  const OIIO::ImageSpec& spec = in.spec();
  const int first = h.extras.front(), end = spec.nchannels;
  std::vector<size_t> offset(size_t(end - first) + 1, 0);
  for (int c = first; c < end; ++c)
    offset[size_t(c - first) + 1] = offset[size_t(c - first)] + spec.channelformat(c).size();
  const size_t pixels = size_t(spec.width) * size_t(spec.height);
  std::vector<uint8_t> all(pixels * offset.back());
  bool ok;
  {
    QuietStderr quiet;
    const OIIO::stride_t x = OIIO::stride_t(offset.back());
    ok =
        in.read_image(in.current_subimage(), 0, first, end, TypeDesc::UNKNOWN, all.data(), x, x * spec.width);
  }
  if (!ok) throw Failure("cannot read " + h.path + ": " + OneLine(in.geterror()));
  h.extraSamples.resize(pixels * h.extraPixelBytes);
  uint8_t* d = h.extraSamples.data();
  for (size_t p = 0; p < pixels; ++p) {
    const uint8_t* s = all.data() + p * offset.back();
    for (int c : h.extras) {
      const size_t n = offset[size_t(c - first) + 1] - offset[size_t(c - first)];
      std::memcpy(d, s + offset[size_t(c - first)], n);
      d += n;
    }
  }
}

// Reads the current picture of an open file (after seek_subimage) into a new image.
Picture ReadOpen(OIIO::ImageInput& in, const std::string& path, bool extras) {
  const OIIO::ImageSpec& spec = in.spec();
  if (spec.deep) throw Failure("cannot read " + path + ": deep images are not supported");
  if (spec.width <= 0 || spec.height <= 0 || spec.depth > 1 || spec.nchannels < 1)
    throw Failure("cannot read " + path + ": it holds no flat 2D picture");
  std::unique_ptr<FileHeader::Data> h = HeaderOf(in, path);
  const uint32_t depth = DepthOfFile(spec);
  host::ImagePtr im;
  try {
    im = host::MakeImage(spec.width, spec.height, depth, false);  // every sample is read in
  } catch (const std::exception& e) {
    throw Failure("cannot read " + path + ": " + e.what());
  }
  const ChannelMap m = MapOf(*h);
  const int subimage = in.current_subimage();
  if (depth == Depth8)
    ReadInto<uint8_t>(in, subimage, m, TypeDesc::UINT8, 255, *im, path);
  else if (depth == Depth16)
    ReadInto<uint16_t>(in, subimage, m, TypeDesc::UINT16, 65535, *im, path);
  else if (AllHalf(spec) && HalfRowsFast())
    ReadHalfInto(in, subimage, m, *im, path);
  else
    ReadInto<float>(in, subimage, m, TypeDesc::FLOAT, 1.0f, *im, path);
  if (extras) ReadExtras(in, *h);
  return {std::move(im), std::make_shared<const FileHeader>(std::move(h))};
}

std::unique_ptr<OIIO::ImageInput> OpenForReading(const std::string& path) {
  CheckInputFile(path, "an image file");
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);  // keep the stored values, do not premultiply
  std::unique_ptr<OIIO::ImageInput> in;
  {
    QuietStderr quiet;
    in = OIIO::ImageInput::open(path, &config);
  }
  if (!in) throw Failure("cannot read " + path + ": " + OneLine(OIIO::geterror()));
  return in;
}

// Moves to the part named (by its name, else its index); the first when none is.
void SeekPart(OIIO::ImageInput& in, const std::string& path, const std::string& part) {
  if (part.empty()) return;
  std::vector<std::string> names;
  for (int i = 0; in.seek_subimage(i, 0); ++i) {
    const std::string name = in.spec().get_string_attribute("name");
    if (name == part) return;
    names.push_back(name.empty() ? std::to_string(i) : name);
  }
  (void)in.geterror();
  int index = -1;
  if (std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) && part.size() < 6)
    index = std::stoi(part);
  if (index >= 0 && in.seek_subimage(index, 0)) return;
  (void)in.geterror();
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + Quoted(n);
  throw Failure("cannot read " + path + ": it has no part " + Quoted(part) + "; its parts are " + list);
}

}  // namespace

namespace {

// The pending temporary file, kept in plain storage the signal handler may read.
// Files are written on several threads at once (a sequence's writers): one slot each. A slot is
// free (0), being filled (1) or names a file (2); the atomics are lock-free, so the handler may
// read them.
struct PendingSlot {
  char path[4096];
  std::atomic<int> state{0};
};
PendingSlot g_pending[16];

void OnSignal(int sig) {
  for (PendingSlot& slot : g_pending)
    if (slot.state.load() == 2) ::unlink(slot.path);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

void CheckInputFile(const std::string& path, const std::string& kind) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    throw Failure(
        "cannot read " + path + ": " +
        (err == ENOENT || err == ENOTDIR ? std::string("the file does not exist") : std::strerror(err)));
  }
  if (S_ISDIR(st.st_mode)) throw Failure("cannot read " + path + ": it is a folder, not " + kind);
  if (!S_ISREG(st.st_mode))
    throw Failure("cannot read " + path + ": it is " +
                  (S_ISFIFO(st.st_mode)   ? "a pipe"
                   : S_ISSOCK(st.st_mode) ? "a socket"
                                          : "a device") +
                  ", not " + kind + " (only regular files are read)");
}

Bits ParseBits(std::string_view text) {
  if (text == "8") return Bits::U8;
  if (text == "10") return Bits::U10;
  if (text == "12") return Bits::U12;
  if (text == "16") return Bits::U16;
  if (text == "half") return Bits::Half;
  if (text == "float" || text == "32") return Bits::Float;
  throw Failure("--bits takes 8, 10, 12, 16, half or float, not " + Quoted(std::string(text)));
}

host::ImagePtr ReadImage(const std::string& path) {
  auto in = OpenForReading(path);
  return ReadOpen(*in, path, false).image;
}

Picture ReadPicture(const std::string& path, const ReadOptions& options) {
  auto in = OpenForReading(path);
  SeekPart(*in, path, options.part);
  Picture p = ReadOpen(*in, path, true);
  if (options.colour)
    if (auto conversion = options.colour->ToWorking(*p.header))
      p.image = ConvertedImage(*p.image, *conversion, p.header->Alpha() == AlphaConvention::Premultiplied);
  return p;
}

FileState CheckImageFile(const std::string& path, std::string* why) {
  auto damaged = [&](const std::string& reason) {
    if (why) *why = reason;
    return FileState::Damaged;
  };
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    if (why) *why = "cannot read " + path + ": the file does not exist";
    return FileState::Missing;
  }
  if (!fs::is_regular_file(path, ec)) return damaged("cannot read " + path + ": it is not a regular file");
  std::unique_ptr<OIIO::ImageInput> in;
  try {
    in = OpenForReading(path);
  } catch (const Failure& e) {
    return damaged(e.what());
  }
  const OIIO::ImageSpec spec = in->spec();
  if (spec.width <= 0 || spec.height <= 0 || spec.depth > 1 || spec.nchannels < 1 || spec.deep)
    return damaged("cannot read " + path + ": it holds no flat 2D picture");
  // The header alone does not show a file cut short: every row is read in the file's own sample
  // format, a block of rows (tiled files: a row of tiles) at a time, so a missing one fails.
  const bool tiled = spec.tile_width > 0;
  const int32_t block = std::min(tiled ? spec.tile_height : kBlockRows, spec.height);
  const uint64_t rowBytes = uint64_t(spec.scanline_bytes(true));
  // A header may claim any size; a block beyond this is not a frame this command wrote.
  if (block <= 0 || rowBytes == 0 || rowBytes * uint64_t(block) > (uint64_t(1) << 30))
    return damaged("cannot read " + path + ": its header claims rows of " + std::to_string(rowBytes) +
                   " bytes");
  std::vector<unsigned char> buf(size_t(rowBytes * uint64_t(block)));
  QuietStderr quiet;
  for (int32_t y = 0; y < spec.height; y += block) {
    const int32_t rows = std::min(block, spec.height - y);
    const bool ok = tiled
                        ? in->read_tiles(0, 0, spec.x, spec.x + spec.width, spec.y + y, spec.y + y + rows,
                                         spec.z, spec.z + 1, 0, spec.nchannels, TypeDesc::UNKNOWN, buf.data())
                        : in->read_scanlines(0, 0, spec.y + y, spec.y + y + rows, 0, 0, spec.nchannels,
                                             TypeDesc::UNKNOWN, buf.data());
    if (!ok || in->has_error()) return damaged("cannot read " + path + ": " + OneLine(in->geterror()));
  }
  if (!in->close() || in->has_error()) return damaged("cannot read " + path + ": " + OneLine(in->geterror()));
  return FileState::Complete;
}

void CodeFilesOnCallingThreads() { OIIO::attribute("exr_threads", -1); }

void InstallSignalCleanup() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int SetPendingFile(const std::string& path) {
  if (path.size() >= sizeof g_pending[0].path) return -1;
  for (int i = 0; i < int(std::size(g_pending)); ++i) {
    int expected = 0;
    if (!g_pending[i].state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(g_pending[i].path, path.c_str(), path.size() + 1);
    g_pending[i].state.store(2);
    return i;
  }
  return -1;
}

void ClearPendingFile(int slot) {
  if (slot >= 0 && slot < int(std::size(g_pending))) g_pending[slot].state.store(0);
}

}  // namespace orvanta::io
