// Threads: a render's chunks run on the host's threads when it offers a multithread suite, and
// then the runtime starts no worker of its own; without the suite they run on the runtime's pool.
// Each test runs in a process of its own (ctest), so the pool has not started before it.
#include <filesystem>
#include <thread>

#include "support.h"

namespace orvanta::ofxtest {
namespace {

// Threads of the process now. A thread is started and joined first: a sanitizer starts a helper
// thread of its own at the first thread, which must not count as the runtime's.
size_t ThreadsNow() {
  std::thread([] {}).join();
  size_t n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.is_directory();
  return n;
}

Picture RenderRemap(Host& host) {
  Instance remap(host, host.ByName("OrvantaRemap"), kOfxImageEffectContextFilter);
  remap.Connect("Source", Pattern(256, 96, Depth::Short, 21));
  remap.Set("SORL", {0.25});
  EXPECT_EQ(remap.Render(0.0, {1, 1}, Layout::BottomUp, Depth::Short), kOfxStatOK);
  return remap.output->Read();
}

TEST(Threads, TheHostsThreadsRunTheChunksAndTheRuntimeStartsNone) {
  Host host;
  host.Open(BundlePath());
  const size_t before = ThreadsNow();
  const Picture out = RenderRemap(host);
  EXPECT_GT(host.multiThreadCalls.load(), 0);
  EXPECT_GT(host.threadsStarted.load(), 1);
  EXPECT_EQ(ThreadsNow(), before) << "threads outlived the render: the runtime's pool started";
  EXPECT_GT(out.width, 0);
}

TEST(Threads, WithoutAThreadSuiteTheRuntimesPoolRunsThem) {
  HostOptions options;
  options.multiThread = false;
  Host host(options);
  host.Open(BundlePath());
  const size_t before = ThreadsNow();
  const Picture pooled = RenderRemap(host);
  EXPECT_EQ(host.multiThreadCalls.load(), 0);
  if (std::thread::hardware_concurrency() > 1) {
    EXPECT_GT(ThreadsNow(), before) << "the pool did not start";
  }
}

TEST(Threads, OneReportedCpuRunsEverythingOnTheRenderThread) {
  HostOptions options;
  options.cpus = 1;
  Host host(options);
  host.Open(BundlePath());
  const size_t before = ThreadsNow();
  const Picture single = RenderRemap(host);
  EXPECT_EQ(host.threadsStarted.load(), 0);
  EXPECT_EQ(ThreadsNow(), before);
}

}  // namespace
}  // namespace orvanta::ofxtest
