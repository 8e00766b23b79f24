// The worker pool behind DoMultiProcess: each of the threads (workers plus the calling one) owns
// an equal stretch of the chunk indices and works through it from the front in runs; a thread
// whose stretch is done takes the back half of what is left of another's. So each thread walks
// neighbouring chunks far from the others' (threads writing neighbouring tile columns at once
// took cache lines from each other), and the loads still even out. After a chunk throws, no new
// chunk starts; the first exception is rethrown once every running chunk has returned. A front-end
// may put its own threads (a thread team) in the pool's place for the renders of one thread, and
// a sizing render runs no chunk at all.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
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
    stretches_.reset(new Stretch[size_t(total)]);
    for (int32_t i = 1; i < total; ++i) workers_.emplace_back([this, g, i] { WorkerLoop(g, i); });
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
      failed_.store(false);
      error_ = nullptr;
      busy_ = int32_t(workers_.size());
      threads_ = busy_ + 1;
      for (int32_t k = 0; k < threads_; ++k)
        stretches_[size_t(k)].span.store(Pack(int64_t(n) * k / threads_, int64_t(n) * (k + 1) / threads_),
                                         std::memory_order_relaxed);
      ++generation_;
    }
    wake_.notify_all();
    Work(0);
    SpinWhile([this] { return busy_.load(std::memory_order_acquire) != 0; });
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    job_ = nullptr;
    if (error_) std::rethrow_exception(error_);
  }

 private:
  // A stretch of chunk indices front..back-1, packed in one word so that its owner (taking from
  // the front) and a thread taking from the back agree by compare-and-swap. One cache line each.
  struct alignas(64) Stretch {
    std::atomic<uint64_t> span{0};
  };
  static uint64_t Pack(int64_t front, int64_t back) { return uint64_t(front) | uint64_t(back) << 32; }
  static int32_t Front(uint64_t s) { return int32_t(uint32_t(s)); }
  static int32_t Back(uint64_t s) { return int32_t(uint32_t(s >> 32)); }

  // Takes a run from stretch k: from the front, a quarter of what is left (its owner: runs, so
  // that it meets the word a few times a job); or from the back, half of it (another thread).
  // Returns false when the stretch is empty.
  bool Take(int32_t k, bool own, int32_t& first, int32_t& last) {
    std::atomic<uint64_t>& span = stretches_[size_t(k)].span;
    uint64_t s = span.load(std::memory_order_relaxed);
    for (;;) {
      const int32_t front = Front(s), back = Back(s);
      if (front >= back) return false;
      const int32_t take = std::max<int32_t>(1, (back - front) / (own ? 4 : 2));
      const uint64_t after = own ? Pack(front + take, back) : Pack(front, back - take);
      if (span.compare_exchange_weak(s, after, std::memory_order_relaxed)) {
        first = own ? front : back - take;
        last = own ? front + take : back;
        return true;
      }
    }
  }

  void Work(int32_t self) {
    int32_t victim = self;
    for (;;) {
      int32_t first = 0, last = 0;
      // Its own stretch first, then the others' in turn, starting from the last one it took from.
      bool got = Take(victim, victim == self, first, last);
      for (int32_t tries = 1; !got && tries <= threads_; ++tries) {
        victim = (victim + 1) % threads_;
        got = Take(victim, victim == self, first, last);
      }
      if (!got) return;
      try {
        for (int32_t i = first; i < last; ++i) {
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

  void WorkerLoop(uint64_t seen, int32_t self) {
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
      Work(self);
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
  std::atomic<int32_t> busy_{0};
  int32_t threads_ = 1;
  std::unique_ptr<Stretch[]> stretches_;  // one per thread; the calling thread's is 0
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

// The thread team and the sizing state in force on this thread (see host.h).
thread_local const host::ThreadTeam* t_team = nullptr;
thread_local int32_t t_sizing = 0;

// The chunks on a front-end's threads: each run of work takes the next index until none is left
// or a chunk has thrown. Whatever the team left undone runs here, so that a team that ran work on
// fewer threads than it has, or on none, still completes the job.
void RunOnTeam(const host::ThreadTeam& team, int32_t n, const std::function<void(int32_t)>& fn) {
  std::atomic<int32_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::exception_ptr error;
  const std::function<void()> work = [&] {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      const int32_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      try {
        fn(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = std::current_exception();
        failed.store(true);
      }
    }
  };
  team(work);
  work();
  if (error) std::rethrow_exception(error);
}

}  // namespace

namespace hostdetail {
void RunChunks(int32_t n, const std::function<void(int32_t)>& fn) {
  if (n <= 0 || t_sizing > 0) return;
  if (t_team) return RunOnTeam(*t_team, n, fn);
  Pool().Run(n, fn);
}
bool Sizing() { return t_sizing > 0; }
}  // namespace hostdetail

namespace host {
void SetThreadCount(int32_t n) { Pool().Resize(n <= 0 ? AllCores() : std::min(n, 256)); }
int32_t ThreadCount() { return Pool().Size(); }

void RunChunks(int32_t n, const std::function<void(int32_t)>& fn) { hostdetail::RunChunks(n, fn); }

ScopedThreadTeam::ScopedThreadTeam(ThreadTeam team) : team_(std::move(team)), outer_(t_team) {
  t_team = team_ ? &team_ : nullptr;
}
ScopedThreadTeam::~ScopedThreadTeam() { t_team = outer_; }

ScopedSizing::ScopedSizing() { ++t_sizing; }
ScopedSizing::~ScopedSizing() { --t_sizing; }
}  // namespace host

}  // namespace orvanta
