#include "orvanta/io/image_io.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "half_rows.h"
#include "orvanta/host/failure.h"

namespace orvanta::io {
namespace fs = std::filesystem;
using OIIO::TypeDesc;

namespace {

// OpenImageIO's messages can span lines; the command reports one line.
std::string OneLine(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '.' || s.back() == ' ')) s.pop_back();
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s.empty() ? "the image library gave no reason" : s;
}

TypeDesc MemoryType(uint32_t depth) {
  return depth == Depth8 ? TypeDesc::UINT8 : depth == DepthFloat ? TypeDesc::FLOAT : TypeDesc::UINT16;
}

const char* SampleName(TypeDesc t) {
  if (t == TypeDesc::UINT8) return "8-bit";
  if (t == TypeDesc::UINT16) return "16-bit";
  if (t == TypeDesc::HALF) return "half-float";
  if (t == TypeDesc::FLOAT) return "float";
  return "such";
}

int FindChannel(const OIIO::ImageSpec& spec, const char* name) {
  for (int i = 0; i < spec.nchannels && i < int(spec.channelnames.size()); ++i)
    if (strcasecmp(spec.channelnames[i].c_str(), name) == 0) return i;
  return -1;
}

// Which file channels become red, green, blue and alpha (-1: alpha at full scale).
struct ChannelMap {
  int r, g, b, a;
  int Count() const { return std::max({r, g, b, a}) + 1; }
};

ChannelMap MapChannels(const OIIO::ImageSpec& spec) {
  ChannelMap m{FindChannel(spec, "R"), FindChannel(spec, "G"), FindChannel(spec, "B"), -1};
  m.a = spec.alpha_channel >= 0 && spec.alpha_channel < spec.nchannels ? spec.alpha_channel
                                                                       : FindChannel(spec, "A");
  if (m.r < 0 || m.g < 0 || m.b < 0) {
    if (spec.nchannels >= 3) {
      m.r = 0, m.g = 1, m.b = 2;
    } else {
      int grey = m.a == 0 && spec.nchannels > 1 ? 1 : 0;
      m.r = m.g = m.b = grey;
    }
  }
  if (m.a == m.r || m.a == m.g || m.a == m.b) m.a = -1;
  return m;
}

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
void SwapRedBlue(const uint8_t* in, uint8_t* out, int32_t width) {
  SwapRedBlueWords<uint8_t, uint32_t>(in, out, width);
}
void SwapRedBlue(const uint16_t* in, uint16_t* out, int32_t width) {
  SwapRedBlueWords<uint16_t, uint64_t>(in, out, width);
}
void SwapRedBlue(const float* in, float* out, int32_t width) {
  for (int32_t x = 0; x < width; ++x, in += 4, out += 4) {
    const float r = in[0], g = in[1], b = in[2], a = in[3];
    out[0] = b, out[1] = g, out[2] = r, out[3] = a;
  }
}

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

// Keeps the image libraries' own complaints (libpng prints to stderr) off the terminal while a
// call into them runs; their errors still reach us through geterror() and become our one sentence.
// Reading and writing run on threads of their own during a sequence: the first call in redirects
// stderr and the last one out restores it, so that no thread saves the redirected one as "real".
class QuietStderr {
 public:
  QuietStderr() {
    std::lock_guard<std::mutex> lock(Mutex());
    if (Count()++ > 0) return;
    std::fflush(stderr);
    Saved() = ::dup(2);
    int null = ::open("/dev/null", O_WRONLY);
    if (Saved() >= 0 && null >= 0) ::dup2(null, 2);
    if (null >= 0) ::close(null);
  }
  ~QuietStderr() {
    std::lock_guard<std::mutex> lock(Mutex());
    if (--Count() > 0) return;
    std::fflush(stderr);
    if (Saved() >= 0) {
      ::dup2(Saved(), 2);
      ::close(Saved());
      Saved() = -1;
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static int& Count() {
    static int n = 0;
    return n;
  }
  static int& Saved() {
    static int fd = -1;
    return fd;
  }
};

// Rows are read a block at a time (tiled files whole), so reading costs little beyond the image.
constexpr int32_t kBlockRows = 32;

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

// Image rows y0..y0+rows-1 (BGRA) to interleaved RGB or RGBA samples.
template <class T>
void CopyOut(const Image& im, int32_t y0, int32_t rows, int nch, T* d) {
  if (nch == 4) {
    for (int32_t y = y0; y < y0 + rows; ++y, d += size_t(im.Width) * 4)
      SwapRedBlue(reinterpret_cast<const T*>(host::RowBytes(&im, y)), d, im.Width);
    return;
  }
  for (int32_t y = y0; y < y0 + rows; ++y) {
    const T* row = reinterpret_cast<const T*>(host::RowBytes(&im, y));
    for (int32_t x = 0; x < im.Width; ++x, row += 4, d += nch) {
      d[0] = row[2];
      d[1] = row[1];
      d[2] = row[0];
      if (nch == 4) d[3] = row[3];
    }
  }
}

// The header of a written file; no time stamp, so the same render gives the same file bytes.
OIIO::ImageSpec WriteSpec(const Image& im, int nch, TypeDesc file, bool alpha) {
  OIIO::ImageSpec spec(im.Width, im.Height, nch, file);
  if (alpha) spec.attribute("oiio:UnassociatedAlpha", 1);  // write the values as they are
  spec.attribute("DateTime", "");
  return spec;
}

// Writes the image a block of rows at a time, so writing costs little beyond the image itself.
// Float images bound for half samples are converted here (see half_rows.h).
bool WriteRows(OIIO::ImageOutput& out, const Image& im, int nch, TypeDesc file) {
  const TypeDesc mem = MemoryType(im.Depth);
  const bool toHalf = im.Depth == DepthFloat && file == TypeDesc::HALF && HalfRowsFast();
  const int32_t block = std::min(kBlockRows, im.Height);
  const size_t samples = size_t(im.Width) * size_t(block) * size_t(nch);
  std::vector<uint8_t> bytes(toHalf && nch == 4 ? 0 : samples * mem.size());
  std::vector<uint16_t> halves(toHalf ? samples : 0);
  for (int32_t y = 0; y < im.Height; y += block) {
    const int32_t rows = std::min(block, im.Height - y);
    if (toHalf && nch == 4) {  // converted straight from the rows
      for (int32_t r = 0; r < rows; ++r)
        FloatBgraToHalfRgba(reinterpret_cast<const float*>(host::RowBytes(&im, y + r)),
                            halves.data() + size_t(r) * size_t(im.Width) * 4, size_t(im.Width));
    } else if (im.Depth == Depth8) {
      CopyOut(im, y, rows, nch, bytes.data());
    } else if (im.Depth == DepthFloat) {
      CopyOut(im, y, rows, nch, reinterpret_cast<float*>(bytes.data()));
      if (toHalf)
        FloatToHalf(reinterpret_cast<const float*>(bytes.data()), halves.data(),
                    size_t(im.Width) * size_t(rows) * size_t(nch));
    } else {
      CopyOut(im, y, rows, nch, reinterpret_cast<uint16_t*>(bytes.data()));
    }
    QuietStderr quiet;
    const bool ok = toHalf ? out.write_scanlines(y, y + rows, 0, TypeDesc::HALF, halves.data())
                           : out.write_scanlines(y, y + rows, 0, mem, bytes.data());
    if (!ok) return false;
  }
  return true;
}

std::string TempName(const std::string& path) {
  fs::path p(path);
  std::string name = p.stem().string() + ".tmp-" + std::to_string(::getpid()) + p.extension().string();
  return (p.parent_path() / name).string();
}

std::string Extension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  return ext.empty() ? "(none)" : ext;
}

// The pending temporary file, kept in plain storage the signal handler may read.
char g_pending[4096];
volatile std::sig_atomic_t g_hasPending = 0;

void OnSignal(int sig) {
  if (g_hasPending) ::unlink(g_pending);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

Bits ParseBits(std::string_view text) {
  if (text == "8") return Bits::U8;
  if (text == "16") return Bits::U16;
  if (text == "half") return Bits::Half;
  if (text == "float" || text == "32") return Bits::Float;
  throw Failure("--bits takes 8, 16, half or float, not " + Quoted(std::string(text)));
}

namespace {

// Whether every channel of the file holds half samples (an EXR may mix half and float channels).
bool AllHalf(const OIIO::ImageSpec& spec) {
  if (spec.channelformats.empty()) return spec.format == TypeDesc::HALF;
  for (const TypeDesc& t : spec.channelformats)
    if (t != TypeDesc::HALF) return false;
  return true;
}

// Reads the current picture of an open file (after seek_subimage) into a new image.
host::ImagePtr ReadOpen(OIIO::ImageInput& in, const std::string& path) {
  const OIIO::ImageSpec spec = in.spec();
  if (spec.deep) throw Failure("cannot read " + path + ": deep images are not supported");
  if (spec.width <= 0 || spec.height <= 0 || spec.depth > 1 || spec.nchannels < 1)
    throw Failure("cannot read " + path + ": it holds no flat 2D picture");
  uint32_t depth = Depth16;
  switch (spec.format.basetype) {
    case TypeDesc::UINT8:
    case TypeDesc::INT8:
      depth = Depth8;
      break;
    case TypeDesc::HALF:
    case TypeDesc::FLOAT:
    case TypeDesc::DOUBLE:
      depth = DepthFloat;
      break;
    default:
      depth = Depth16;
      break;
  }
  host::ImagePtr im;
  try {
    im = host::MakeImage(spec.width, spec.height, depth, false);  // every sample is read in
  } catch (const std::exception& e) {
    throw Failure("cannot read " + path + ": " + e.what());
  }
  ChannelMap m = MapChannels(spec);
  int subimage = in.current_subimage();
  if (depth == Depth8)
    ReadInto<uint8_t>(in, subimage, m, TypeDesc::UINT8, 255, *im, path);
  else if (depth == Depth16)
    ReadInto<uint16_t>(in, subimage, m, TypeDesc::UINT16, 65535, *im, path);
  else if (AllHalf(spec) && HalfRowsFast())
    ReadHalfInto(in, subimage, m, *im, path);
  else
    ReadInto<float>(in, subimage, m, TypeDesc::FLOAT, 1.0f, *im, path);
  return im;
}

std::unique_ptr<OIIO::ImageInput> OpenForReading(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw Failure("cannot read " + path + ": the file does not exist");
  if (fs::is_directory(path, ec))
    throw Failure("cannot read " + path + ": it is a folder, not an image file");
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

}  // namespace

host::ImagePtr ReadImage(const std::string& path) {
  auto in = OpenForReading(path);
  return ReadOpen(*in, path);
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

void CheckWritable(const std::string& path) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    (void)OIIO::geterror();
    throw Failure("cannot write " + path + ": no image format is known for the extension " + Extension(path));
  }
  CheckWritablePlace(path);
}

void CheckWritablePlace(const std::string& path) {
  std::error_code ec;
  fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) dir = ".";
  if (!fs::is_directory(dir, ec))
    throw Failure("cannot write " + path + ": the folder " + dir.string() + " does not exist");
  if (::access(dir.c_str(), W_OK) != 0)
    throw Failure("cannot write " + path + ": the folder " + dir.string() + " is not writable");
  if (fs::is_directory(path, ec)) throw Failure("cannot write " + path + ": it is a folder");
}

void WriteImage(const Image& im, const std::string& path, Bits bits) {
  CheckWritable(path);
  if (im.Width <= 0 || im.Height <= 0)
    throw Failure("cannot write " + path + ": the result is empty (" + std::to_string(im.Width) + " x " +
                  std::to_string(im.Height) + " pixels)");
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    (void)OIIO::geterror();
    throw Failure("cannot write " + path + ": no image format is known for the extension " + Extension(path));
  }
  const TypeDesc mem = MemoryType(im.Depth);
  TypeDesc file = mem;
  switch (bits) {
    case Bits::Keep:
      break;
    case Bits::U8:
      file = TypeDesc::UINT8;
      break;
    case Bits::U16:
      file = TypeDesc::UINT16;
      break;
    case Bits::Half:
      file = TypeDesc::HALF;
      break;
    case Bits::Float:
      file = TypeDesc::FLOAT;
      break;
  }
  const bool alpha = out->supports("alpha");
  const int nch = alpha ? 4 : 3;
  const OIIO::ImageSpec spec = WriteSpec(im, nch, file, alpha);
  auto writeRows = [&]() { return WriteRows(*out, im, nch, file); };

  const std::string tmp = TempName(path);
  SetPendingFile(tmp);
  auto fail = [&](const std::string& why) {
    out.reset();  // closes the file if still open
    std::remove(tmp.c_str());
    ClearPendingFile();
    return Failure("cannot write " + path + ": " + why);
  };
  if (!out->open(tmp, spec)) throw fail(OneLine(out->geterror()));
  if (out->spec().format != file) {
    std::string why = std::string(out->format_name()) + " files cannot hold " + SampleName(file) +
                      " samples; write another format or choose them with --bits";
    // Finish the temporary file before removing it: some writers complain when closed empty.
    (void)writeRows();
    out->close();
    throw fail(why);
  }
  if (!writeRows()) throw fail(OneLine(out->geterror()));
  if (!out->close()) throw fail(OneLine(out->geterror()));
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw fail(std::strerror(errno));
  ClearPendingFile();
}

std::vector<uint8_t> EncodePng(const Image& im, PngSpeed speed) {
  if (im.Width <= 0 || im.Height <= 0 || im.Depth == DepthFloat)
    throw Failure("cannot encode a PNG picture of " +
                  std::string(im.Depth == DepthFloat ? "a float" : "an empty") + " image");
  std::vector<unsigned char> buffer;
  OIIO::Filesystem::IOVecOutput proxy(buffer);
  auto out = OIIO::ImageOutput::create("preview.png", &proxy);
  if (!out) {
    (void)OIIO::geterror();
    throw Failure("cannot encode a PNG picture: the image library has no PNG writer");
  }
  // The same spec and rows as WriteImage, so the bytes equal those of a written .png file (unless
  // asked to be fast).
  OIIO::ImageSpec spec = WriteSpec(im, 4, MemoryType(im.Depth), true);
  if (speed == PngSpeed::Fast) {
    spec.attribute("png:compressionLevel", 1);
    spec.attribute("png:filter", 8);  // PNG_FILTER_NONE: no per-row filter search
  }
  if (!out->open("preview.png", spec) || !WriteRows(*out, im, 4, MemoryType(im.Depth)) || !out->close())
    throw Failure("cannot encode a PNG picture: " + OneLine(out->geterror()));
  return std::vector<uint8_t>(buffer.begin(), buffer.end());
}

void CodeFilesOnCallingThreads() { OIIO::attribute("exr_threads", -1); }

void InstallSignalCleanup() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void SetPendingFile(const std::string& path) {
  g_hasPending = 0;
  size_t n = std::min(path.size(), sizeof g_pending - 1);
  std::memcpy(g_pending, path.data(), n);
  g_pending[n] = '\0';
  g_hasPending = path.size() < sizeof g_pending ? 1 : 0;
}

void ClearPendingFile() { g_hasPending = 0; }

}  // namespace orvanta::io
