#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "movie_av.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/atomic_file.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/movie.h"

namespace orvanta::io {
namespace fs = std::filesystem;

namespace {

// What a --codec word stands for.
struct CodecChoice {
  const char* word;
  const char* encoder;
  AVCodecID id;
  const char* label;
};
constexpr CodecChoice kCodecs[] = {
    {"prores", "prores_ks", AV_CODEC_ID_PRORES, "ProRes 4444"},
    {"ffv1", "ffv1", AV_CODEC_ID_FFV1, "FFV1"},
    {"h264", "libx264", AV_CODEC_ID_H264, "H.264"},
};

const CodecChoice& ChoiceOf(const std::string& word) {
  for (const CodecChoice& c : kCodecs)
    if (word == c.word) return c;
  throw Failure("--codec takes prores, ffv1 or h264, not " + Quoted(word));
}

// Encoders get a fixed thread count, so the bytes written do not depend on the machine.
constexpr int kEncoderThreads = 4;

const AVOutputFormat* ContainerOf(const std::string& path) {
  const AVOutputFormat* f = av_guess_format(nullptr, path.c_str(), nullptr);
  if (!f || !IsMoviePath(path))
    throw Failure("cannot write " + path + ": no movie container is known for the extension " +
                  fs::path(path).extension().string());
  return f;
}

// The audio streams of a movie, opened for copying.
struct AudioSource {
  AVFormatContext* fmt = nullptr;
  std::vector<int> streams;  // input stream indexes of its audio
  ~AudioSource() { avformat_close_input(&fmt); }
};

void OpenAudio(AudioSource& a, const std::string& from) {
  CheckInputFile(from, "a movie or sound file");
  int rc = avformat_open_input(&a.fmt, from.c_str(), nullptr, nullptr);
  if (rc < 0) throw Failure("cannot read the audio of " + from + ": " + AvError(rc));
  if ((rc = avformat_find_stream_info(a.fmt, nullptr)) < 0)
    throw Failure("cannot read the audio of " + from + ": " + AvError(rc));
  for (unsigned i = 0; i < a.fmt->nb_streams; ++i) {
    if (a.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
      a.streams.push_back(int(i));
    else
      a.fmt->streams[i]->discard = AVDISCARD_ALL;  // the pictures come from the render
  }
}

void CheckAudioFits(const AudioSource& a, const AVOutputFormat* container, const std::string& path,
                    const std::string& from) {
  for (int i : a.streams) {
    const AVCodecID id = a.fmt->streams[i]->codecpar->codec_id;
    if (avformat_query_codec(container, id, FF_COMPLIANCE_NORMAL) != 1)
      throw Failure("cannot write " + path + ": the " + fs::path(path).extension().string() +
                    " container cannot hold the " + avcodec_get_name(id) + " audio of " + from +
                    "; write .mov or .mkv, or leave the audio out with --no-audio");
  }
}

}  // namespace

std::string MovieCodecFor(const std::string& path, const std::string& asked) {
  if (!asked.empty()) return ChoiceOf(asked).word;
  const std::string ext = Lower(fs::path(path).extension().string());
  if (ext == ".mp4" || ext == ".m4v") return "h264";
  if (ext == ".mov" || ext == ".qt") return "prores";
  return "ffv1";
}

void CheckMovieWritable(const std::string& path, const MovieSettings& settings) {
  QuietAvLog();
  const AVOutputFormat* container = ContainerOf(path);
  const CodecChoice& c = ChoiceOf(MovieCodecFor(path, settings.codec));
  if (!avcodec_find_encoder_by_name(c.encoder))
    throw Failure("cannot write " + path + ": this machine's FFmpeg libraries have no " + c.label +
                  " encoder");
  if (avformat_query_codec(container, c.id, FF_COMPLIANCE_NORMAL) != 1)
    throw Failure("cannot write " + path + ": the " + fs::path(path).extension().string() +
                  " container cannot hold " + c.label + "; choose another --codec or container");
  CheckWritablePlace(path);
  if (!settings.audioFrom.empty()) {
    AudioSource a;
    OpenAudio(a, settings.audioFrom);
    CheckAudioFits(a, container, path, settings.audioFrom);
  }
}

struct MovieWriter::State {
  std::string path;
  std::unique_ptr<AtomicFile> file;  // the temporary file, created when the first frame comes
  MovieSettings settings;
  const CodecChoice* codec = nullptr;
  AVFormatContext* out = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* video = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  int width = 0, height = 0;
  int64_t frames = 0;
  bool finished = false;
  std::vector<uint8_t> staging;
  // Audio copied through: the source, its streams' output streams, its next packet.
  AudioSource audio;
  std::vector<int> audioOut;  // by input stream index, -1 for streams not copied
  AVPacket* audioPkt = nullptr;
  bool audioPending = false, audioEnded = false;

  ~State() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    av_packet_free(&audioPkt);
    avcodec_free_context(&enc);
    if (out) {
      if (out->pb) avio_closep(&out->pb);
      avformat_free_context(out);
    }
  }

  Failure Fail(const std::string& why) const { return Failure("cannot write " + path + ": " + why); }

  // The encoder's pixel format, colour tags and options for the codec; the options are the caller's.
  AVDictionary* EncoderOptions(const Image& first) {
    AVDictionary* opts = nullptr;
    switch (codec->id) {
      case AV_CODEC_ID_PRORES:
        enc->pix_fmt = AV_PIX_FMT_YUVA444P10LE;
        av_dict_set(&opts, "profile", "4444", 0);
        av_dict_set(&opts, "alpha_bits", "16", 0);
        break;
      case AV_CODEC_ID_FFV1:
        // Lossless at the picture's own depth: 8-bit pictures as 8-bit, the others as 16-bit.
        enc->pix_fmt = first.Depth == Depth8 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_GBRAP16LE;
        av_dict_set(&opts, "level", "3", 0);
        av_dict_set(&opts, "slices", "4", 0);
        av_dict_set(&opts, "slicecrc", "1", 0);
        enc->gop_size = 1;
        break;
      default:
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        av_dict_set(&opts, "crf", "18", 0);
        av_dict_set(&opts, "preset", "fast", 0);
        break;
    }
    const bool yuv = codec->id != AV_CODEC_ID_FFV1;
    if (yuv) {
      // The matrix by picture size, as readers assume when a file does not say (some do not).
      const bool hd = height > kSdRows;
      enc->colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
      enc->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
      enc->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
      enc->color_range = AVCOL_RANGE_MPEG;
    }
    return opts;
  }

  // A stream per audio stream of the source, copied as it is, from the audio's start.
  void AddAudioStreams() {
    int rc = 0;
    OpenAudio(audio, settings.audioFrom);
    CheckAudioFits(audio, out->oformat, path, settings.audioFrom);
    audioOut.assign(audio.fmt->nb_streams, -1);
    for (int i : audio.streams) {
      AVStream* os = avformat_new_stream(out, nullptr);
      if (!os) throw Fail("out of memory");
      if ((rc = avcodec_parameters_copy(os->codecpar, audio.fmt->streams[i]->codecpar)) < 0)
        throw Fail(AvError(rc));
      os->codecpar->codec_tag = 0;
      os->time_base = audio.fmt->streams[i]->time_base;
      audioOut[size_t(i)] = os->index;
    }
    audioPkt = av_packet_alloc();
    if (settings.audioStart > 0) {
      const int64_t ts = int64_t(settings.audioStart * AV_TIME_BASE);
      (void)avformat_seek_file(audio.fmt, -1, INT64_MIN, ts, ts, 0);
    }
  }

  void Open(const Image& first) {
    width = first.Width, height = first.Height;
    if (width <= 0 || height <= 0) throw Fail("the result is empty");
    if (codec->id == AV_CODEC_ID_H264 && (width % 2 || height % 2))
      throw Fail("H.264 needs an even width and height, not " + std::to_string(width) + " x " +
                 std::to_string(height) + "; choose --codec prores or ffv1");
    const AVCodec* encoder = avcodec_find_encoder_by_name(codec->encoder);
    if (!encoder)
      throw Fail(std::string("this machine's FFmpeg libraries have no ") + codec->label + " encoder");
    int rc = avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str());
    if (rc < 0 || !out) throw Fail(AvError(rc));
    out->flags |= AVFMT_FLAG_BITEXACT;  // no library version or time in the file: same render, same bytes
    video = avformat_new_stream(out, nullptr);
    enc = avcodec_alloc_context3(encoder);
    if (!video || !enc) throw Fail("out of memory");
    const AVRational rate{settings.rate.num, settings.rate.den};
    enc->width = width;
    enc->height = height;
    enc->time_base = av_inv_q(rate);
    enc->framerate = rate;
    enc->sample_aspect_ratio = AVRational{settings.pixelAspect.num, settings.pixelAspect.den};
    enc->thread_count = kEncoderThreads;
    enc->flags |= AV_CODEC_FLAG_BITEXACT;
    if (out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* opts = EncoderOptions(first);
    rc = avcodec_open2(enc, encoder, &opts);
    av_dict_free(&opts);
    if (rc < 0)
      throw Fail(std::string("the ") + codec->label + " encoder refused the picture: " + AvError(rc));
    if ((rc = avcodec_parameters_from_context(video->codecpar, enc)) < 0) throw Fail(AvError(rc));
    video->time_base = enc->time_base;
    video->avg_frame_rate = rate;
    for (const auto& [key, value] : settings.tags) av_dict_set(&out->metadata, key.c_str(), value.c_str(), 0);
    if (!settings.timecode.empty()) av_dict_set(&video->metadata, "timecode", settings.timecode.c_str(), 0);
    video->sample_aspect_ratio = enc->sample_aspect_ratio;

    if (!settings.audioFrom.empty()) AddAudioStreams();

    frame = av_frame_alloc();
    pkt = av_packet_alloc();
    if (!frame || !pkt) throw Fail("out of memory");
    frame->format = enc->pix_fmt;
    frame->width = width;
    frame->height = height;
    if ((rc = av_frame_get_buffer(frame, 0)) < 0) throw Fail(AvError(rc));

    // The muxer opens the file we created by name; it is ours, so its truncation loses nothing.
    file = std::make_unique<AtomicFile>(path);
    if ((rc = avio_open(&out->pb, file->TempPath().c_str(), AVIO_FLAG_WRITE)) < 0) throw Fail(AvError(rc));
    AVDictionary* muxOpts = nullptr;
    rc = avformat_write_header(out, &muxOpts);
    av_dict_free(&muxOpts);
    if (rc < 0) throw Fail(AvError(rc));
  }

  // Seconds from the start of the copied audio to the packet's start.
  double AudioTime(const AVPacket* p) const {
    const AVStream* st = audio.fmt->streams[p->stream_index];
    const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    const int64_t pts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    return double(pts - start) * av_q2d(st->time_base) - settings.audioStart;
  }

  // Copies the audio packets that start before `until` seconds of the movie (all when negative).
  void CopyAudio(double until) {
    if (audioOut.empty() || audioEnded) return;
    for (;;) {
      if (!audioPending) {
        const int rc = av_read_frame(audio.fmt, audioPkt);
        if (rc < 0) {
          audioEnded = true;
          return;
        }
        if (audioOut[size_t(audioPkt->stream_index)] < 0 ||
            (audioPkt->pts == AV_NOPTS_VALUE && audioPkt->dts == AV_NOPTS_VALUE)) {
          av_packet_unref(audioPkt);
          continue;
        }
        audioPending = true;
      }
      const double t = AudioTime(audioPkt);
      if (t < -1e-9) {  // before the frames rendered
        av_packet_unref(audioPkt);
        audioPending = false;
        continue;
      }
      if (settings.audioSeconds >= 0 && t >= settings.audioSeconds - 1e-9) {  // past the frames rendered
        audioOut[size_t(audioPkt->stream_index)] = -1;
        av_packet_unref(audioPkt);
        audioPending = false;
        audioEnded = std::all_of(audioOut.begin(), audioOut.end(), [](int o) { return o < 0; });
        if (audioEnded) return;
        continue;
      }
      if (until >= 0 && t >= until) return;
      const AVStream* is = audio.fmt->streams[audioPkt->stream_index];
      const int64_t shift = (is->start_time == AV_NOPTS_VALUE ? 0 : is->start_time) +
                            av_rescale_q(int64_t(std::llround(settings.audioStart * AV_TIME_BASE)),
                                         AVRational{1, AV_TIME_BASE}, is->time_base);
      if (audioPkt->pts != AV_NOPTS_VALUE) audioPkt->pts -= shift;
      if (audioPkt->dts != AV_NOPTS_VALUE) audioPkt->dts -= shift;
      const int outIndex = audioOut[size_t(audioPkt->stream_index)];
      av_packet_rescale_ts(audioPkt, is->time_base, out->streams[outIndex]->time_base);
      audioPkt->stream_index = outIndex;
      audioPkt->pos = -1;
      const int rc = av_interleaved_write_frame(out, audioPkt);
      audioPending = false;
      if (rc < 0) throw Fail(AvError(rc));
    }
  }

  void Drain(const AVFrame* f) {
    int rc = avcodec_send_frame(enc, f);
    if (rc < 0) throw Fail(AvError(rc));
    for (;;) {
      rc = avcodec_receive_packet(enc, pkt);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) throw Fail(AvError(rc));
      av_packet_rescale_ts(pkt, enc->time_base, video->time_base);
      pkt->stream_index = video->index;
      rc = av_interleaved_write_frame(out, pkt);
      if (rc < 0) throw Fail(AvError(rc));
    }
  }

  // The image's rows in one buffer, float pictures as 16-bit; returns its pixel format.
  AVPixelFormat Stage(const Image& im) {
    const size_t px = size_t(im.Width);
    if (im.Depth == DepthFloat) {
      staging.resize(px * 8 * size_t(im.Height));
      for (int32_t y = 0; y < im.Height; ++y) {
        const float* s = reinterpret_cast<const float*>(host::RowBytes(&im, y));
        uint16_t* d = reinterpret_cast<uint16_t*>(staging.data() + px * 8 * size_t(y));
        for (size_t i = 0; i < px * 4; ++i) {
          const float v = std::clamp(s[i], 0.0f, 1.0f);
          d[i] = uint16_t(v * 65535.0f + 0.5f);
        }
      }
      return AV_PIX_FMT_BGRA64LE;
    }
    const size_t rowBytes = px * im.BytesPerPixel;
    staging.resize(rowBytes * size_t(im.Height));
    for (int32_t y = 0; y < im.Height; ++y)
      std::memcpy(staging.data() + rowBytes * size_t(y), host::RowBytes(&im, y), rowBytes);
    return im.Depth == Depth8 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGRA64LE;
  }

  // Lossless formats are filled from the rows directly, the conversion being a plain reorder.
  bool FillDirect(const Image& im) {
    if (enc->pix_fmt == AV_PIX_FMT_BGRA && im.Depth == Depth8) {
      for (int32_t y = 0; y < im.Height; ++y)
        std::memcpy(frame->data[0] + size_t(frame->linesize[0]) * size_t(y), host::RowBytes(&im, y),
                    size_t(im.Width) * 4);
      return true;
    }
    if (enc->pix_fmt != AV_PIX_FMT_GBRAP16LE || im.Depth == Depth8) return false;
    for (int32_t y = 0; y < im.Height; ++y) {
      uint16_t* plane[4];
      for (int p = 0; p < 4; ++p)
        plane[p] = reinterpret_cast<uint16_t*>(frame->data[p] + size_t(frame->linesize[p]) * size_t(y));
      if (im.Depth == Depth16) {
        const uint16_t* s = reinterpret_cast<const uint16_t*>(host::RowBytes(&im, y));
        for (int32_t x = 0; x < im.Width; ++x, s += 4) {
          plane[0][x] = s[1];  // planes G, B, R, A from pixels B, G, R, A
          plane[1][x] = s[0];
          plane[2][x] = s[2];
          plane[3][x] = s[3];
        }
      } else {
        const float* s = reinterpret_cast<const float*>(host::RowBytes(&im, y));
        auto q = [](float v) { return uint16_t(std::clamp(v, 0.0f, 1.0f) * 65535.0f + 0.5f); };
        for (int32_t x = 0; x < im.Width; ++x, s += 4) {
          plane[0][x] = q(s[1]);
          plane[1][x] = q(s[0]);
          plane[2][x] = q(s[2]);
          plane[3][x] = q(s[3]);
        }
      }
    }
    return true;
  }

  void Write(const Image& im) {
    if (!out) Open(im);
    if (im.Width != width || im.Height != height)
      throw Fail("frame " + std::to_string(frames + 1) + " is " + std::to_string(im.Width) + " x " +
                 std::to_string(im.Height) + " pixels, the movie's frames are " + std::to_string(width) +
                 " x " + std::to_string(height));
    int rc = av_frame_make_writable(frame);
    if (rc < 0) throw Fail(AvError(rc));
    if (!FillDirect(im)) {
      const AVPixelFormat src = Stage(im);
      sws = sws_getCachedContext(sws, width, height, src, width, height, enc->pix_fmt,
                                 SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT, nullptr,
                                 nullptr, nullptr);
      if (!sws) throw Fail("the picture cannot be converted for the encoder");
      if (enc->color_range == AVCOL_RANGE_MPEG)
        sws_setColorspaceDetails(
            sws, sws_getCoefficients(SWS_CS_DEFAULT), 1,
            sws_getCoefficients(enc->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601), 0, 0,
            1 << 16, 1 << 16);
      const uint8_t* planes[4] = {staging.data(), nullptr, nullptr, nullptr};
      const int strides[4] = {int(staging.size() / size_t(height)), 0, 0, 0};
      sws_scale(sws, planes, strides, 0, height, frame->data, frame->linesize);
    }
    frame->pts = frames++;
    Drain(frame);
    CopyAudio(double(frames) / settings.rate.Value());
  }

  void Finish() {
    if (!out) throw Fail("no frames were rendered");
    Drain(nullptr);
    CopyAudio(-1);
    int rc = av_write_trailer(out);
    if (rc < 0) throw Fail(AvError(rc));
    avio_flush(out->pb);
    if (out->pb->error < 0) throw Fail(AvError(out->pb->error));
    if ((rc = avio_closep(&out->pb)) < 0) throw Fail(AvError(rc));
    file->Commit();
    finished = true;
  }
};

MovieWriter::MovieWriter(const std::string& path, const MovieSettings& settings)
    : s_(std::make_unique<State>()) {
  CheckMovieWritable(path, settings);
  s_->path = path;
  s_->settings = settings;
  s_->codec = &ChoiceOf(MovieCodecFor(path, settings.codec));
  if (!settings.rate.Valid()) throw s_->Fail("the frame rate must be positive");
  if (!s_->settings.pixelAspect.Valid()) s_->settings.pixelAspect = Ratio{1, 1};
}

MovieWriter::~MovieWriter() = default;
void MovieWriter::Write(const Image& image) { s_->Write(image); }
void MovieWriter::Finish() { s_->Finish(); }

}  // namespace orvanta::io
