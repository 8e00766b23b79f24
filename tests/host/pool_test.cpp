// DoMultiProcess on the worker pool: every index once, nothing for n <= 0, exceptions reach the
// caller after the chunks stopped.
#include <atomic>
#include <chrono>
#include <functional>
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
    if (index == throwAt) {
      threw = true;
      throw std::runtime_error("chunk failed");
    }
    // The chunks after the failing one wait for it (a few seconds at most) and then take a
    // millisecond each, so that they cannot all have run while the exception is still unwinding
    // (the first throw of a process may take milliseconds), however fast or loaded the machine.
    if (throwAt >= 0 && index > throwAt) {
      for (int i = 0; i < 5000 && !threw; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (index >= 0 && index < int32_t(hits.size())) hits[index].fetch_add(1);
    calls.fetch_add(1);
  }
  std::vector<std::atomic<int>> hits = std::vector<std::atomic<int>>(1000);
  std::atomic<int> calls{0};
  std::atomic<bool> threw{false};
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

// A thread team of k threads of its own, started for every job, recording which threads ran work.
struct Team {
  explicit Team(int k) : threads(k) {}
  host::ThreadTeam Make() {
    return [this](const std::function<void()>& work) {
      ++jobs;
      std::vector<std::thread> run;
      for (int i = 0; i < threads; ++i)
        run.emplace_back([&] {
          {
            std::lock_guard<std::mutex> lock(mutex);
            ids.insert(std::this_thread::get_id());
          }
          work();
        });
      for (std::thread& t : run) t.join();
    };
  }
  int threads;
  int jobs = 0;
  std::mutex mutex;
  std::set<std::thread::id> ids;
};

TEST(ThreadTeam, ChunksRunOnTheTeamsThreadsEachOnce) {
  Team team(3);
  ThreadRecordingOperator op;
  Request req(0.0);
  {
    host::ScopedThreadTeam scope(team.Make());
    op.DoMultiProcess(&req, 60);
  }
  EXPECT_EQ(team.jobs, 1);
  ASSERT_EQ(op.hits.size(), 60u);
  for (auto [index, count] : op.hits) EXPECT_EQ(count, 1) << index;
  for (const std::thread::id& id : op.threads) EXPECT_TRUE(team.ids.count(id)) << "a chunk ran off the team";
  // Out of scope the pool runs the chunks again.
  CountingOperator after;
  after.DoMultiProcess(&req, 10);
  EXPECT_EQ(after.calls.load(), 10);
  EXPECT_EQ(team.jobs, 1);
}

TEST(ThreadTeam, ChunksATeamLeavesUndoneRunOnTheCaller) {
  const host::ThreadTeam idle = [](const std::function<void()>&) {};  // runs work nowhere
  CountingOperator op;
  Request req(0.0);
  host::ScopedThreadTeam scope(idle);
  op.DoMultiProcess(&req, 25);
  EXPECT_EQ(op.calls.load(), 25);
  for (int32_t i = 0; i < 25; ++i) EXPECT_EQ(op.hits[i].load(), 1) << i;
}

TEST(ThreadTeam, AnExceptionStopsTheChunksAndReachesTheCaller) {
  Team team(2);
  CountingOperator op;
  op.throwAt = 5;
  Request req(0.0);
  host::ScopedThreadTeam scope(team.Make());
  EXPECT_THROW(op.DoMultiProcess(&req, 1000), std::runtime_error);
  EXPECT_LT(op.calls.load(), 999);
  EXPECT_EQ(op.hits[5].load(), 0);
}

TEST(ThreadTeam, InnerScopesRuleUntilTheyEnd) {
  Team outer(1), inner(1);
  Request req(0.0);
  host::ScopedThreadTeam a(outer.Make());
  {
    host::ScopedThreadTeam b(inner.Make());
    CountingOperator op;
    op.DoMultiProcess(&req, 3);
  }
  CountingOperator op;
  op.DoMultiProcess(&req, 3);
  host::RunChunks(4, [](int32_t) {});
  EXPECT_EQ(inner.jobs, 1);
  EXPECT_EQ(outer.jobs, 2);
}

TEST(Sizing, RunsNoChunkOnThisThreadOnly) {
  Request req(0.0);
  CountingOperator op;
  {
    host::ScopedSizing sizing;
    op.DoMultiProcess(&req, 40);
    std::thread other([&] {
      CountingOperator elsewhere;
      elsewhere.DoMultiProcess(&req, 40);
      EXPECT_EQ(elsewhere.calls.load(), 40);
    });
    other.join();
  }
  EXPECT_EQ(op.calls.load(), 0);
  op.DoMultiProcess(&req, 40);
  EXPECT_EQ(op.calls.load(), 40);
}

}  // namespace
}  // namespace orvanta
