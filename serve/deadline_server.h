// An HTTP server whose requests each have a time limit as a whole: a client that sends its
// header lines or its body a byte at a time gets its connection closed when the limit passes,
// however often each byte arrives within the per-read timeout, instead of holding a worker
// thread for as long as it likes.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>

namespace orvanta::serve {

class DeadlineServer : public httplib::Server {
 public:
  using Clock = std::chrono::steady_clock;

  // The time from the first byte of a request to the end of its body; any thread, before or
  // while serving.
  void SetRequestTimeLimit(Clock::duration limit) { limit_ = limit; }

  // Called from a handler: the connection closes after this answer (its body was not read).
  static void CloseAfterAnswer();

 private:
  // Serves the requests of one connection, each within the time limit, then closes the socket.
  // Runs on a worker thread of the server.
  bool process_and_close_socket(socket_t sock) override;

  std::atomic<Clock::duration> limit_{std::chrono::seconds(10)};
};

}  // namespace orvanta::serve
