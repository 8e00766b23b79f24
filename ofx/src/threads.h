// Render threads: the host's own, through its multithread suite, when it offers one; otherwise the
// runtime's worker pool. Never both, so a render never runs more threads than the machine has.
#pragma once

#include <memory>

#include "orvanta/host/host.h"

namespace orvanta::ofx {

// While alive on a render thread, the chunks of the renders made on it run on the host's threads
// when the host has a multithread suite, else on the runtime's pool as usual.
class RenderThreads {
 public:
  RenderThreads();
  ~RenderThreads();
  RenderThreads(const RenderThreads&) = delete;
  RenderThreads& operator=(const RenderThreads&) = delete;

 private:
  std::unique_ptr<host::ScopedThreadTeam> team_;
};

}  // namespace orvanta::ofx
