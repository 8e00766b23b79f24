#include "deadline_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace orvanta::serve {

namespace {

thread_local bool t_closeAfterAnswer = false;

using Clock = DeadlineServer::Clock;

int Millis(time_t sec, time_t usec) { return int(sec * 1000 + usec / 1000); }

// Waits until fd is ready for events or ms pass; true when ready.
bool Ready(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  int r;
  do r = ::poll(&p, 1, std::max(ms, 0));
  while (r < 0 && errno == EINTR);
  return r > 0;
}

std::string Address(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  else if (a.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text, sizeof text);
  return text;
}

int Port(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return -1;
}

// A connection's socket read through a buffer; no read waits past the request's deadline.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(int fd, int readMs, int writeMs) : fd_(fd), readMs_(readMs), writeMs_(writeMs) {}

  void StartRequest(Clock::time_point deadline) { deadline_ = deadline, expired_ = false; }
  // Whether a read failed for the request's time running out (the server may still have answered
  // it, 400: the connection is closed all the same).
  bool Expired() const { return expired_; }
  bool Buffered() const { return start_ < end_; }

  bool is_readable() const override { return start_ < end_ || Ready(fd_, POLLIN, WaitMs()); }
  bool is_writable() const override { return Ready(fd_, POLLOUT, writeMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (start_ == end_) {
      const long long left = LeftMs();
      if (left <= 0 || !Ready(fd_, POLLIN, int(std::min<long long>(readMs_, left)))) {
        expired_ = left <= readMs_;  // the wait was cut short by the request's deadline
        return -1;
      }
      ssize_t n;
      do n = ::recv(fd_, buffer_, sizeof buffer_, 0);
      while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      start_ = 0, end_ = size_t(n);
    }
    const size_t n = std::min(size, end_ - start_);
    std::memcpy(ptr, buffer_ + start_, n);
    start_ += n;
    return ssize_t(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) ip = Address(a), port = Port(a);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) ip = Address(a), port = Port(a);
  }
  socket_t socket() const override { return fd_; }

 private:
  // What is left of the request's time, in whole milliseconds rounded up (so that a wait of that
  // long ends at or after the deadline).
  long long LeftMs() const {
    return std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
  }
  // The per-read timeout, cut to what is left of the request's time.
  int WaitMs() const { return int(std::min<long long>(readMs_, std::max<long long>(LeftMs(), 0))); }

  int fd_;
  int readMs_, writeMs_;
  Clock::time_point deadline_ = Clock::time_point::max();
  bool expired_ = false;
  char buffer_[4096];
  size_t start_ = 0, end_ = 0;
};

}  // namespace

void DeadlineServer::CloseAfterAnswer() { t_closeAfterAnswer = true; }

bool DeadlineServer::process_and_close_socket(socket_t sock) {
  const int on = 1;  // answers go out at once (the server is set up so)
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  DeadlineStream stream(sock, Millis(read_timeout_sec_, read_timeout_usec_),
                        Millis(write_timeout_sec_, write_timeout_usec_));
  bool ok = false;
  constexpr int kIdleStepMs = 100;
  for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    // The next request's first byte, within the keep-alive time; checking now and then whether
    // the server is stopping.
    const Clock::time_point idleEnd = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    bool arrived = stream.Buffered();
    while (!arrived && svr_sock_ != INVALID_SOCKET && Clock::now() < idleEnd)
      arrived = Ready(sock, POLLIN, kIdleStepMs);
    if (!arrived) break;
    stream.StartRequest(Clock::now() + limit_.load());
    t_closeAfterAnswer = false;
    bool closed = false;
    ok = process_request(stream, left == 1, closed, nullptr);
    if (!ok || closed || t_closeAfterAnswer || stream.Expired()) break;
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace orvanta::serve
