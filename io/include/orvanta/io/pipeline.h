// The stages of a sequence render overlapped: reader threads load the next frames' pictures
// while the current frame renders, and writer threads write the finished ones, each through a
// bounded queue, so a render runs at the pace of its slowest stage. The frames come out in order
// and the same bytes as one stage after the other.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvanta/graph/evaluate.h"
#include "orvanta/host/host.h"
#include "orvanta/io/files.h"
#include "orvanta/io/header.h"

namespace orvanta::io {

class MovieReader;

// The pictures of a graph's file inputs for a planned list of frames: sequence and movie inputs
// among paths are loaded on reader threads at most `ahead` frames before the frame being
// rendered; stills, other paths and frames off the plan come from `files` on the caller's thread.
// With ahead 0 every call goes to `files`. Frames of image sequences are read on up to `readers`
// threads at once, each frame whole by one of them (a movie input keeps one reader: its frames
// decode in order), as `files` reads them (its parts and colour plan), headers included. A file
// that cannot be read fails the Load of its frame.
class PrefetchingFiles : public graph::FileProvider {
 public:
  PrefetchingFiles(FileCache& files, const std::vector<std::string>& paths, std::vector<int32_t> frames,
                   size_t ahead, size_t readers = 1);
  ~PrefetchingFiles() override;
  PrefetchingFiles(const PrefetchingFiles&) = delete;
  PrefetchingFiles& operator=(const PrefetchingFiles&) = delete;

  graph::FileInfo Info(const std::string& path) override { return files_.Info(path); }
  void Check(const std::string& path, int32_t frame) override { files_.Check(path, frame); }
  Image* Load(const std::string& path, int32_t frame) override;
  // The header of the picture the last Load of path gave (null for a movie). Caller's thread.
  HeaderPtr Header(const std::string& path);

 private:
  struct Source {
    std::string path;
    std::unique_ptr<MovieReader> movie;  // used by the one reader thread only
    size_t next = 0;                     // the caller's next planned frame index
    int32_t lastFrame = 0;
    host::ImagePtr current;
    HeaderPtr header;
  };
  struct Slot {
    std::vector<host::ImagePtr> images;  // one per source
    std::vector<HeaderPtr> headers;
    std::exception_ptr error;
    bool ready = false;
  };
  void ReadAhead();
  size_t Floor() const;  // the lowest frame index a source still waits for

  FileCache& files_;
  std::vector<int32_t> frames_;
  size_t ahead_;
  std::vector<Source> sources_;
  std::vector<Slot> slots_;       // by frame index
  size_t claimed_ = 0;            // slots taken by a reader so far (in index order)
  std::exception_ptr readError_;  // the first failed read: no slot is taken after it
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> readers_;
};

// Writes finished frames on threads of its own, taken in the order given, holding at most `depth`
// frames waiting or being written (never fewer than one per thread); depth 0 writes on the
// caller's thread. With one thread the writes also end in that order; with
// more, frames that go to separate files are written (and compressed) at once. After a write
// fails the rest are dropped and the failure is thrown by the next Push or by Finish. Destroyed,
// it writes what is queued first.
class BackgroundWriter {
 public:
  using Write = std::function<void(const Image&)>;
  explicit BackgroundWriter(size_t depth, size_t threads = 1);
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Blocks while the queue is full.
  void Push(host::ImagePtr image, Write write);
  // Waits until everything queued is written; throws the first failure.
  void Finish();

 private:
  struct Job {
    host::ImagePtr image;
    Write write;
  };
  void Run();
  void ThrowIfFailed();

  size_t depth_;
  std::deque<Job> queue_;
  size_t busy_ = 0;  // writes under way
  bool stop_ = false;
  std::exception_ptr error_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

}  // namespace orvanta::io
