#include "threads.h"

#include "suites.h"

namespace orvanta::ofx {
namespace {

// Runs on each of the host's threads; the work given by the runtime never throws.
void RunWork(unsigned int, unsigned int, void* work) noexcept {
  try {
    (*static_cast<const std::function<void()>*>(work))();
  } catch (...) {
  }
}

// The host's threads as a thread team. One CPU, a thread the host spawned itself (its
// multiThread cannot nest) or a failed launch: no thread is started and the calling thread runs
// every chunk (the runtime runs what a team leaves undone).
void OnHostThreads(const std::function<void()>& work) {
  const OfxMultiThreadSuiteV1* mt = Host().threads;
  unsigned int cpus = 1;
  if (mt->multiThreadNumCPUs(&cpus) != kOfxStatOK || cpus <= 1) return;
  if (mt->multiThreadIsSpawnedThread()) return;
  (void)mt->multiThread(&RunWork, cpus, const_cast<std::function<void()>*>(&work));
}

}  // namespace

RenderThreads::RenderThreads() {
  const OfxMultiThreadSuiteV1* mt = Host().threads;
  if (mt && mt->multiThread && mt->multiThreadNumCPUs && mt->multiThreadIsSpawnedThread)
    team_ = std::make_unique<host::ScopedThreadTeam>(&OnHostThreads);
}

RenderThreads::~RenderThreads() = default;

}  // namespace orvanta::ofx
