// DoMultiProcess on the worker pool: every index once, nothing for n <= 0, exceptions reach the
// caller after the chunks stopped.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support.h"

namespace orvanta {
namespace {

class CountingOperator : public ThreadedOperator {
 public:
  CountingOperator() : ThreadedOperator(nullptr, nullptr, nullptr) {}
  void ProcessChunk(Request*, int32_t index) override {
    if (index == throwAt) throw std::runtime_error("chunk failed");
    if (index >= 0 && index < int32_t(hits.size())) hits[index].fetch_add(1);
    calls.fetch_add(1);
  }
  std::vector<std::atomic<int>> hits = std::vector<std::atomic<int>>(1000);
  std::atomic<int> calls{0};
  int32_t throwAt = -1;
};

TEST(DoMultiProcess, RunsEveryIndexExactlyOnceForAnyWorkerCount) {
  for (int32_t workers : {1, 2, 8}) {
    host::SetThreadCount(workers);
    EXPECT_EQ(host::ThreadCount(), workers);
    for (int32_t n : {1, 7, 1000}) {
      CountingOperator op;
      Request req(0.0);
      op.DoMultiProcess(&req, n);
      EXPECT_EQ(op.calls.load(), n) << workers << " workers";
      for (int32_t i = 0; i < 1000; ++i) ASSERT_EQ(op.hits[i].load(), i < n ? 1 : 0) << i;
    }
  }
  host::SetThreadCount(0);
}

// Records which threads ran chunks; each chunk takes a little while, so a sleeping worker has
// long since woken before the calling thread could run them all.
class ThreadRecordingOperator : public ThreadedOperator {
 public:
  ThreadRecordingOperator() : ThreadedOperator(nullptr, nullptr, nullptr) {}
  void ProcessChunk(Request*, int32_t index) override {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::lock_guard<std::mutex> lock(mutex);
    threads.insert(std::this_thread::get_id());
    ++hits[index];
    ranBy[index] = std::this_thread::get_id();
  }
  // Places where neighbouring indices ran on different threads.
  int Seams() const {
    int seams = 0;
    for (auto it = ranBy.begin(); std::next(it) != ranBy.end(); ++it)
      seams += it->second != std::next(it)->second;
    return seams;
  }
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::map<int32_t, int> hits;
  std::map<int32_t, std::thread::id> ranBy;
};

TEST(DoMultiProcess, TwoWorkersShareTheChunksOfEveryJob) {
  host::SetThreadCount(2);
  for (int job = 0; job < 3; ++job) {
    ThreadRecordingOperator op;
    Request req(0.0);
    op.DoMultiProcess(&req, 400);
    EXPECT_EQ(op.threads.size(), 2u) << "job " << job;
    ASSERT_EQ(op.hits.size(), 400u);
    for (auto [index, count] : op.hits) ASSERT_EQ(count, 1) << index;
    // Each thread works through long stretches of neighbouring chunks (neighbouring tile
    // columns written by two threads at once were slow): the seams between them stay few even
    // when one thread takes work from the other (one counter shared by the threads gave 27-30 here).
    EXPECT_LE(op.Seams(), 12) << "job " << job;
  }
  host::SetThreadCount(0);
}

// A thread done with its own chunks takes over part of a slower thread's.
TEST(DoMultiProcess, AThreadThatFinishesEarlyTakesOverTheRest) {
  host::SetThreadCount(2);
  struct SlowFirstHalf : ThreadRecordingOperator {
    void ProcessChunk(Request* r, int32_t index) override {
      if (index < 50) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ThreadRecordingOperator::ProcessChunk(r, index);
    }
  } op;
  Request req(0.0);
  op.DoMultiProcess(&req, 100);
  ASSERT_EQ(op.hits.size(), 100u);
  std::set<std::thread::id> firstHalf;
  for (int32_t i = 0; i < 50; ++i) firstHalf.insert(op.ranBy[i]);
  EXPECT_EQ(firstHalf.size(), 2u) << "the slow stretch was left to one thread";
  host::SetThreadCount(0);
}

TEST(DoMultiProcess, ShortJobsInQuickSuccessionRunEveryIndexOnce) {
  // Jobs that follow each other closely find the workers still awake, between jobs and after.
  for (int32_t workers : {2, 3}) {
    host::SetThreadCount(workers);
    Request req(0.0);
    for (int job = 0; job < 500; ++job) {
      CountingOperator op;
      const int32_t n = 1 + job % 37;
      op.DoMultiProcess(&req, n);
      ASSERT_EQ(op.calls.load(), n) << "job " << job;
      for (int32_t i = 0; i < n; ++i) ASSERT_EQ(op.hits[i].load(), 1) << "job " << job << " index " << i;
    }
  }
  host::SetThreadCount(0);
}

TEST(DoMultiProcess, RunsNothingForZeroOrNegativeCounts) {
  CountingOperator op;
  Request req(0.0);
  op.DoMultiProcess(&req, 0);
  op.DoMultiProcess(&req, -5);
  EXPECT_EQ(op.calls.load(), 0);
}

TEST(DoMultiProcess, AnExceptionReachesTheCallerAndThePoolStaysUsable) {
  for (int32_t workers : {1, 4}) {
    host::SetThreadCount(workers);
    CountingOperator op;
    op.throwAt = 3;
    Request req(0.0);
    EXPECT_THROW(op.DoMultiProcess(&req, 100), std::runtime_error);
    EXPECT_LT(op.calls.load(), 100);
    CountingOperator again;
    again.DoMultiProcess(&req, 50);
    EXPECT_EQ(again.calls.load(), 50);
  }
  host::SetThreadCount(0);
}

}  // namespace
}  // namespace orvanta
