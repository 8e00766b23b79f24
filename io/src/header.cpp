#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>

#include "oiio_util.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/header.h"

namespace orvanta::io {
using OIIO::TypeDesc;

namespace {

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

int FindChannel(const OIIO::ImageSpec& spec, const char* name) {
  for (int i = 0; i < spec.nchannels && i < int(spec.channelnames.size()); ++i)
    if (strcasecmp(spec.channelnames[i].c_str(), name) == 0) return i;
  return -1;
}

// Attributes that describe the file rather than the picture, or that the writer sets itself: the
// sample type, the software, the file's structure, and the colour and alpha tags (kept apart).
bool WriterOwns(const std::string& name) {
  static const char* const kOwn[] = {"Software",
                                     "oiio:BitsPerSample",
                                     "oiio:subimages",
                                     "oiio:ColorSpace",
                                     "oiio:UnassociatedAlpha",
                                     "oiio:Gamma",
                                     "oiio:Movie",
                                     "oiio:subimagename",
                                     "openexr:chunkCount",
                                     "planarconfig",
                                     "tiff:Compression",
                                     "tiff:PhotometricInterpretation",
                                     "tiff:PlanarConfiguration",
                                     "tiff:RowsPerStrip",
                                     "tiff:UnassociatedAlpha",
                                     "dpx:ImageDescriptor",
                                     "dpx:EndOfLinePadding",
                                     "dpx:EndOfImagePadding"};
  for (const char* own : kOwn)
    if (Same(name, own)) return true;
  return false;
}

// The colour space the reader gives when the file names none (PNG and JPEG: sRGB; EXR: linear).
bool ReaderAssumes(const std::string& format, const std::string& space) {
  if (format == "png" || format == "jpeg") return Same(space, "sRGB");
  if (format == "openexr" || format == "hdr") return Same(space, "Linear");
  return false;
}

AlphaConvention ConventionOf(const OIIO::ImageSpec& spec, const std::string& format) {
  if (format == "openexr") return AlphaConvention::Premultiplied;
  if (spec.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0) return AlphaConvention::Straight;
  if (format == "tiff" || format == "targa") return AlphaConvention::Premultiplied;
  return AlphaConvention::Straight;
}

// Which file channels are red, green, blue and alpha: by name, else the first three (or the
// first, for grey) with alpha after them.
void MapChannels(const OIIO::ImageSpec& spec, FileHeader::Data& h) {
  int r = FindChannel(spec, "R"), g = FindChannel(spec, "G"), b = FindChannel(spec, "B");
  int a = spec.alpha_channel >= 0 && spec.alpha_channel < spec.nchannels ? spec.alpha_channel
                                                                         : FindChannel(spec, "A");
  if (r < 0 || g < 0 || b < 0) {
    if (spec.nchannels >= 3 && (a < 0 || a >= 3)) {
      r = 0, g = 1, b = 2;
    } else {
      r = g = b = a == 0 && spec.nchannels > 1 ? 1 : 0;
    }
  }
  if (a == r || a == g || a == b) a = -1;
  h.colour[0] = r, h.colour[1] = g, h.colour[2] = b;
  h.colourCount = r == g && g == b ? 1 : 3;
  h.alpha = a;
  for (int c = 0; c < spec.nchannels; ++c)
    if (c != r && c != g && c != b && c != a) {
      h.extras.push_back(c);
      h.extraTypes.push_back(spec.channelformat(c));
      h.extraPixelBytes += spec.channelformat(c).size();
    }
}

std::string ValueText(const OIIO::ParamValue& p) { return p.get_string(1 << 20); }

// "HH:MM:SS:FF" (';' before the frames for drop-frame counts).
bool LooksLikeTimecode(const std::string& s) {
  if (s.size() != 11) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool sep = i % 3 == 2;
    if (sep ? !(s[i] == ':' || (i == 8 && s[i] == ';')) : !std::isdigit(static_cast<unsigned char>(s[i])))
      return false;
  }
  return true;
}

// A timecode as SMPTE 12M stores it: hours, minutes, seconds and frames in binary-coded decimal
// (tens above units), the drop-frame flag at bit 6; no user bits.
std::array<unsigned int, 2> TimecodeWords(const std::string& s) {
  auto bcd = [&](size_t at) { return unsigned((s[at] - '0') << 4 | (s[at + 1] - '0')); };
  const unsigned drop = s[8] == ';' ? 1u << 6 : 0u;
  return {bcd(0) << 24 | bcd(3) << 16 | bcd(6) << 8 | bcd(9) | drop, 0u};
}

// "N/D" or "N", whole numbers, D not zero.
bool LooksLikeRate(const std::string& s) {
  const size_t slash = s.find('/');
  auto whole = [](const std::string& t) {
    return !t.empty() && t.size() < 10 && std::all_of(t.begin(), t.end(), ::isdigit);
  };
  if (slash == std::string::npos) return whole(s);
  const std::string den = s.substr(slash + 1);
  return whole(s.substr(0, slash)) && whole(den) && std::stol(den) != 0;
}

}  // namespace

std::unique_ptr<FileHeader::Data> HeaderOf(const OIIO::ImageInput& in, const std::string& path) {
  auto h = std::make_unique<FileHeader::Data>();
  const OIIO::ImageSpec& spec = in.spec();
  h->path = path;
  h->format = in.format_name();
  h->spec = spec;
  h->bits = StoredBits(spec);
  h->spec.extra_attribs.clear();
  for (const OIIO::ParamValue& p : spec.extra_attribs)
    if (!WriterOwns(p.name().string())) h->spec.extra_attribs.push_back(p);
  MapChannels(spec, *h);
  h->colourType = spec.channelformat(h->colour[0]);
  h->convention = ConventionOf(spec, h->format);
  h->colourSpace = spec.get_string_attribute("oiio:ColorSpace");
  h->part = in.current_subimage();
  h->parts = std::max(1, spec.get_int_attribute("oiio:subimages", 1));
  return h;
}

bool ColourTagIsOwn(const FileHeader::Data& h) {
  return !h.colourSpace.empty() && !ReaderAssumes(h.format, h.colourSpace);
}

int StoredBits(const OIIO::ImageSpec& spec) {
  const int natural = int(spec.format.size() * 8);
  if (!spec.format.is_floating_point()) return spec.get_int_attribute("oiio:BitsPerSample", natural);
  return natural;
}

std::string SampleText(TypeDesc type, int bits) {
  if (type == TypeDesc::HALF) return "half-float";
  if (type == TypeDesc::FLOAT) return "float";
  if (type == TypeDesc::DOUBLE) return "double";
  const int natural = int(type.size() * 8);
  return std::to_string(bits > 0 ? bits : natural) + "-bit";
}

FileHeader::FileHeader(std::unique_ptr<Data> data) : data_(std::move(data)) {}
FileHeader::~FileHeader() = default;

const std::string& FileHeader::Path() const { return data_->path; }
const std::string& FileHeader::FormatName() const { return data_->format; }
Window FileHeader::DataWindow() const {
  const OIIO::ImageSpec& s = data_->spec;
  return {s.x, s.y, s.width, s.height};
}
Window FileHeader::DisplayWindow() const {
  const OIIO::ImageSpec& s = data_->spec;
  return {s.full_x, s.full_y, s.full_width, s.full_height};
}
int FileHeader::ColourChannels() const { return data_->colourCount; }
bool FileHeader::HasAlpha() const { return data_->alpha >= 0; }
AlphaConvention FileHeader::Alpha() const { return data_->convention; }
std::vector<std::string> FileHeader::ExtraChannels() const {
  std::vector<std::string> names;
  for (int c : data_->extras) names.push_back(data_->spec.channel_name(c));
  return names;
}
std::string FileHeader::SampleName() const { return SampleText(data_->spec.format, data_->bits); }
std::string FileHeader::Compression() const { return data_->spec.get_string_attribute("compression"); }
std::string FileHeader::ColourSpace() const { return ColourTagIsOwn(*data_) ? data_->colourSpace : ""; }
int FileHeader::Part() const { return data_->part; }
int FileHeader::Parts() const { return data_->parts; }

std::vector<AttributeText> FileHeader::Attributes() const {
  std::vector<AttributeText> out;
  for (const OIIO::ParamValue& p : data_->spec.extra_attribs)
    out.push_back({p.name().string(), p.type().c_str(), ValueText(p)});
  return out;
}

std::vector<AttributeValue> FileHeader::Values() const {
  std::vector<AttributeValue> out;
  for (const OIIO::ParamValue& p : data_->spec.extra_attribs) {
    const TypeDesc t = p.type();
    AttributeValue v{p.name().string(), std::string()};
    const bool scalar = t.aggregate == TypeDesc::SCALAR && t.arraylen == 0;
    if (t == OIIO::TypeTimeCode || t == OIIO::TypeRational || t.basetype == TypeDesc::STRING) {
      v.value = ValueText(p);
    } else if (scalar && (t.basetype == TypeDesc::FLOAT || t.basetype == TypeDesc::DOUBLE ||
                          t.basetype == TypeDesc::HALF)) {
      v.value = p.get_float();
    } else if (scalar) {
      v.value = int64_t(p.get_int());
    } else if (t.basetype == TypeDesc::FLOAT || t.basetype == TypeDesc::DOUBLE ||
               t.basetype == TypeDesc::INT || t.basetype == TypeDesc::UINT) {
      const size_t n = size_t(t.numelements()) * t.aggregate * size_t(p.nvalues());
      std::vector<double> list(n);
      for (size_t i = 0; i < n; ++i) {
        switch (t.basetype) {
          case TypeDesc::FLOAT:
            list[i] = static_cast<const float*>(p.data())[i];
            break;
          case TypeDesc::DOUBLE:
            list[i] = static_cast<const double*>(p.data())[i];
            break;
          case TypeDesc::INT:
            list[i] = static_cast<const int32_t*>(p.data())[i];
            break;
          default:
            list[i] = static_cast<const uint32_t*>(p.data())[i];
            break;
        }
      }
      v.value = std::move(list);
    } else {
      v.value = ValueText(p);
    }
    out.push_back(std::move(v));
  }
  return out;
}

HeaderPtr HeaderWith(const HeaderPtr& base, const std::vector<AttributeValue>& set) {
  auto h = std::make_unique<FileHeader::Data>();
  if (base) {
    const FileHeader::Data& b = base->Internal();
    *h = b;
  }
  for (const AttributeValue& a : set) {
    if (a.name.empty()) throw Failure("an attribute needs a name");
    if (WriterOwns(a.name))
      throw Failure("the attribute " + Quoted(a.name) + " is set by the writer, not kept from the picture");
    h->spec.erase_attribute(a.name);
    if (const auto* i = std::get_if<int64_t>(&a.value)) {
      if (*i < INT32_MIN || *i > INT32_MAX)
        throw Failure("the attribute " + Quoted(a.name) + " holds " + std::to_string(*i) +
                      ", beyond a 32-bit whole number");
      h->spec.attribute(a.name, int(*i));
    } else if (const auto* d = std::get_if<double>(&a.value)) {
      h->spec.attribute(a.name, float(*d));
    } else if (const auto* s = std::get_if<std::string>(&a.value)) {
      // Timecodes and rationals given as text ("01:02:03:04", "24/1") keep their types.
      const OIIO::ParamValue* before = base ? base->Internal().spec.find_attribute(a.name) : nullptr;
      const bool timecode =
          Same(a.name, "smpte:TimeCode") || (before && before->type() == OIIO::TypeTimeCode);
      const bool rational =
          Same(a.name, "FramesPerSecond") || (before && before->type() == OIIO::TypeRational);
      if (timecode || rational) {
        if (!(timecode ? LooksLikeTimecode(*s) : LooksLikeRate(*s)))
          throw Failure("the attribute " + Quoted(a.name) + " takes " +
                        (timecode ? "a timecode such as 01:02:03:04" : "a rate such as 24/1") + ", not " +
                        Quoted(*s));
        if (timecode) {  // the library's own parsing of a timecode gives another
          h->spec.attribute(a.name, OIIO::TypeTimeCode, TimecodeWords(*s).data());
        } else {  // the library's own parsing of a rational drops the denominator
          const size_t slash = s->find('/');
          const int rate[2] = {std::stoi(s->substr(0, slash)),
                               slash == std::string::npos ? 1 : std::stoi(s->substr(slash + 1))};
          h->spec.attribute(a.name, OIIO::TypeRational, rate);
        }
      } else {
        h->spec.attribute(a.name, *s);
      }
    } else {
      const auto& v = std::get<std::vector<double>>(a.value);
      std::vector<float> f(v.begin(), v.end());
      const TypeDesc t = f.size() == 16  ? OIIO::TypeMatrix44
                         : f.size() == 9 ? OIIO::TypeMatrix33
                                         : TypeDesc(TypeDesc::FLOAT, int(f.size()));
      if (f.empty()) throw Failure("the attribute " + Quoted(a.name) + " is an empty list");
      h->spec.attribute(a.name, t, f.data());
    }
  }
  return std::make_shared<const FileHeader>(std::move(h));
}

}  // namespace orvanta::io
