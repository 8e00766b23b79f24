#include "access.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "orvanta/host/failure.h"

namespace orvanta::serve {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string NewToken() {
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Failure("cannot draw the session's token: the kernel gives no random bytes");
    got += size_t(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (uint8_t b : bytes) token += {kHex[b >> 4], kHex[b & 15]};
  return token;
}

bool SameToken(std::string_view given, std::string_view token) {
  // Every byte of the token is compared whatever came before, so the time tells nothing of how
  // much of a guess was right.
  unsigned diff = given.size() == token.size() ? 0u : 1u;
  for (size_t i = 0; i < token.size(); ++i)
    diff |= unsigned(uint8_t(token[i]) ^ uint8_t(i < given.size() ? given[i] : 0));
  return diff == 0 && !token.empty();
}

bool IsLoopbackName(std::string_view name) {
  std::string n = Lower(name);
  if (n.size() > 2 && n.front() == '[' && n.back() == ']') n = n.substr(1, n.size() - 2);
  if (n == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, n.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, n.c_str(), &v6) == 1 && std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

std::string HostName(std::string_view header) {
  header = Trimmed(header);
  if (!header.empty() && header.front() == '[') {
    const size_t close = header.find(']');
    return close == std::string_view::npos ? std::string() : Lower(header.substr(1, close - 1));
  }
  const size_t colon = header.rfind(':');
  if (colon != std::string_view::npos && header.find(':') == colon) header = header.substr(0, colon);
  return Lower(header);
}

bool HostAllowed(std::string_view header, std::string_view listenHost, std::string_view localAddr) {
  const std::string name = HostName(header);
  if (name.empty()) return false;
  if (IsLoopbackName(name)) return true;
  const std::string listen =
      HostName(listenHost.find(':') != listenHost.rfind(':') ? "[" + std::string(listenHost) + "]"
                                                             : std::string(listenHost));
  return name == listen || (!localAddr.empty() && name == Lower(localAddr));
}

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t semi = header.find(';');
    const std::string_view pair = Trimmed(header.substr(0, semi));
    const size_t eq = pair.find('=');
    if (eq != std::string_view::npos && Trimmed(pair.substr(0, eq)) == name)
      return std::string(Trimmed(pair.substr(eq + 1)));
    if (semi == std::string_view::npos) break;
    header.remove_prefix(semi + 1);
  }
  return {};
}

}  // namespace orvanta::serve
