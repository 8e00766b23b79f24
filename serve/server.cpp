#include "server.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "access.h"
#include "assets.h"
#include "deadline_server.h"
#include "orvanta/graph/controls.h"
#include "orvanta/graph/json.h"
#include "orvanta/host/failure.h"
#include "serve.h"

namespace orvanta::serve {

struct Server::Impl {
  Session& session;
  std::mutex lock;  // around the session: one request at a time reads or changes the graph
  std::mutex genLock;
  std::map<std::string, uint64_t> newest;  // per client, the newest preview request seen
  DeadlineServer http;
  const std::string token = NewToken();
  std::string listenHost;  // as given to Bind
  std::string cookie;      // the token's cookie: one per port, as browsers share cookies across ports

  explicit Impl(Session& s) : session(s) {}

  // Refuses what no route may see: a Host that is not this server's, a compressed body, a
  // request without the token. A token given in the address is kept as the page's cookie.
  httplib::Server::HandlerResponse Admit(const httplib::Request& req, httplib::Response& res) const;

  void ConfigureTransport();
  void AddChangeRoutes();
  void AddPictureRoutes();
  void AddPageRoutes();

  // Notes a preview request; false when the client has asked for a newer one already.
  bool Current(const std::string& client, uint64_t gen, bool record) {
    std::lock_guard<std::mutex> g(genLock);
    if (newest.size() > 1000 && !newest.count(client)) newest.clear();  // tabs long closed
    uint64_t& n = newest[client];
    if (gen < n) return false;
    if (record) n = gen;
    return true;
  }
};

namespace {

void SendJson(httplib::Response& res, const Json& j, int status = 200) {
  res.status = status;
  res.set_content(j.dump(), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& why) {
  SendJson(res, Json{{"error", why}}, status);
}

// Changes come from the page alone: a JSON body (which a page of another site cannot send here
// without a preflight this server never grants) and, when the browser names one, an Origin that
// is this server's own address.
void CheckSameOrigin(const httplib::Request& req) {
  if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
    throw std::invalid_argument("changes are sent as application/json");
  if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + req.get_header_value("Host"))
    throw std::invalid_argument("changes are taken from this server's own page only");
}

Json Body(const httplib::Request& req) {
  CheckSameOrigin(req);
  Json j = graph::ParseJson(req.body, "the request body");
  if (!j.is_object()) throw std::invalid_argument("the request body is not a JSON object");
  return j;
}

int64_t WholeParam(const httplib::Request& req, const char* key, int64_t fallback, int64_t lo, int64_t hi) {
  if (!req.has_param(key)) return fallback;
  const std::string t = req.get_param_value(key);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(t.c_str(), &end, 10);
  if (t.empty() || *end || errno || v < lo || v > hi)
    throw std::invalid_argument(std::string("\"") + key + "\" must be a whole number from " +
                                std::to_string(lo) + " to " + std::to_string(hi) + ", not \"" + t + "\"");
  return v;
}

// A number parameter from lo to hi (above lo when open), else the fallback when absent.
double NumberParam(const httplib::Request& req, const char* key, double fallback, double lo, double hi,
                   bool open) {
  if (!req.has_param(key)) return fallback;
  const std::string t = req.get_param_value(key);
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (t.empty() || *end || !(open ? v > lo : v >= lo) || !(v <= hi))
    throw std::invalid_argument(std::string("\"") + key + "\" must be a number " +
                                (open ? "above " : "from ") + graph::NumberText(lo) +
                                (open ? " and at most " : " to ") + graph::NumberText(hi) + ", not \"" + t +
                                "\"");
  return v;
}

double ScaleParam(const httplib::Request& req) { return NumberParam(req, "scale", 1.0, 0.0, 1.0, true); }

// format=png (the default) or rgba, with alpha=full for the colour alone; exposure and gamma for
// float pictures.
PreviewOptions PreviewParams(const httplib::Request& req) {
  PreviewOptions o;
  const std::string format = req.has_param("format") ? req.get_param_value("format") : "png";
  if (format == "rgba")
    o.format = PreviewFormat::Rgba8;
  else if (format != "png")
    throw std::invalid_argument("\"format\" is png or rgba, not \"" + format + "\"");
  const std::string alpha = req.has_param("alpha") ? req.get_param_value("alpha") : "keep";
  if (alpha != "keep" && alpha != "full")
    throw std::invalid_argument("\"alpha\" is keep or full, not \"" + alpha + "\"");
  o.opaque = alpha == "full";
  o.view.exposure = NumberParam(req, "exposure", 0.0, -io::kMaxExposure, io::kMaxExposure, false);
  o.view.gamma = NumberParam(req, "gamma", 1.0, io::kMinGamma, io::kMaxGamma, false);
  return o;
}

constexpr int kWorkers = 32;  // connections served at once; each request's time is bounded too

}  // namespace

httplib::Server::HandlerResponse Server::Impl::Admit(const httplib::Request& req,
                                                     httplib::Response& res) const {
  using R = httplib::Server::HandlerResponse;
  auto refuse = [&res](int status, const std::string& why) {
    SendError(res, status, why);
    DeadlineServer::CloseAfterAnswer();  // the body, if any, is left unread
    return R::Handled;
  };
  if (!HostAllowed(req.get_header_value("Host"), listenHost, req.local_addr))
    return refuse(403, "this server answers only to its own address, not to the name " +
                           Quoted(req.get_header_value("Host")));
  const std::string encoding = req.get_header_value("Content-Encoding");
  if (!encoding.empty() && encoding != "identity")
    return refuse(415, "request bodies are taken uncompressed, not as " + Quoted(encoding));
  // The token as the page's cookie, an Authorization: Bearer header (scripts) or a ?token=
  // parameter (the printed address, which also mends a cookie left by an earlier run on the port).
  const std::string auth = req.get_header_value("Authorization");
  const bool inAddress = req.has_param("token") && SameToken(req.get_param_value("token"), token);
  if (!inAddress && !SameToken(CookieValue(req.get_header_value("Cookie"), cookie), token) &&
      !SameToken(auth.rfind("Bearer ", 0) == 0 ? auth.substr(7) : std::string(), token))
    return refuse(403, "open the address the server printed (it ends in ?token=...) to use this server");
  if (inAddress) res.set_header("Set-Cookie", cookie + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
  return R::Unhandled;
}

// Workers, socket options, limits and timeouts, and the check before every route.
void Server::Impl::ConfigureTransport() {
  DeadlineServer& h = http;
  h.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // Only SO_REUSEADDR (a restart right after a stop binds again), never a port shared with a
  // server already listening.
  h.set_socket_options([](socket_t sock) {
    const int on = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  h.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return Admit(req, res); });
  h.set_payload_max_length(1 << 20);
  h.set_read_timeout(5);
  h.set_write_timeout(5);
  h.set_keep_alive_timeout(2);
  // Answers go out at once: with Nagle's delay a picture's last segment waits for the page's
  // delayed acknowledgement, some 40 ms per change.
  h.set_tcp_nodelay(true);
}

// The state, and the requests that change the graph or save it.
void Server::Impl::AddChangeRoutes() {
  DeadlineServer& h = http;
  h.Get("/api/state", [&s = *this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> g(s.lock);
    SendJson(res, s.session.State());
  });

  // Every POST takes a JSON object and answers with the new state or an error.
  auto post = [&s = *this, &h = http](const char* path, Json (Session::*op)(const Json&)) {
    h.Post(path, [&s, op](const httplib::Request& req, httplib::Response& res) {
      try {
        Json body = Body(req);
        std::lock_guard<std::mutex> g(s.lock);
        SendJson(res, (s.session.*op)(body));
      } catch (const std::invalid_argument& e) {
        SendError(res, 400, e.what());
      } catch (const Failure& e) {
        SendError(res, 400, e.what());
      } catch (const std::exception& e) {  // a JSON type error, a bad_alloc: the request fails
        SendError(res, 400, std::string("the request failed: ") + e.what());
      }
    });
  };
  post("/api/set", &Session::Set);
  post("/api/add", &Session::AddNode);
  post("/api/remove", &Session::RemoveNode);
  post("/api/connect", &Session::Connect);
  post("/api/disconnect", &Session::Disconnect);
  post("/api/view", &Session::View);
  post("/api/key", &Session::Key);
  post("/api/rename", &Session::Rename);
  post("/api/move", &Session::Move);
  post("/api/undo", &Session::Undo);
  post("/api/redo", &Session::Redo);

  h.Post("/api/save", [&s = *this](const httplib::Request& req, httplib::Response& res) {
    try {
      CheckSameOrigin(req);
    } catch (const std::invalid_argument& e) {
      SendError(res, 400, e.what());
      return;
    }
    try {
      std::lock_guard<std::mutex> g(s.lock);
      SendJson(res, s.session.Save());
    } catch (const std::exception& e) {
      SendError(res, 422, e.what());
    }
  });
}

// Pictures and pixel values of a node at a frame.
void Server::Impl::AddPictureRoutes() {
  DeadlineServer& h = http;
  h.Get("/api/render", [&s = *this](const httplib::Request& req, httplib::Response& res) {
    try {
      if (!req.has_param("node")) throw std::invalid_argument("the render request needs \"node\"");
      const std::string node = req.get_param_value("node");
      const int32_t frame = int32_t(WholeParam(req, "frame", 1, -9999999, 9999999));
      const double scale = ScaleParam(req);
      const PreviewOptions options = PreviewParams(req);
      const std::string client = req.has_param("client") ? req.get_param_value("client") : "";
      const uint64_t gen = uint64_t(WholeParam(req, "gen", 0, 0, INT64_MAX));
      if (!s.Current(client, gen, true)) {
        res.status = 204;
        return;
      }
      std::lock_guard<std::mutex> g(s.lock);
      if (!s.Current(client, gen, false)) {  // a newer one came while this one waited
        res.status = 204;
        return;
      }
      Preview p = s.session.Render(node, frame, scale, options);
      res.set_header("X-Width", std::to_string(p.width));
      res.set_header("X-Height", std::to_string(p.height));
      res.set_header("X-Depth", p.depth == DepthFloat ? "float" : p.depth == Depth16 ? "16" : "8");
      res.set_header("X-View", p.viewTransformed ? "transformed" : "none");
      res.set_header("X-Render-Ms", std::to_string(p.renderMs));
      res.set_header("X-Encode-Ms", std::to_string(p.encodeMs));
      res.set_header("X-Revision", std::to_string(p.revision));
      res.set_header("Cache-Control", "no-store");
      res.set_content(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size(),
                      options.format == PreviewFormat::Png ? "image/png" : "application/octet-stream");
    } catch (const std::invalid_argument& e) {
      SendError(res, 400, e.what());
    } catch (const std::exception& e) {
      SendError(res, 422, e.what());
    }
  });

  h.Get("/api/pixel", [&s = *this](const httplib::Request& req, httplib::Response& res) {
    try {
      if (!req.has_param("node")) throw std::invalid_argument("the pixel request needs \"node\"");
      const int32_t frame = int32_t(WholeParam(req, "frame", 1, -9999999, 9999999));
      const double scale = ScaleParam(req);
      const int32_t x = int32_t(WholeParam(req, "x", -1, 0, INT32_MAX));
      const int32_t y = int32_t(WholeParam(req, "y", -1, 0, INT32_MAX));
      if (x < 0 || y < 0) throw std::invalid_argument("the pixel request needs \"x\" and \"y\"");
      std::lock_guard<std::mutex> g(s.lock);
      SendJson(res, s.session.Pixel(req.get_param_value("node"), frame, scale, x, y));
    } catch (const std::invalid_argument& e) {
      SendError(res, 400, e.what());
    } catch (const std::exception& e) {
      SendError(res, 422, e.what());
    }
  });
}

// The page's own files, and the answer to a request that fails unexpectedly.
void Server::Impl::AddPageRoutes() {
  DeadlineServer& h = http;
  h.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  h.Get(R"(/[a-z]*(\.[a-z]+)?)", [](const httplib::Request& req, httplib::Response& res) {
    const Asset* a = FindAsset(req.path);
    if (!a) {
      res.status = 404;
      res.set_content("no such page", "text/plain");
      return;
    }
    res.set_content(std::string(a->bytes), std::string(a->type).c_str());
  });
  h.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    SendError(res, 500, "the server could not answer the request");
  });
}

Server::Server(Session& session) : impl_(std::make_unique<Impl>(session)) {
  impl_->ConfigureTransport();
  impl_->AddChangeRoutes();
  impl_->AddPictureRoutes();
  impl_->AddPageRoutes();
}

Server::~Server() = default;

int Server::Bind(const std::string& host, int port) {
  errno = 0;
  const int bound =
      port == 0 ? impl_->http.bind_to_any_port(host) : (impl_->http.bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    const int why = errno;
    throw Failure("cannot listen on " + host + ":" + std::to_string(port) +
                  (why == EADDRINUSE      ? ": the address is in use"
                   : why == EADDRNOTAVAIL ? ": the address is not this machine's"
                   : why == EACCES        ? ": the port needs privileges"
                                          : ": the address is in use or not this machine's"));
  }
  impl_->listenHost = host;
  impl_->cookie = "orvanta-token-" + std::to_string(bound);
  return bound;
}

const std::string& Server::Token() const { return impl_->token; }

void Server::SetRequestTimeLimit(std::chrono::milliseconds limit) { impl_->http.SetRequestTimeLimit(limit); }

void Server::Run() { impl_->http.listen_after_bind(); }
void Server::Stop() { impl_->http.stop(); }

// ---- the command ----------------------------------------------------------------------------

namespace {

int g_stopPipe[2] = {-1, -1};

// Only writes a byte: the watcher thread does the stopping.
void OnStopSignal(int) {
  const char c = 's';
  [[maybe_unused]] ssize_t n = ::write(g_stopPipe[1], &c, 1);
}

constexpr const char* kServeUsage =
    "orvanta serve [COMP | TOOL -i [LABEL=]PATH ...] [-s [NODE.]CONTROL=VALUE] [-x [NODE.]CONTROL=EXPR]\n"
    "              [--port N] [--host ADDR] [--save COMP] [--frames RANGE]";

}  // namespace

void RefuseArguments(const std::string& why) { throw Failure(why + "; usage: " + kServeUsage); }

int Main(const std::vector<std::string>& words) {
  StartOptions o;
  std::string host = "127.0.0.1";
  int port = 8080;
  graph::ArgReader args(words, RefuseArguments);
  while (args.More()) {
    const std::string& a = args.Next();
    if (args.TakeEdit(o)) continue;
    if (a == "--save")
      o.save = args.Value();
    else if (a == "--frames")
      o.frames = args.Value();
    else if (a == "--host")
      host = args.Value();
    else if (a == "--port") {
      const std::string t = args.Value();
      char* end = nullptr;
      const long p = std::strtol(t.c_str(), &end, 10);
      if (t.empty() || *end || p < 0 || p > 65535)
        RefuseArguments("--port takes a number from 0 to 65535, not " + Quoted(t));
      port = int(p);
    } else if (!a.empty() && a[0] != '-' && o.comp.empty() && o.tool.empty()) {
      std::error_code ec;
      if (a.size() > 5 && a.compare(a.size() - 5, 5, ".json") == 0)
        o.comp = a;
      else if (std::filesystem::is_regular_file(a, ec))
        o.comp = a;
      else
        o.tool = a;
    } else {
      RefuseArguments("serve does not take " + Quoted(a));
    }
  }

  Session session(o);
  Server server(session);
  const int bound = server.Bind(host, port);

  if (::pipe(g_stopPipe) != 0) throw Failure("cannot set up the stop signal");
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a closed tab must not end the server
  std::thread watcher([&server] {
    char c = 0;
    if (::read(g_stopPipe[0], &c, 1) == 1 && c == 's') server.Stop();
  });

  if (!IsLoopbackName(host))
    std::cerr << "orvanta: warning: serving on " << host
              << ", not this machine's loopback: anyone who reaches that address and has the token"
                 " controls the server and may read any file it can\n";
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::cout << "orvanta: serving " << (o.comp.empty() ? o.tool : o.comp) << " on http://" << shown << ":"
            << bound << "/?token=" << server.Token() << " (Ctrl-C stops)" << std::endl;
  server.Run();
  // Stopped by a signal, or the listener failed: wake the watcher either way.
  OnStopSignal(0);
  watcher.join();
  std::cout << "orvanta: stopped" << std::endl;
  return 0;
}

}  // namespace orvanta::serve
