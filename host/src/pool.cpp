// The worker pool behind DoMultiProcess: workers plus the calling thread take chunk indices from
// a shared counter. After a chunk throws, no new chunk starts; the first exception is rethrown
// once every running chunk has returned.
#include <atomic>
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
    for (int32_t i = 1; i < total; ++i) workers_.emplace_back([this, g = generation_] { WorkerLoop(g); });
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
      ++generation_;
    }
    wake_.notify_all();
    Work();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    job_ = nullptr;
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void Work() {
    for (;;) {
      if (failed_.load(std::memory_order_relaxed)) return;
      int32_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= count_) return;
      try {
        (*job_)(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = std::current_exception();
        failed_.store(true);
      }
    }
  }

  void WorkerLoop(uint64_t seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
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
  uint64_t generation_ = 0;
  const std::function<void(int32_t)>* job_ = nullptr;
  int32_t count_ = 0;
  int32_t busy_ = 0;
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
