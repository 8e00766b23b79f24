#include "orvanta/io/pipeline.h"

#include <algorithm>

#include "orvanta/io/image_io.h"
#include "orvanta/io/movie.h"
#include "orvanta/io/sequence.h"

namespace orvanta::io {

PrefetchingFiles::PrefetchingFiles(FileCache& files, const std::vector<std::string>& paths,
                                   std::vector<int32_t> frames, size_t ahead, size_t readers)
    : files_(files), frames_(std::move(frames)), ahead_(ahead) {
  if (ahead_ == 0 || frames_.empty()) return;
  bool movie = false;
  for (const std::string& p : paths) {
    if (std::any_of(sources_.begin(), sources_.end(), [&](const Source& s) { return s.path == p; })) continue;
    const graph::FileInfo info = files_.Info(p);
    if (info.kind == graph::FileInfo::Kind::Still) continue;
    Source s;
    s.path = p;
    // The reader thread keeps its own open movie: the one of `files` belongs to the caller's thread.
    if (info.kind == graph::FileInfo::Kind::Movie) s.movie = MovieReader::Open(p), movie = true;
    sources_.push_back(std::move(s));
  }
  if (sources_.empty()) return;
  slots_.resize(frames_.size());
  // More readers than frames allowed ahead would only wait.
  const size_t n = movie ? 1 : std::clamp<size_t>(readers, 1, std::min(ahead_, frames_.size()));
  for (size_t i = 0; i < n; ++i) readers_.emplace_back([this] { ReadAhead(); });
}

PrefetchingFiles::~PrefetchingFiles() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : readers_) t.join();
}

size_t PrefetchingFiles::Floor() const {
  size_t floor = frames_.size();
  for (const Source& s : sources_) floor = std::min(floor, s.next);
  return floor;
}

void PrefetchingFiles::ReadAhead() {
  for (;;) {
    size_t i;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] {
        return stop_ || readError_ || claimed_ >= frames_.size() || claimed_ < Floor() + ahead_;
      });
      if (stop_ || readError_ || claimed_ >= frames_.size()) return;
      i = claimed_++;
    }
    Slot slot;
    try {
      for (Source& s : sources_) {
        if (s.movie) {
          slot.images.push_back(s.movie->Read(frames_[i] - 1));
          slot.headers.emplace_back();
          continue;
        }
        Picture p = ReadPicture(FramePath(s.path, frames_[i]), files_.OptionsFor(s.path));
        slot.images.push_back(std::move(p.image));
        slot.headers.push_back(std::move(p.header));
      }
    } catch (...) {
      slot.error = std::current_exception();
    }
    std::vector<host::ImagePtr> released;  // pictures of frames the caller went past, freed outside the lock
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (slot.error && !readError_) readError_ = slot.error;
      for (size_t k = 0; k < slot.images.size(); ++k)
        if (i < sources_[k].next) released.push_back(std::move(slot.images[k]));
      slot.ready = true;
      slots_[i] = std::move(slot);
    }
    changed_.notify_all();
  }
}

Image* PrefetchingFiles::Load(const std::string& path, int32_t frame) {
  auto it = std::find_if(sources_.begin(), sources_.end(), [&](const Source& s) { return s.path == path; });
  if (it == sources_.end()) return files_.Load(path, frame);
  Source& src = *it;
  if (src.current && src.lastFrame == frame) return src.current.get();
  size_t i = src.next;
  while (i < frames_.size() && frames_[i] != frame) ++i;
  if (i == frames_.size()) return files_.Load(path, frame);  // a frame off the plan

  const size_t k = size_t(it - sources_.begin());
  std::vector<host::ImagePtr> released;  // freed outside the lock
  released.push_back(std::move(src.current));
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A slot not taken by the time a read failed never will be.
    changed_.wait(lock, [&] { return slots_[i].ready || (readError_ && i >= claimed_); });
    if (!slots_[i].ready) std::rethrow_exception(readError_);
    if (slots_[i].error) std::rethrow_exception(slots_[i].error);
    for (size_t j = src.next; j < i;
         ++j)  // planned frames the caller skipped (those still being read go when they arrive)
      if (k < slots_[j].images.size()) released.push_back(std::move(slots_[j].images[k]));
    src.current = std::move(slots_[i].images[k]);
    src.header = std::move(slots_[i].headers[k]);
    src.lastFrame = frame;
    src.next = i + 1;
  }
  changed_.notify_all();
  return src.current.get();
}

HeaderPtr PrefetchingFiles::Header(const std::string& path) {
  for (const Source& s : sources_)
    if (s.path == path && s.current) return s.header;
  return files_.Header(path);
}

BackgroundWriter::BackgroundWriter(size_t depth, size_t threads) : depth_(depth) {
  if (depth_ == 0) return;
  for (size_t i = 0; i < std::max<size_t>(threads, 1); ++i) threads_.emplace_back([this] { Run(); });
}

BackgroundWriter::~BackgroundWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void BackgroundWriter::ThrowIfFailed() {
  if (error_) std::rethrow_exception(error_);
}

void BackgroundWriter::Push(host::ImagePtr image, Write write) {
  if (depth_ == 0) {
    write(*image);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // Frames being written count too, so that at most max(depth, threads) frames are held here.
  const size_t most = std::max(depth_, threads_.size());
  changed_.wait(lock, [&] { return error_ || queue_.size() + busy_ < most; });
  ThrowIfFailed();
  queue_.push_back(Job{std::move(image), std::move(write)});
  lock.unlock();
  changed_.notify_all();
}

void BackgroundWriter::Finish() {
  if (depth_ == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return error_ || (queue_.empty() && busy_ == 0); });
  ThrowIfFailed();
}

void BackgroundWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty() || error_) {
      if (stop_) return;
      if (error_) queue_.clear();
      continue;
    }
    Job job = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    changed_.notify_all();  // room in the queue
    std::exception_ptr failed;
    try {
      job.write(*job.image);
    } catch (...) {
      failed = std::current_exception();
    }
    job.image.reset();
    lock.lock();
    --busy_;
    if (failed && !error_) error_ = failed;
    changed_.notify_all();
  }
}

}  // namespace orvanta::io
