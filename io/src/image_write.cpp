#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <errno.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "half_rows.h"
#include "oiio_util.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/atomic_file.h"
#include "orvanta/io/colour.h"
#include "orvanta/io/image_io.h"

namespace orvanta::io {
namespace fs = std::filesystem;
using OIIO::TypeDesc;

namespace {

// Writes through the descriptor of a file we created. A failed write is kept and the rest of the
// file dropped while the writer is told every byte went out: some codecs end the process on a
// short write. The caller asks Error() after the writer closed. Sequential writes are gathered
// into blocks, so that codecs writing a few bytes at a time cost few system calls.
class CheckedOutput : public OIIO::Filesystem::IOProxy {
 public:
  CheckedOutput(const std::string& name, int fd) : IOProxy(name, Write), fd_(fd) {}
  ~CheckedOutput() override { Flush(); }
  const char* proxytype() const override { return "orvanta-checked"; }
  void close() override { Flush(); }
  void flush() const override { const_cast<CheckedOutput*>(this)->Flush(); }
  size_t size() const override { return size_t(end_); }

  size_t write(const void* buf, size_t size) override {
    const size_t n = pwrite(buf, size, m_pos);
    m_pos += int64_t(n);
    return n;
  }
  size_t pwrite(const void* buf, size_t size, int64_t offset) override {
    end_ = std::max(end_, offset + int64_t(size));
    const auto* bytes = static_cast<const char*>(buf);
    if (offset != blockStart_ + int64_t(block_.size())) Flush(), blockStart_ = offset;
    if (block_.size() + size > kBlock) Flush(), blockStart_ = offset;
    if (size >= kBlock) {
      WriteAt(bytes, size, offset);
      blockStart_ = offset + int64_t(size);
    } else {
      block_.insert(block_.end(), bytes, bytes + size);
    }
    return size;
  }
  size_t read(void* buf, size_t size) override {
    const size_t n = pread(buf, size, m_pos);
    m_pos += int64_t(n);
    return n;
  }
  size_t pread(void* buf, size_t size, int64_t offset) override {
    Flush();
    const ssize_t n = ::pread(fd_, buf, size, offset);
    return n < 0 ? 0 : size_t(n);
  }

  // The errno of the first write that failed, 0 when all went out.
  int Error() {
    Flush();
    return error_;
  }

 private:
  static constexpr size_t kBlock = 1 << 16;

  void Flush() {
    if (!block_.empty()) WriteAt(block_.data(), block_.size(), blockStart_);
    blockStart_ += int64_t(block_.size());
    block_.clear();
  }
  void WriteAt(const char* bytes, size_t size, int64_t offset) {
    while (error_ == 0 && size > 0) {
      const ssize_t n = ::pwrite(fd_, bytes, size, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) error_ = n < 0 ? errno : EIO;
      if (n <= 0) break;
      bytes += n, size -= size_t(n), offset += n;
    }
  }

  int fd_;
  int error_ = 0;
  int64_t end_ = 0, blockStart_ = 0;
  std::vector<char> block_;
};

std::string Extension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  return ext.empty() ? "(none)" : ext;
}

std::unique_ptr<OIIO::ImageOutput> CreateOutput(const std::string& path) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    (void)OIIO::geterror();
    throw Failure("cannot write " + path + ": no image format is known for the extension " + Extension(path));
  }
  return out;
}

// ---- what the output holds ---------------------------------------------------------------------

// Formats whose files say nothing of the alpha convention: the convention is the format's.
bool FixedConvention(const std::string& format, AlphaConvention& c) {
  if (format == "openexr") return c = AlphaConvention::Premultiplied, true;
  if (format == "png") return c = AlphaConvention::Straight, true;
  return false;
}

bool HoldsTenAndTwelveBits(const std::string& format) { return format == "dpx" || format == "tiff"; }

// The compressions a format's writer takes ("zip:9" gives a level), empty for a format that
// takes none by name.
std::vector<std::string> CompressionsOf(const std::string& format) {
  if (format == "openexr")
    return {"none", "rle", "zip", "zips", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};
  if (format == "tiff") return {"none", "lzw", "zip", "packbits", "ccittrle", "jpeg", "pixarlog"};
  return {};
}

bool CompressionFits(const std::string& format, const std::string& compression) {
  const size_t colon = compression.find(':');
  const std::string name = compression.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string level = compression.substr(colon + 1);
    if (level.empty() || level.size() > 3 || !std::all_of(level.begin(), level.end(), ::isdigit))
      return false;
  }
  for (const std::string& c : CompressionsOf(format))
    if (strcasecmp(c.c_str(), name.c_str()) == 0) return true;
  return false;
}

// An output channel: red, green, blue or alpha of the result (0..3), or extra channel k of the
// header (kExtra + k).
constexpr int kExtra = 4;
struct OutChannel {
  std::string name;
  int source;
};

enum class AlphaChange { None, Premultiply, Unpremultiply };

// Everything decided about an output before its file is opened.
struct Layout {
  OIIO::ImageSpec spec;
  std::vector<OutChannel> channels;
  AlphaChange change = AlphaChange::None;
  std::shared_ptr<const ColourConversion> colour;
  bool premultiplied = false;  // the colour written is premultiplied (converted by its straight colour)
  bool Plain() const {         // red, green, blue in that order, alpha after them: the fast rows
    if (change != AlphaChange::None || colour) return false;
    const size_t n = channels.size();
    if (n == 1) return channels[0].source == 0;
    if (n == 2) return channels[0].source == 0 && channels[1].source == 3;
    for (size_t i = 0; i < n; ++i)
      if (channels[i].source != int(i)) return false;
    return n == 3 || n == 4;
  }
};

const char* const kRgba[4] = {"R", "G", "B", "A"};

// The channels written: as the input (colour count, alpha, extras when the size is kept), or as
// asked for by name. Notes say what is dropped.
std::vector<OutChannel> ChooseChannels(const FileHeader::Data* h, bool sameSize, const WriteOptions& o,
                                       OIIO::ImageOutput& out, const std::string& path,
                                       std::vector<std::string>* notes) {
  auto nameOf = [&](int source) -> std::string {
    if (source >= kExtra) return h->spec.channel_name(h->extras[size_t(source - kExtra)]);
    if (!h) return kRgba[source];
    if (source == 3) return h->alpha >= 0 ? h->spec.channel_name(h->alpha) : "A";
    if (h->colourCount == 1) return h->spec.channel_name(h->colour[0]);
    return h->spec.channel_name(h->colour[source]);
  };
  const std::string format = out.format_name();
  std::vector<OutChannel> channels;
  if (!o.channels.empty()) {
    for (const std::string& want : o.channels) {
      int source = strcasecmp(want.c_str(), "Y") == 0 ? 0 : -1;
      for (int c = 0; c < 4 && source < 0; ++c)
        if (strcasecmp(want.c_str(), kRgba[c]) == 0 || (h && want == nameOf(c))) source = c;
      for (size_t k = 0; h && source < 0 && k < h->extras.size(); ++k)
        if (h->spec.channel_name(h->extras[k]) == want) source = kExtra + int(k);
      if (source < 0)
        throw Failure("cannot write " + path + ": --channels names " + Quoted(want) +
                      ", which is neither R, G, B, A nor a channel of the input");
      if (source >= kExtra && !sameSize)
        throw Failure("cannot write " + path + ": the channel " + Quoted(want) +
                      " keeps the input's size, and the result has another");
      channels.push_back({want, source});
    }
    if (channels.size() > 4 && !out.supports("nchannels"))
      throw Failure("cannot write " + path + ": " + format + " files cannot hold " +
                    std::to_string(channels.size()) + " channels");
    return channels;
  }
  const int colour = h ? h->colourCount : 3;
  for (int c = 0; c < colour; ++c) channels.push_back({nameOf(c), c});
  const bool alpha = (h ? h->alpha >= 0 || o.resultMakesAlpha : true) && out.supports("alpha");
  if (alpha) channels.push_back({nameOf(3), 3});
  if (!h || h->extras.empty()) return channels;
  std::string extras;
  for (int c : h->extras) extras += (extras.empty() ? "" : ", ") + std::string(h->spec.channel_name(c));
  if (!sameSize) {
    if (notes)
      notes->push_back("the result is not the size of " + h->path + ", so its channels " + extras +
                       " are not written");
  } else if (!out.supports("nchannels")) {
    if (notes)
      notes->push_back(format + " files hold no channels besides colour and alpha: " + extras + " of " +
                       h->path + " are not written");
  } else {
    for (size_t k = 0; k < h->extras.size(); ++k)
      channels.push_back({nameOf(kExtra + int(k)), kExtra + int(k)});
  }
  return channels;
}

// The sample type written, and its bits for 10- and 12-bit integers (else 0).
TypeDesc ChooseType(const Image& im, const FileHeader::Data* h, bool converted, Bits bits,
                    const std::string& format, const std::string& path, int& stored) {
  stored = 0;
  switch (bits) {
    case Bits::U8:
      return TypeDesc::UINT8;
    case Bits::U10:
    case Bits::U12:
      if (!HoldsTenAndTwelveBits(format))
        throw Failure("cannot write " + path + ": " + format + " files cannot hold " +
                      (bits == Bits::U10 ? "10" : "12") + "-bit samples; DPX and TIFF files can");
      stored = bits == Bits::U10 ? 10 : 12;
      return TypeDesc::UINT16;
    case Bits::U16:
      return TypeDesc::UINT16;
    case Bits::Half:
      return TypeDesc::HALF;
    case Bits::Float:
      return TypeDesc::FLOAT;
    case Bits::Keep:
      break;
  }
  TypeDesc type = MemoryType(im.Depth);
  const uint32_t fileDepth = !h                                  ? 0
                             : h->colourType.is_floating_point() ? DepthFloat
                             : h->colourType.size() == 1         ? Depth8
                                                                 : Depth16;
  // As the input stores it (a picture converted to a working space was made float on the way).
  if (h && (fileDepth == im.Depth || converted)) {
    type = h->colourType;
    if ((h->bits == 10 || h->bits == 12) && HoldsTenAndTwelveBits(format)) stored = h->bits;
  }
  // EXR holds no 8- or 16-bit samples: the field's tools write half there.
  if (format == "openexr" && (type == TypeDesc::UINT8 || type == TypeDesc::UINT16)) type = TypeDesc::HALF;
  return type;
}

Layout Plan(const Image& im, const FileHeader* header, const WriteOptions& o, OIIO::ImageOutput& out,
            const std::string& path, std::vector<std::string>* notes) {
  // A header of attributes only (made in memory) describes no picture: only its attributes count.
  const FileHeader::Data* given = header ? &header->Internal() : nullptr;
  const FileHeader::Data* h = given && given->spec.nchannels > 0 ? given : nullptr;
  const std::string format = out.format_name();
  const bool sameSize = h && h->spec.width == im.Width && h->spec.height == im.Height;
  Layout l;
  l.channels = ChooseChannels(h, sameSize, o, out, path, notes);
  int stored = 0;
  const bool converted = o.colour && o.colour->Active();
  const TypeDesc type = ChooseType(im, h, converted, o.bits, format, path, stored);
  OIIO::ImageSpec& s = l.spec;
  s = OIIO::ImageSpec(im.Width, im.Height, int(l.channels.size()), type);
  if (given) s.extra_attribs = given->spec.extra_attribs;
  if (sameSize) {  // the input's data window within its display window
    s.x = h->spec.x, s.y = h->spec.y;
    s.full_x = h->spec.full_x, s.full_y = h->spec.full_y;
    s.full_width = h->spec.full_width, s.full_height = h->spec.full_height;
  }
  s.channelnames.clear();
  s.alpha_channel = -1;
  for (size_t c = 0; c < l.channels.size(); ++c) {
    s.channelnames.push_back(l.channels[c].name);
    if (l.channels[c].source == 3) s.alpha_channel = int(c);
  }
  // Extra channels keep their own sample types where the format holds several (EXR).
  const bool mixed =
      format == "openexr" && std::any_of(l.channels.begin(), l.channels.end(), [&](const OutChannel& c) {
        return c.source >= kExtra && h->extraTypes[size_t(c.source - kExtra)] != type;
      });
  if (mixed)
    for (const OutChannel& c : l.channels)
      s.channelformats.push_back(c.source >= kExtra ? h->extraTypes[size_t(c.source - kExtra)] : type);
  if (stored) s.attribute("oiio:BitsPerSample", stored);
  if (!o.compression.empty())
    s.attribute("compression", o.compression);
  else if (!CompressionFits(format, s.get_string_attribute("compression")))
    s.erase_attribute("compression");                              // another format's: this one's default
  if (!s.find_attribute("DateTime")) s.attribute("DateTime", "");  // no time stamp: the same bytes

  // A picture made in memory is taken to be in the convention the output format has (TIFF: straight).
  const bool alpha = s.alpha_channel >= 0;
  AlphaConvention own = h ? h->convention : AlphaConvention::Straight;
  FixedConvention(format, own);
  const AlphaConvention picture = h ? h->convention : own;
  const AlphaConvention written = o.alpha == AlphaChoice::Premultiply     ? AlphaConvention::Premultiplied
                                  : o.alpha == AlphaChoice::Unpremultiply ? AlphaConvention::Straight
                                                                          : own;
  if (alpha) s.attribute("oiio:UnassociatedAlpha", written == AlphaConvention::Straight ? 1 : 0);
  if (alpha && written != picture)
    l.change =
        written == AlphaConvention::Premultiplied ? AlphaChange::Premultiply : AlphaChange::Unpremultiply;
  l.premultiplied = alpha && written == AlphaConvention::Premultiplied;

  if (o.colour && o.colour->Active()) {
    l.colour = o.colour->ToOutput(h ? header : nullptr);
    const std::string space = o.colour->OutputSpace(h ? header : nullptr);
    s.erase_attribute("oiio:Gamma");  // the input's curve no longer describes the output
    if (!space.empty()) s.attribute("oiio:ColorSpace", space);
  } else if (h && ColourTagIsOwn(*h)) {
    s.attribute("oiio:ColorSpace", h->colourSpace);
  }
  return l;
}

// ---- rows --------------------------------------------------------------------------------------

// Image rows y0..y0+rows-1 (BGRA) to interleaved samples: grey, grey and alpha, RGB or RGBA.
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
      if (nch >= 3) {
        d[0] = row[2];
        d[1] = row[1];
        d[2] = row[0];
      } else {
        d[0] = row[2];
        if (nch == 2) d[1] = row[3];
      }
    }
  }
}

// Writes the image a block of rows at a time, so writing costs little beyond the image itself.
// Float images bound for half samples are converted here (see half_rows.h).
bool WriteRows(OIIO::ImageOutput& out, const Image& im, int nch, TypeDesc file, int y0) {
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
    const bool ok = toHalf ? out.write_scanlines(y0 + y, y0 + y + rows, 0, TypeDesc::HALF, halves.data())
                           : out.write_scanlines(y0 + y, y0 + y + rows, 0, mem, bytes.data());
    if (!ok) return false;
  }
  return true;
}

// One image row as RGBA floats on the full scale of 1.0.
void FloatRow(const Image& im, int32_t y, float* d) {
  const uint8_t* s = host::RowBytes(&im, y);
  const size_t n = size_t(im.Width) * 4;
  if (im.Depth == DepthFloat) {
    SwapRedBlue(reinterpret_cast<const float*>(s), d, im.Width);
    return;
  }
  for (size_t p = 0; p < n; p += 4)
    for (size_t c = 0; c < 4; ++c) {
      const size_t from = c == 3 ? 3 : 2 - c;
      d[p + c] = im.Depth == Depth8 ? float(s[p + from]) / 255.0f
                                    : float(reinterpret_cast<const uint16_t*>(s)[p + from]) / 65535.0f;
    }
}

void ChangeAlpha(float* rgba, size_t pixels, AlphaChange change) {
  for (size_t p = 0; p < pixels; ++p, rgba += 4) {
    const float a = rgba[3];
    if (change == AlphaChange::Premultiply) {
      rgba[0] *= a, rgba[1] *= a, rgba[2] *= a;
    } else if (a > 0.0f) {  // where alpha is zero the colour stays as it is
      rgba[0] /= a, rgba[1] /= a, rgba[2] /= a;
    }
  }
}

// Every other output: the rows through floats (alpha convention and colour changed there), each
// channel converted to its file type, extra channels from the header's samples as stored.
bool WriteGeneralRows(OIIO::ImageOutput& out, const Image& im, const FileHeader::Data* h, const Layout& l) {
  const OIIO::ImageSpec& os = out.spec();
  const size_t w = size_t(im.Width), nch = l.channels.size();
  std::vector<size_t> offset(nch + 1, 0);
  for (size_t c = 0; c < nch; ++c) offset[c + 1] = offset[c] + os.channelformat(int(c)).size();
  const size_t pixelBytes = offset.back();
  std::vector<size_t> extraOffset;
  if (h) {
    extraOffset.assign(h->extras.size() + 1, 0);
    for (size_t k = 0; k < h->extras.size(); ++k)
      extraOffset[k + 1] = extraOffset[k] + h->extraTypes[k].size();
  }
  std::vector<float> rgba(w * 4), gathered(w);
  std::vector<uint8_t> raw(w * 16), converted(w * 16), row(w * pixelBytes);
  for (int32_t y = 0; y < im.Height; ++y) {
    FloatRow(im, y, rgba.data());
    if (l.change != AlphaChange::None) ChangeAlpha(rgba.data(), w, l.change);
    if (l.colour) l.colour->Apply(rgba.data(), w, false, l.premultiplied);
    for (size_t c = 0; c < nch; ++c) {
      const int source = l.channels[c].source;
      const TypeDesc to = os.channelformat(int(c));
      if (source < kExtra) {
        for (size_t x = 0; x < w; ++x) gathered[x] = rgba[x * 4 + size_t(source)];
        OIIO::convert_pixel_values(TypeDesc::FLOAT, gathered.data(), to, converted.data(), int(w));
      } else {
        const size_t k = size_t(source - kExtra), n = h->extraTypes[k].size();
        const uint8_t* s = h->extraSamples.data() + size_t(y) * w * h->extraPixelBytes + extraOffset[k];
        for (size_t x = 0; x < w; ++x) std::memcpy(raw.data() + x * n, s + x * h->extraPixelBytes, n);
        OIIO::convert_pixel_values(h->extraTypes[k], raw.data(), to, converted.data(), int(w));
      }
      for (size_t x = 0; x < w; ++x)
        std::memcpy(row.data() + x * pixelBytes + offset[c], converted.data() + x * to.size(), to.size());
    }
    QuietStderr quiet;
    if (!out.write_scanline(os.y + y, 0, TypeDesc::UNKNOWN, row.data(), OIIO::stride_t(pixelBytes)))
      return false;
  }
  return true;
}

bool WritePixels(OIIO::ImageOutput& out, const Image& im, const FileHeader::Data* h, const Layout& l) {
  if (l.Plain()) return WriteRows(out, im, int(l.channels.size()), l.spec.format, out.spec().y);
  return WriteGeneralRows(out, im, h, l);
}

// The other parts of a multi-part input, read as stored: their headers, then their pixels.
struct OtherParts {
  std::unique_ptr<OIIO::ImageInput> in;
  std::vector<OIIO::ImageSpec> specs;  // every part's, the written one's included
};

OtherParts ReadOtherParts(const FileHeader::Data& h, const OIIO::ImageSpec& written,
                          const std::string& path) {
  OtherParts p;
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  {
    QuietStderr quiet;
    p.in = OIIO::ImageInput::open(h.path, &config);
  }
  if (!p.in) throw Failure("cannot read " + h.path + ": " + OneLine(OIIO::geterror()));
  for (int i = 0; i < h.parts; ++i) {
    if (i == h.part) {
      p.specs.push_back(written);
      continue;
    }
    if (!p.in->seek_subimage(i, 0)) throw Failure("cannot read part " + std::to_string(i) + " of " + h.path);
    OIIO::ImageSpec s = p.in->spec();
    if (s.deep)
      throw Failure("cannot write " + path + ": part " + std::to_string(i) + " of " + h.path +
                    " holds deep samples, which are not copied");
    s.tile_width = s.tile_height = s.tile_depth = 0;
    s.erase_attribute("oiio:subimages");
    p.specs.push_back(s);
  }
  return p;
}

bool CopyPart(OtherParts& p, int part, OIIO::ImageOutput& out) {
  const OIIO::ImageSpec& s = p.specs[size_t(part)];
  std::vector<uint8_t> pixels(s.image_bytes(true));
  QuietStderr quiet;
  const OIIO::stride_t x = OIIO::stride_t(s.pixel_bytes(true)), y = x * s.width;
  return p.in->read_image(part, 0, 0, s.nchannels, TypeDesc::UNKNOWN, pixels.data(), x, y) &&
         out.write_image(TypeDesc::UNKNOWN, pixels.data(), x, y);
}

// Writes the parts into the open output: the picture at its own part, the others copied.
bool WriteParts(OtherParts& parts, int picturePart, OIIO::ImageOutput& out, const std::string& tmp,
                const std::function<bool()>& writePicture) {
  for (size_t i = 0; i < parts.specs.size(); ++i) {
    if (i > 0 && !out.open(tmp, parts.specs[i], OIIO::ImageOutput::AppendSubimage)) return false;
    if (!(int(i) == picturePart ? writePicture() : CopyPart(parts, int(i), out))) return false;
  }
  return true;
}

}  // namespace

bool ToolMakesAlpha(const std::string& tool) {
  for (const char* t : {"OrvantaRaster", "OrvantaBillboard", "OrvantaMosaic", "OrvantaScope"})
    if (tool == t) return true;
  return false;
}

void CheckWritable(const std::string& path) {
  CreateOutput(path);
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

void CheckWriteOptions(const std::string& path, const WriteOptions& o) {
  auto out = CreateOutput(path);
  const std::string format = out->format_name();
  if ((o.bits == Bits::U10 || o.bits == Bits::U12) && !HoldsTenAndTwelveBits(format))
    throw Failure("cannot write " + path + ": " + format + " files cannot hold " +
                  (o.bits == Bits::U10 ? "10" : "12") + "-bit samples; DPX and TIFF files can");
  if (!o.compression.empty() && !CompressionFits(format, o.compression)) {
    std::string known;
    for (const std::string& c : CompressionsOf(format)) known += (known.empty() ? "" : ", ") + c;
    throw Failure("cannot write " + path + ": " + format + " files take no compression " +
                  Quoted(o.compression) +
                  (known.empty() ? std::string(" (their writer chooses its own)") : "; they take " + known));
  }
  if (o.channels.size() > 4 && !out->supports("nchannels"))
    throw Failure("cannot write " + path + ": " + format + " files cannot hold " +
                  std::to_string(o.channels.size()) + " channels");
  for (const std::string& c : o.channels)
    if (strcasecmp(c.c_str(), "A") == 0 && !out->supports("alpha"))
      throw Failure("cannot write " + path + ": " + format + " files hold no alpha");
}

void WriteImage(const Image& im, const std::string& path, Bits bits) {
  WriteOptions o;
  o.bits = bits;
  WritePicture(im, nullptr, path, o);
}

void WritePicture(const Image& im, const FileHeader* header, const std::string& path, const WriteOptions& o,
                  std::vector<std::string>* notes) {
  CheckWritablePlace(path);
  auto out = CreateOutput(path);
  if (im.Width <= 0 || im.Height <= 0)
    throw Failure("cannot write " + path + ": the result is empty (" + std::to_string(im.Width) + " x " +
                  std::to_string(im.Height) + " pixels)");
  const FileHeader::Data* h = header && header->Internal().spec.nchannels > 0 ? &header->Internal() : nullptr;
  const Layout l = Plan(im, header, o, *out, path, notes);
  OtherParts parts;
  const bool manyParts = h && h->parts > 1 && out->supports("multiimage");
  if (h && h->parts > 1 && !manyParts && notes)
    notes->push_back(std::string(out->format_name()) + " files hold one part: the other parts of " + h->path +
                     " are not written");
  if (manyParts) parts = ReadOtherParts(*h, l.spec, path);

  AtomicFile file(path);
  // PNG, JPEG and EXR write through our descriptor, every write checked; the others open the
  // temporary file by name and are read back whole after closing.
  std::unique_ptr<CheckedOutput> proxy;
  const std::string format = out->format_name();
  // TIFF's writer fails its Exif directory through a proxy: it writes by name.
  if (out->supports("ioproxy") && (format == "png" || format == "jpeg" || format == "openexr")) {
    proxy = std::make_unique<CheckedOutput>(file.TempPath(), file.Descriptor());
    out->set_ioproxy(proxy.get());
  }
  struct CloseBeforeProxy {
    std::unique_ptr<OIIO::ImageOutput>& out;
    ~CloseBeforeProxy() { out.reset(); }
  } closeBeforeProxy{out};
  auto fail = [&](const std::string& why) {
    out.reset();  // closes the file if still open
    file.Discard();
    return file.Fail(why);
  };
  const std::string& tmp = file.TempPath();
  auto writePicture = [&] { return WritePixels(*out, im, h, l); };
  const bool opened =
      manyParts ? out->open(tmp, int(parts.specs.size()), parts.specs.data()) : out->open(tmp, l.spec);
  if (!opened) throw fail(OneLine(out->geterror()));
  if (out->spec().format != l.spec.format) {
    std::string why = std::string(out->format_name()) + " files cannot hold " + SampleText(l.spec.format) +
                      " samples; write another format or choose them with --bits";
    // Finish the temporary file before removing it: some writers complain when closed empty.
    (void)writePicture();
    out->close();
    throw fail(why);
  }
  const bool ok = manyParts ? WriteParts(parts, h->part, *out, tmp, writePicture) : writePicture();
  if (!ok || out->has_error()) throw fail(OneLine(out->geterror()));
  // Not has_error here: TIFF's writer records a failed Exif directory it does without.
  if (!out->close()) throw fail(OneLine(out->geterror()));
  if (proxy) {
    if (const int err = proxy->Error()) throw fail(std::strerror(err));
  } else {
    std::string why;
    if (CheckImageFile(tmp, &why) != FileState::Complete)
      throw fail("the file written does not read back whole");
  }
  file.Commit();
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
  // The same header and rows as WriteImage, so the bytes equal those of a written .png file
  // (unless asked to be fast).
  OIIO::ImageSpec spec(im.Width, im.Height, 4, MemoryType(im.Depth));
  spec.attribute("oiio:UnassociatedAlpha", 1);
  spec.attribute("DateTime", "");
  if (speed == PngSpeed::Fast) {
    spec.attribute("png:compressionLevel", 1);
    spec.attribute("png:filter", 8);  // PNG_FILTER_NONE: no per-row filter search
  }
  if (!out->open("preview.png", spec) || !WriteRows(*out, im, 4, MemoryType(im.Depth), 0) || !out->close())
    throw Failure("cannot encode a PNG picture: " + OneLine(out->geterror()));
  return std::vector<uint8_t>(buffer.begin(), buffer.end());
}

}  // namespace orvanta::io
