#include "server.h"

#include <httplib.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "assets.h"
#include "orvanta/graph/json.h"
#include "orvanta/host/failure.h"
#include "serve.h"

namespace orvanta::serve {

struct Server::Impl {
  Session& session;
  std::mutex lock;  // around the session: one request at a time reads or changes the graph
  std::mutex genLock;
  std::map<std::string, uint64_t> newest;  // per client, the newest preview request seen
  httplib::Server http;

  explicit Impl(Session& s) : session(s) {}

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

double ScaleParam(const httplib::Request& req) {
  if (!req.has_param("scale")) return 1.0;
  const std::string t = req.get_param_value("scale");
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (t.empty() || *end || !(v > 0.0 && v <= 1.0))
    throw std::invalid_argument("\"scale\" must be a number above 0 and at most 1, not \"" + t + "\"");
  return v;
}

}  // namespace

Server::Server(Session& session) : impl_(std::make_unique<Impl>(session)) {
  Impl& s = *impl_;
  httplib::Server& h = s.http;
  h.set_payload_max_length(1 << 20);
  h.set_read_timeout(5);
  h.set_write_timeout(5);
  h.set_keep_alive_timeout(2);

  h.Get("/api/state", [&s](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> g(s.lock);
    SendJson(res, s.session.State());
  });

  // Every POST takes a JSON object and answers with the new state or an error.
  auto post = [&s, &h](const char* path, Json (Session::*op)(const Json&)) {
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

  h.Post("/api/save", [&s](const httplib::Request& req, httplib::Response& res) {
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

  h.Get("/api/render", [&s](const httplib::Request& req, httplib::Response& res) {
    try {
      if (!req.has_param("node")) throw std::invalid_argument("the render request needs \"node\"");
      const std::string node = req.get_param_value("node");
      const int32_t frame = int32_t(WholeParam(req, "frame", 1, -9999999, 9999999));
      const double scale = ScaleParam(req);
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
      Preview p = s.session.Render(node, frame, scale);
      res.set_header("X-Width", std::to_string(p.width));
      res.set_header("X-Height", std::to_string(p.height));
      res.set_header("X-View", p.viewTransformed ? "transformed" : "none");
      res.set_header("X-Render-Ms", std::to_string(p.renderMs));
      res.set_header("X-Encode-Ms", std::to_string(p.encodeMs));
      res.set_header("Cache-Control", "no-store");
      res.set_content(std::string(p.png.begin(), p.png.end()), "image/png");
    } catch (const std::invalid_argument& e) {
      SendError(res, 400, e.what());
    } catch (const std::exception& e) {
      SendError(res, 422, e.what());
    }
  });

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

Server::~Server() = default;

int Server::Bind(const std::string& host, int port) {
  const int bound =
      port == 0 ? impl_->http.bind_to_any_port(host) : (impl_->http.bind_to_port(host, port) ? port : -1);
  if (bound <= 0)
    throw Failure("cannot listen on " + host + ":" + std::to_string(port) +
                  ": the address is in use or not this machine's");
  return bound;
}

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

[[noreturn]] void Bad(const std::string& why) { throw Failure(why + "; usage: " + kServeUsage); }

}  // namespace

int Main(const std::vector<std::string>& args) {
  StartOptions o;
  std::string host = "127.0.0.1";
  int port = 8080;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) Bad(a + " needs a value");
      return args[++i];
    };
    if (a == "-i")
      o.inputs.push_back(value());
    else if (a == "-s")
      o.settings.push_back(value());
    else if (a == "-x")
      o.expressions.push_back(value());
    else if (a == "--save")
      o.save = value();
    else if (a == "--frames")
      o.frames = value();
    else if (a == "--host")
      host = value();
    else if (a == "--port") {
      const std::string t = value();
      char* end = nullptr;
      const long p = std::strtol(t.c_str(), &end, 10);
      if (t.empty() || *end || p < 0 || p > 65535)
        Bad("--port takes a number from 0 to 65535, not " + Quoted(t));
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
      Bad("serve does not take " + Quoted(a));
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

  std::cout << "orvanta: serving " << (o.comp.empty() ? o.tool : o.comp) << " on http://" << host << ":"
            << bound << "/ (Ctrl-C stops)" << std::endl;
  server.Run();
  // Stopped by a signal, or the listener failed: wake the watcher either way.
  OnStopSignal(0);
  watcher.join();
  std::cout << "orvanta: stopped" << std::endl;
  return 0;
}

}  // namespace orvanta::serve
