// Who may use the browser host. A page of another site can reach a server on this machine by a
// name of its own that resolves here (DNS rebinding), so every request must name the server by
// an address it answers to, and carry the session's token: a random number printed in the
// address the server shows, kept by the page as a cookie.
#pragma once

#include <string>
#include <string_view>

namespace orvanta::serve {

// 128 random bits from the kernel as 32 lowercase hex digits. Throws Failure when the kernel
// gives none.
std::string NewToken();

// Whether given is the token, taking the same time whatever the given text holds (for a token of
// one length).
bool SameToken(std::string_view given, std::string_view token);

// localhost, 127.x.x.x and ::1 (with or without brackets), in any letter case.
bool IsLoopbackName(std::string_view name);

// The name of a Host header without its port: "[::1]:8080" -> "::1", "Localhost:80" -> "localhost".
std::string HostName(std::string_view header);

// Whether a request's Host names this server: a loopback name, the address it was told to listen
// on, or the address the connection arrived at (a literal address cannot be rebound).
bool HostAllowed(std::string_view header, std::string_view listenHost, std::string_view localAddr);

// The value of the cookie called name in a Cookie header, "" when absent.
std::string CookieValue(std::string_view header, std::string_view name);

}  // namespace orvanta::serve
