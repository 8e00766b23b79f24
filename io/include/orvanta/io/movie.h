// Movie files through libavformat/libavcodec: reading pictures by frame index (frame-exact for
// intra-only codecs, decoding on from the key frame before otherwise) and writing a movie
// atomically, with the audio of another movie copied through unchanged.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "orvanta/host/host.h"

namespace orvanta::io {

// A frame rate or a pixel aspect as a fraction.
struct Ratio {
  int num = 0, den = 1;
  double Value() const { return den ? double(num) / den : 0.0; }
  bool Valid() const { return num > 0 && den > 0; }
};

// "24", "23.976", "24000/1001"; throws Failure naming the option otherwise.
Ratio ParseRate(std::string_view text, const char* option);

// True when the path names a movie container by its extension (.mov, .mp4, .mkv, ...).
bool IsMoviePath(const std::string& path);

// A movie file kept open, its pictures read by frame index (from 0).
class MovieReader {
 public:
  // nullptr when the path does not name a movie; throws Failure when it does but cannot be read.
  static std::unique_ptr<MovieReader> Open(const std::string& path);
  ~MovieReader();
  int32_t Frames() const { return frames_; }
  Ratio Rate() const { return rate_; }
  Ratio PixelAspect() const { return aspect_; }
  bool HasAudio() const { return audio_; }
  // The movie's tags (title, comment, ...; not those the muxer writes itself), and the timecode
  // of its first frame ("" when it has none).
  const std::map<std::string, std::string>& Tags() const { return tags_; }
  const std::string& Timecode() const { return timecode_; }
  // 8-bit sources give 8-bit images, deeper ones 16-bit; sources without alpha get full alpha.
  // Throws Failure.
  host::ImagePtr Read(int32_t index);

 private:
  struct Handle;
  MovieReader(std::string path, std::unique_ptr<Handle> handle);
  std::string path_;
  std::unique_ptr<Handle> handle_;
  int32_t frames_ = 0;
  Ratio rate_, aspect_{1, 1};
  bool audio_ = false;
  std::map<std::string, std::string> tags_;
  std::string timecode_;
};

// The timecode frames later than tc at the rate ("01:00:00:00" + 25 frames at 25 fps:
// "01:00:01:00"); tc unchanged when it does not parse.
std::string TimecodeAfter(const std::string& tc, int64_t frames, Ratio rate);

// What a written movie holds besides its pictures.
struct MovieSettings {
  std::string codec;  // "prores", "ffv1", "h264"; "" for the container's default
  Ratio rate{24, 1};
  Ratio pixelAspect{1, 1};
  std::string audioFrom;                    // a movie whose audio streams are copied, "" for none
  double audioStart = 0;                    // seconds of that movie's audio from which the copy starts
  double audioSeconds = -1;                 // how much of it; negative: all
  std::map<std::string, std::string> tags;  // written as the movie's own
  std::string timecode;                     // of the first frame, "" for none
};

// The codecs the option --codec takes, and the default of a container; throw Failure.
std::string MovieCodecFor(const std::string& path, const std::string& asked);

// Checks before any work that the movie can be written: a known container, a codec it can hold
// (and the audio copied, when there is some), a folder that exists and is writable. Throws Failure.
void CheckMovieWritable(const std::string& path, const MovieSettings& settings);

// Writes a movie frame by frame to a temporary file in the final folder, renamed to the final
// name by Finish; destroyed unfinished (a failed render, an error), it removes the temporary
// file. The first frame fixes the size; every frame must have it. Throws Failure.
class MovieWriter {
 public:
  MovieWriter(const std::string& path, const MovieSettings& settings);
  ~MovieWriter();
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;
  void Write(const Image& image);
  void Finish();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace orvanta::io
