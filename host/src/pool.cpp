// The worker pool behind DoMultiProcess: workers plus the calling thread take runs of chunk
// indices from a shared counter. After a chunk throws, no new chunk starts; the first exception
// is rethrown once every running chunk has returned.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <thread>

#include "state.h"

namespace orvanta {
namespace {

class WorkerPool {
 public:
  ~WorkerPool() { Resize(1); }

  void Resize(int32_t total) {
    std::lock_guard<std::mutex> runLock(runMutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (int32_t(workers_.size()) + 1 == total) return;
    quit_ = true;
    wake_.notify_all();
    lock.unlock();
    for (std::thread& t : workers_) t.join();
    lock.lock();
    workers_.clear();
    quit_ = false;
    // New workers start at the current generation, so a job that ended before they existed
    // does not wake them.
    const uint64_t g = generation_;
    for (int32_t i = 1; i < total; ++i) workers_.emplace_back([this, g] { WorkerLoop(g); });
  }

  int32_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return int32_t(workers_.size()) + 1;
  }

  void Run(int32_t n, const std::function<void(int32_t)>& fn) {
    std::lock_guard<std::mutex> runLock(runMutex_);  // one job at a time
    if (workers_.empty() || n == 1) {
      for (int32_t i = 0; i < n; ++i) fn(i);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &fn;
      count_ = n;
      next_.store(0);
      failed_.store(false);
      error_ = nullptr;
      busy_ = int32_t(workers_.size());
      threads_ = busy_ + 1;
      ++generation_;
    }
    wake_.notify_all();
    Work();
    SpinWhile([this] { return busy_.load(std::memory_order_acquire) != 0; });
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    job_ = nullptr;
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void Work() {
    for (;;) {
      // Guided batches: a share of what is left, so the threads meet the shared counter a few
      // dozen times a job instead of once a chunk, and each walks neighbouring chunks.
      int32_t first = next_.load(std::memory_order_relaxed);
      int32_t take = 0;
      do {
        const int32_t left = count_ - first;
        if (left <= 0) return;
        take = std::max<int32_t>(1, left / (4 * threads_));
      } while (!next_.compare_exchange_weak(first, first + take, std::memory_order_relaxed));
      try {
        for (int32_t i = first; i < first + take; ++i) {
          if (failed_.load(std::memory_order_relaxed)) return;
          (*job_)(i);
        }
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = std::current_exception();
        failed_.store(true);
      }
    }
  }

  // Jobs tend to come close together (the rows of one frame, then the next node or frame), and
  // a thread woken from sleep starts tens of microseconds late, so waiting threads look for a
  // while before they sleep. They still take the mutex afterwards, which is what orders them.
  template <typename Busy>
  static void SpinWhile(Busy busy) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
    while (busy()) {
      for (int i = 0; i < 32; ++i) Pause();
      if (std::chrono::steady_clock::now() > until) return;
    }
  }

  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
  }

  void WorkerLoop(uint64_t seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (generation_ == seen && !quit_) {
        lock.unlock();
        SpinWhile([&] { return generation_.load(std::memory_order_acquire) == seen; });
        lock.lock();
      }
      wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      lock.unlock();
      Work();
      lock.lock();
      if (--busy_ == 0) done_.notify_all();
    }
  }

  std::mutex runMutex_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::vector<std::thread> workers_;
  bool quit_ = false;
  std::atomic<uint64_t> generation_{0};
  const std::function<void(int32_t)>* job_ = nullptr;
  int32_t count_ = 0;
  std::atomic<int32_t> busy_{0};
  int32_t threads_ = 1;
  std::atomic<int32_t> next_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
};

int32_t AllCores() {
  unsigned n = std::thread::hardware_concurrency();
  return n ? int32_t(n) : 1;
}

WorkerPool& Pool() {
  static WorkerPool pool;
  static std::once_flag started;
  std::call_once(started, [] { pool.Resize(AllCores()); });
  return pool;
}

}  // namespace

namespace hostdetail {
void RunChunks(int32_t n, const std::function<void(int32_t)>& fn) {
  if (n <= 0) return;
  Pool().Run(n, fn);
}
}  // namespace hostdetail

namespace host {
void SetThreadCount(int32_t n) { Pool().Resize(n <= 0 ? AllCores() : std::min(n, 256)); }
int32_t ThreadCount() { return Pool().Size(); }
}  // namespace host

}  // namespace orvanta
