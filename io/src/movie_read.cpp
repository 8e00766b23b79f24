#include <strings.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <vector>

#include "movie_av.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/movie.h"

namespace orvanta::io {
namespace fs = std::filesystem;

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  std::string s = buf;
  if (!s.empty()) s[0] = char(std::tolower(static_cast<unsigned char>(s[0])));
  return s;
}

void QuietAvLog() {
  static const bool once = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
  }();
  (void)once;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsMoviePath(const std::string& path) {
  static const char* const kExtensions[] = {".mov", ".qt",   ".mp4", ".m4v", ".mkv",  ".avi", ".webm", ".mxf",
                                            ".mpg", ".mpeg", ".ts",  ".mts", ".m2ts", ".3gp", ".ogv"};
  const std::string ext = Lower(fs::path(path).extension().string());
  for (const char* e : kExtensions)
    if (ext == e) return true;
  return false;
}

Ratio ParseRate(std::string_view text, const char* option) {
  const std::string t(text);
  auto bad = [&]() {
    return Failure(std::string(option) + " takes a positive number or a fraction such as 24000/1001, not " +
                   Quoted(t));
  };
  Ratio r;
  try {
    size_t used = 0;
    if (size_t slash = t.find('/'); slash != std::string::npos) {
      r.num = std::stoi(t.substr(0, slash), &used);
      if (used != slash) throw bad();
      const std::string den = t.substr(slash + 1);
      r.den = std::stoi(den, &used);
      if (used != den.size()) throw bad();
    } else {
      const double v = std::stod(t, &used);
      if (used != t.size() || !(v > 0) || v > 100000) throw bad();
      r.num = int(std::lround(v * 1000));
      r.den = 1000;
      const int g = std::gcd(r.num, r.den);
      if (g > 0) r.num /= g, r.den /= g;
    }
  } catch (const Failure&) {
    throw;
  } catch (const std::exception&) {
    throw bad();
  }
  if (!r.Valid() || r.Value() > 100000) throw bad();
  return r;
}

namespace {

// Tags the muxer writes by itself, which describe the file rather than the movie.
bool MuxerOwns(const std::string& key) {
  static const char* const kOwn[] = {"encoder",           "major_brand", "minor_version",
                                     "compatible_brands", "timecode",    "duration"};
  for (const char* own : kOwn)
    if (strcasecmp(key.c_str(), own) == 0) return true;
  return false;
}

// The container's tags, and the timecode from the container, the video stream or a timecode track.
void ReadTags(const AVFormatContext& fmt, const AVStream& video, std::map<std::string, std::string>& tags,
              std::string& timecode) {
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(fmt.metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
    if (!MuxerOwns(e->key)) tags[e->key] = e->value;
  if ((e = av_dict_get(video.metadata, "timecode", nullptr, 0))) timecode = e->value;
  if (timecode.empty() && (e = av_dict_get(fmt.metadata, "timecode", nullptr, 0))) timecode = e->value;
  for (unsigned i = 0; timecode.empty() && i < fmt.nb_streams; ++i)
    if ((e = av_dict_get(fmt.streams[i]->metadata, "timecode", nullptr, 0))) timecode = e->value;
}

}  // namespace

std::string TimecodeAfter(const std::string& tc, int64_t frames, Ratio rate) {
  if (tc.empty() || frames == 0 || !rate.Valid()) return tc;
  AVTimecode t;
  if (av_timecode_init_from_string(&t, AVRational{rate.num, rate.den}, tc.c_str(), nullptr) < 0) return tc;
  char buf[AV_TIMECODE_STR_SIZE];
  return av_timecode_make_string(&t, buf, int(std::min<int64_t>(frames, INT32_MAX)));
}

struct MovieReader::Handle {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  int stream = -1;
  AVRational tb{1, 1};
  int64_t start = 0;
  Ratio rate;
  int32_t next = -1;  // index of the frame the decoder gives next; -1 after a seek or at the start
  bool draining = false;
  bool deep = false;
  std::vector<uint8_t> staging;

  ~Handle() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }

  int32_t IndexOf(int64_t pts) const {
    const double seconds = double(pts - start) * av_q2d(tb);
    return int32_t(std::llround(seconds * rate.Value()));
  }

  // Decodes the next picture into frame; false at the end of the stream. Throws the av error.
  bool DecodeNext(const std::string& path) {
    for (;;) {
      int rc = avcodec_receive_frame(dec, frame);
      if (rc == 0) return true;
      if (rc == AVERROR_EOF) return false;
      if (rc != AVERROR(EAGAIN)) throw Failure("cannot read " + path + ": " + AvError(rc));
      if (draining) return false;
      rc = av_read_frame(fmt, pkt);
      if (rc == AVERROR_EOF) {
        draining = true;
        avcodec_send_packet(dec, nullptr);
        continue;
      }
      if (rc < 0) throw Failure("cannot read " + path + ": " + AvError(rc));
      if (pkt->stream_index == stream) rc = avcodec_send_packet(dec, pkt);
      av_packet_unref(pkt);
      if (rc < 0 && rc != AVERROR(EAGAIN)) throw Failure("cannot read " + path + ": " + AvError(rc));
    }
  }

  void Seek(int32_t index, const std::string& path) {
    const int64_t ts = start + av_rescale_q(index, AVRational{rate.den, rate.num}, tb);
    int rc = av_seek_frame(fmt, stream, ts, AVSEEK_FLAG_BACKWARD);
    if (rc < 0) rc = av_seek_frame(fmt, stream, start, AVSEEK_FLAG_BACKWARD);
    if (rc < 0)
      throw Failure("cannot read frame " + std::to_string(index + 1) + " of " + path + ": " + AvError(rc));
    avcodec_flush_buffers(dec);
    draining = false;
    next = -1;
  }

  void DecodeFrame(int32_t index, const std::string& path);
  host::ImagePtr Picture(const std::string& path);
};

MovieReader::MovieReader(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}
MovieReader::~MovieReader() = default;

std::unique_ptr<MovieReader> MovieReader::Open(const std::string& path) {
  if (!IsMoviePath(path)) return nullptr;
  QuietAvLog();
  CheckInputFile(path, "a movie");
  auto h = std::make_unique<Handle>();
  auto fail = [&](const std::string& why) { return Failure("cannot read " + path + ": " + why); };
  int rc = avformat_open_input(&h->fmt, path.c_str(), nullptr, nullptr);
  if (rc < 0) throw fail(AvError(rc));
  if ((rc = avformat_find_stream_info(h->fmt, nullptr)) < 0) throw fail(AvError(rc));
  const AVCodec* codec = nullptr;
  h->stream = av_find_best_stream(h->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (h->stream < 0 || !codec) throw fail("it holds no video stream that can be decoded");
  AVStream* st = h->fmt->streams[h->stream];
  h->dec = avcodec_alloc_context3(codec);
  if (!h->dec || avcodec_parameters_to_context(h->dec, st->codecpar) < 0)
    throw fail("the decoder cannot be set up");
  h->dec->thread_count = 0;  // the decoder's own threads; a picture's bytes do not depend on them
  // Checksums are checked where the codec has them; a frame the decoder flags as damaged is refused.
  h->dec->err_recognition |= AV_EF_CRCCHECK;
  if ((rc = avcodec_open2(h->dec, codec, nullptr)) < 0) throw fail(AvError(rc));
  h->pkt = av_packet_alloc();
  h->frame = av_frame_alloc();
  h->tb = st->time_base;
  h->start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
  AVRational fr = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
  if (fr.num <= 0 || fr.den <= 0) throw fail("it gives no frame rate");
  h->rate = Ratio{fr.num, fr.den};
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(st->codecpar->format));
  h->deep = desc && desc->comp[0].depth > 8;

  auto reader = std::unique_ptr<MovieReader>(new MovieReader(path, std::move(h)));
  Handle& hh = *reader->handle_;
  reader->rate_ = hh.rate;
  AVRational sar = av_guess_sample_aspect_ratio(hh.fmt, st, nullptr);
  if (sar.num > 0 && sar.den > 0) reader->aspect_ = Ratio{sar.num, sar.den};
  for (unsigned i = 0; i < hh.fmt->nb_streams; ++i)
    if (hh.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) reader->audio_ = true;
  ReadTags(*hh.fmt, *st, reader->tags_, reader->timecode_);
  // Containers that do not store the frame count (Matroska) are counted by their packets.
  int64_t frames = st->nb_frames;
  if (frames <= 0) {
    frames = 0;
    while ((rc = av_read_frame(hh.fmt, hh.pkt)) >= 0) {
      if (hh.pkt->stream_index == hh.stream) ++frames;
      av_packet_unref(hh.pkt);
    }
    hh.Seek(0, path);
  }
  if (frames <= 0) throw Failure("cannot read " + path + ": the movie holds no frames");
  reader->frames_ = int32_t(std::min<int64_t>(frames, 10000000));
  return reader;
}

// Decodes the picture of frame index into frame, seeking when it is not the next one. Throws
// Failure when the movie has no whole picture at that frame's time.
void MovieReader::Handle::DecodeFrame(int32_t index, const std::string& path) {
  Handle& h = *this;
  bool fromStart = h.next != index && index == 0;
  if (h.next != index) h.Seek(index, path);
  for (;;) {
    if (!h.DecodeNext(path))
      throw Failure("cannot read frame " + std::to_string(index + 1) + " of " + path +
                    ": the movie ends before it");
    const int64_t pts =
        h.frame->best_effort_timestamp != AV_NOPTS_VALUE ? h.frame->best_effort_timestamp : h.frame->pts;
    const int32_t at = pts == AV_NOPTS_VALUE ? (h.next < 0 ? 0 : h.next) : h.IndexOf(pts);
    if (at == index) {
      // A picture the decoder could not make whole (a damaged packet, a slice that fails its
      // check) is refused, not passed on patched.
      if (h.frame->decode_error_flags || (h.frame->flags & AV_FRAME_FLAG_CORRUPT)) {
        av_frame_unref(h.frame);
        h.next = -1;
        throw Failure("cannot read frame " + std::to_string(index + 1) + " of " + path +
                      ": the frame is damaged");
      }
      break;
    }
    av_frame_unref(h.frame);
    // Past it: a seek that landed late is tried again from the start; otherwise the timestamps
    // have a gap there, and a neighbour is not the frame asked for.
    if (at > index && !fromStart) {
      h.Seek(0, path);
      fromStart = true;
      continue;
    }
    if (at > index)
      throw Failure("cannot read frame " + std::to_string(index + 1) + " of " + path +
                    ": the movie holds no picture at that frame's time");
  }
  h.next = index + 1;
}

// The decoded frame as an image of the runtime's storage (16-bit when the movie is deep); the
// frame is released. Throws Failure.
host::ImagePtr MovieReader::Handle::Picture(const std::string& path) {
  Handle& h = *this;
  const int w = h.frame->width, ht = h.frame->height;
  const uint32_t depth = h.deep ? Depth16 : Depth8;
  const AVPixelFormat dst = h.deep ? AV_PIX_FMT_BGRA64LE : AV_PIX_FMT_BGRA;
  host::ImagePtr im;
  try {
    im = host::MakeImage(w, ht, depth, false);
  } catch (const std::exception& e) {
    av_frame_unref(h.frame);
    throw Failure("cannot read " + path + ": " + e.what());
  }
  const AVPixelFormat src = AVPixelFormat(h.frame->format);
  if (src == AV_PIX_FMT_GBRAP16LE || src == AV_PIX_FMT_GBRP16LE) {
    // Planar 16-bit RGB, as lossless codecs store it: reordered as it is, no conversion.
    const bool alpha = src == AV_PIX_FMT_GBRAP16LE;
    for (int y = 0; y < ht; ++y) {
      const uint16_t* plane[4];
      for (int p = 0; p < (alpha ? 4 : 3); ++p)
        plane[p] =
            reinterpret_cast<const uint16_t*>(h.frame->data[p] + size_t(h.frame->linesize[p]) * size_t(y));
      uint16_t* d = reinterpret_cast<uint16_t*>(host::RowBytes(im.get(), y));
      for (int x = 0; x < w; ++x, d += 4) {
        d[0] = plane[1][x];
        d[1] = plane[0][x];
        d[2] = plane[2][x];
        d[3] = alpha ? plane[3][x] : 65535;
      }
    }
    av_frame_unref(h.frame);
    return im;
  }
  if (src == AV_PIX_FMT_BGRA) {
    for (int y = 0; y < ht; ++y)
      std::memcpy(host::RowBytes(im.get(), y), h.frame->data[0] + size_t(h.frame->linesize[0]) * size_t(y),
                  size_t(w) * 4);
    av_frame_unref(h.frame);
    return im;
  }
  h.sws = sws_getCachedContext(h.sws, w, ht, src, w, ht, dst,
                               SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT, nullptr,
                               nullptr, nullptr);
  if (!h.sws) {
    av_frame_unref(h.frame);
    throw Failure("cannot read " + path + ": its pixel format cannot be converted");
  }
  // YUV pictures are converted with the matrix and range they are tagged with.
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(src);
  if (desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
    const AVColorSpace cs = h.frame->colorspace;
    const bool hd = cs == AVCOL_SPC_BT709 || (cs == AVCOL_SPC_UNSPECIFIED && ht > kSdRows);
    const int matrix = hd ? SWS_CS_ITU709 : SWS_CS_ITU601;
    sws_setColorspaceDetails(h.sws, sws_getCoefficients(matrix),
                             h.frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  }
  const size_t rowBytes = size_t(w) * im->BytesPerPixel;
  h.staging.resize(rowBytes * size_t(ht));
  uint8_t* planes[4] = {h.staging.data(), nullptr, nullptr, nullptr};
  int strides[4] = {int(rowBytes), 0, 0, 0};
  sws_scale(h.sws, h.frame->data, h.frame->linesize, 0, ht, planes, strides);
  av_frame_unref(h.frame);
  for (int y = 0; y < ht; ++y)
    std::memcpy(host::RowBytes(im.get(), y), h.staging.data() + rowBytes * size_t(y), rowBytes);
  return im;
}

host::ImagePtr MovieReader::Read(int32_t index) {
  Handle& h = *handle_;
  if (index < 0 || index >= frames_)
    throw Failure("cannot read frame " + std::to_string(index + 1) + " of " + path_ +
                  ": the movie has frames 1 to " + std::to_string(frames_));
  h.DecodeFrame(index, path_);
  return h.Picture(path_);
}

}  // namespace orvanta::io
