// The overlapped frame pipeline: pictures read ahead are the ones asked for, in every order the
// evaluator may ask, failures reach the frame they belong to, and the background writer keeps
// order, reports the first failure and drops what follows it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "orvanta/host/failure.h"
#include "orvanta/io/files.h"
#include "orvanta/io/image_io.h"
#include "orvanta/io/pipeline.h"
#include "orvanta/io/sequence.h"
#include "support.h"

namespace orvanta {
namespace {
namespace fs = std::filesystem;

// A picture that says which frame it is: every blue sample holds the frame number.
host::ImagePtr FrameImage(int32_t frame) {
  host::ImagePtr im = testing::Numbered(16, 8, Depth16);
  for (int32_t y = 0; y < im->Height; ++y) {
    auto* row = reinterpret_cast<uint16_t*>(host::RowBytes(im.get(), y));
    for (int32_t x = 0; x < im->Width; ++x) row[x * 4] = uint16_t(frame);
  }
  return im;
}

int32_t FrameOf(const Image* im) { return reinterpret_cast<const uint16_t*>(host::RowBytes(im, 3))[0]; }

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvanta-io-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    seq_ = (dir_ / "f.#.tif").string();
    for (int32_t f = 1; f <= 12; ++f) io::WriteImage(*FrameImage(f), io::FramePath(seq_, f));
    still_ = (dir_ / "still.tif").string();
    io::WriteImage(*FrameImage(99), still_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string seq_, still_;
};

TEST_F(Pipeline, PicturesReadAheadAreTheFramesAskedFor) {
  const std::vector<int32_t> plan = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (size_t readers : {size_t(1), size_t(3)})
    for (size_t ahead : {size_t(0), size_t(1), size_t(3), size_t(20)}) {
      SCOPED_TRACE(::testing::Message() << readers << " readers, " << ahead << " ahead");
      io::FileCache files;
      io::PrefetchingFiles pre(files, {seq_, still_, seq_}, plan, ahead, readers);
      for (int32_t f : plan) {
        Image* a = pre.Load(seq_, f);
        EXPECT_EQ(FrameOf(a), f);
        EXPECT_EQ(FrameOf(pre.Load(seq_, f)), f) << "a second input on the same file, same frame";
        EXPECT_EQ(FrameOf(pre.Load(still_, f)), 99);
        EXPECT_TRUE(testing::SameBytes(a, FrameImage(f).get()));
      }
    }
}

TEST_F(Pipeline, FramesSkippedRepeatedOrOffThePlanAreStillRight) {
  for (size_t readers : {size_t(1), size_t(2), size_t(4)}) {
    SCOPED_TRACE(readers);
    io::FileCache files;
    io::PrefetchingFiles pre(files, {seq_}, {2, 2, 5, 3, 8, 9, 10, 11, 12}, 3, readers);
    // Frames skipped (5 -> 8 passes over 3, 10 -> 12 over 11), asked twice, and frames the plan
    // never held.
    for (int32_t f : {2, 2, 5, 8, 1, 9, 12, 10, 12}) EXPECT_EQ(FrameOf(pre.Load(seq_, f)), f) << f;
  }
}

TEST_F(Pipeline, AFrameThatCannotBeReadFailsItsOwnLoad) {
  fs::remove(io::FramePath(seq_, 6));
  for (size_t readers : {size_t(1), size_t(3)}) {
    SCOPED_TRACE(readers);
    io::FileCache files;
    io::PrefetchingFiles pre(files, {seq_}, {3, 4, 5, 6, 7, 8, 9}, 3, readers);
    // The frames before the missing one arrive, whichever reader finished first.
    for (int32_t f : {3, 4, 5}) EXPECT_EQ(FrameOf(pre.Load(seq_, f)), f);
    try {
      pre.Load(seq_, 6);
      ADD_FAILURE() << "frame 6 loaded";
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find("f.0006.tif"), std::string::npos) << e.what();
    }
    // No reader takes a frame after the failure is known; with one reader that is every later frame.
    if (readers == 1) {
      EXPECT_THROW(pre.Load(seq_, 7), Failure) << "frames after the failure are not read";
    }
    EXPECT_THROW(pre.Load(seq_, 9), Failure) << "frame 9 lies beyond what 3 readers 3 ahead take";
  }
}

TEST_F(Pipeline, TheReaderStopsWhenTheRenderDoes) {
  // Destroyed after one frame of many: the reader threads, waiting for room, end at once.
  io::FileCache files;
  auto pre = std::make_unique<io::PrefetchingFiles>(files, std::vector<std::string>{seq_},
                                                    std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}, 2, 2);
  EXPECT_EQ(FrameOf(pre->Load(seq_, 1)), 1);
  pre.reset();
}

TEST(BackgroundWriter, WritesInOrderWhateverTheDepth) {
  for (size_t depth : {size_t(0), size_t(1), size_t(4)}) {
    SCOPED_TRACE(depth);
    std::vector<int32_t> written;
    {
      io::BackgroundWriter w(depth);
      for (int32_t f = 1; f <= 20; ++f)
        w.Push(FrameImage(f), [&written, f](const Image& im) {
          if (f % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a slow write
          EXPECT_EQ(FrameOf(&im), f);
          written.push_back(FrameOf(&im));
        });
      w.Finish();
      EXPECT_EQ(written.size(), 20u);
    }
    for (size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], int32_t(i + 1));
  }
}

TEST(BackgroundWriter, TheFirstFailureIsReportedAndTheRestDropped) {
  std::atomic<int> after{0};
  io::BackgroundWriter w(2);
  w.Push(FrameImage(1), [](const Image&) { throw Failure("cannot write one.tif: the disk is full"); });
  bool thrown = false;
  try {
    for (int32_t f = 2; f <= 50; ++f) w.Push(FrameImage(f), [&after](const Image&) { ++after; });
    w.Finish();
  } catch (const Failure& e) {
    thrown = true;
    EXPECT_STREQ(e.what(), "cannot write one.tif: the disk is full");
  }
  EXPECT_TRUE(thrown);
  EXPECT_THROW(w.Finish(), Failure);
  EXPECT_EQ(after.load(), 0) << "writes went on after a failure";
}

// Several threads: every frame is written once, with its own picture, some of them at once; a
// failure still stops the frames not yet taken.
TEST(BackgroundWriter, SeveralThreadsWriteEveryFrameOnce) {
  std::mutex m;
  std::vector<int32_t> written;
  std::atomic<int> running{0}, most{0};
  {
    io::BackgroundWriter w(2, 3);
    for (int32_t f = 1; f <= 30; ++f)
      w.Push(FrameImage(f), [&, f](const Image& im) {
        const int now = ++running;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        --running;
        EXPECT_EQ(FrameOf(&im), f);
        std::lock_guard<std::mutex> lock(m);
        written.push_back(f);
      });
    w.Finish();
  }
  std::sort(written.begin(), written.end());
  std::vector<int32_t> all(30);
  for (int32_t i = 0; i < 30; ++i) all[size_t(i)] = i + 1;
  EXPECT_EQ(written, all);
  EXPECT_GT(most.load(), 1) << "the writes never overlapped";

  io::BackgroundWriter failing(2, 2);
  std::atomic<int> after{0};
  failing.Push(FrameImage(1), [](const Image&) { throw Failure("cannot write one.tif: the disk is full"); });
  EXPECT_THROW(
      {
        for (int32_t f = 2; f <= 200; ++f)
          failing.Push(FrameImage(f), [&after](const Image&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++after;
          });
        failing.Finish();
      },
      Failure);
  EXPECT_LT(after.load(), 20) << "writes went on long after a failure";
}

// Frames being written count against the depth (never below one per thread), so the memory a
// queued render holds is bounded by it.
TEST(BackgroundWriter, HoldsNoMoreFramesThanItsDepth) {
  struct Case {
    size_t depth, threads, most;
  };
  for (const Case& c : {Case{3, 2, 3}, Case{1, 2, 2}, Case{2, 1, 2}}) {
    SCOPED_TRACE(::testing::Message() << "depth " << c.depth << ", " << c.threads << " threads");
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<size_t> pushed{0};
    io::BackgroundWriter w(c.depth, c.threads);
    std::thread producer([&] {
      for (int32_t f = 1; f <= 6; ++f) {
        w.Push(FrameImage(f), [&](const Image&) {
          std::unique_lock<std::mutex> lock(m);
          cv.wait(lock, [&] { return release; });
        });
        ++pushed;
      }
    });
    // The held writes never finish, so every Push past the bound blocks.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(pushed.load(), c.most);
    {
      std::lock_guard<std::mutex> lock(m);
      release = true;
    }
    cv.notify_all();
    producer.join();
    w.Finish();
    EXPECT_EQ(pushed.load(), 6u);
  }
}

TEST(BackgroundWriter, DestroyedItWritesWhatIsQueued) {
  std::vector<int32_t> written;
  {
    io::BackgroundWriter w(3);
    for (int32_t f = 1; f <= 3; ++f)
      w.Push(FrameImage(f), [&written](const Image& im) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        written.push_back(FrameOf(&im));
      });
  }
  EXPECT_EQ(written, (std::vector<int32_t>{1, 2, 3}));
}

}  // namespace
}  // namespace orvanta
