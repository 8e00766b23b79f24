// The browser host over HTTP: the API and the page, malformed and abandoned requests, parallel
// clients, the newest preview first, and the command stopping cleanly on Ctrl-C.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "serve_support.h"
#include "server.h"

extern char** environ;

namespace orvanta::servetest {
namespace {

using serve::Json;

TEST_F(HttpTest, PageAndApi) {
  auto c = Client();
  auto page = c.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("\"app.js\""), std::string::npos);
  auto js = c.Get("/app.js");
  ASSERT_TRUE(js);
  EXPECT_EQ(js->get_header_value("Content-Type").rfind("text/javascript", 0), 0u);
  EXPECT_EQ(c.Get("/nothing.html")->status, 404);

  auto st = c.Get("/api/state");
  ASSERT_TRUE(st);
  EXPECT_EQ(Json::parse(st->body).at("nodes").at(0).at("node"), "remap");

  auto set =
      c.Post("/api/set", R"({"node":"remap","control":"OOIO","value":"Colorize"})", "application/json");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->status, 200);
  EXPECT_TRUE(ControlIn(Json::parse(set->body), "remap", "ICLR").at("shown"));

  auto bad = c.Post("/api/set", R"({"node":"remap","control":"SORL","value":9})", "application/json");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_NE(Json::parse(bad->body).at("error").get<std::string>().find("outside the range"),
            std::string::npos);

  auto png = c.Get("/api/render?node=remap&frame=1&scale=1");
  ASSERT_TRUE(png);
  EXPECT_EQ(png->status, 200);
  EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(DecodePng(std::vector<uint8_t>(png->body.begin(), png->body.end())).w, 64);

  c.Post("/api/add", R"({"tool":"OrvantaToneGate","name":"gate"})", "application/json");
  auto missing = c.Get("/api/render?node=gate");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 422);
  EXPECT_NE(Json::parse(missing->body).at("error").get<std::string>().find("Input"), std::string::npos);

  auto saved = c.Post("/api/save", "{}", "application/json");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 200);
  EXPECT_TRUE(fs::exists(P("saved.json")));
}

// The editor's routes: raw pictures, pixel values, keys, names, positions, undo and redo.
TEST_F(HttpTest, EditorRoutes) {
  auto c = Client();
  auto raw = c.Get("/api/render?node=remap&scale=1&format=rgba");
  ASSERT_TRUE(raw);
  ASSERT_EQ(raw->status, 200);
  EXPECT_EQ(raw->get_header_value("Content-Type"), "application/octet-stream");
  EXPECT_EQ(raw->get_header_value("X-Depth"), "8");
  EXPECT_EQ(raw->body.size(), size_t(64 * 40 * 4));
  auto px = c.Get("/api/pixel?node=remap&frame=1&scale=1&x=5&y=3");
  ASSERT_TRUE(px);
  ASSERT_EQ(px->status, 200);
  const Json rgba = Json::parse(px->body).at("rgba");
  const size_t at = (3 * 64 + 5) * 4;
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(rgba[i].get<int>(), uint8_t(raw->body[at + i])) << i;

  const std::vector<std::pair<std::string, int>> gets = {
      {"/api/render?node=remap&format=jpeg", 400},
      {"/api/render?node=remap&exposure=30", 400},
      {"/api/render?node=remap&gamma=0", 400},
      {"/api/render?node=remap&gamma=x", 400},
      {"/api/pixel?node=remap&x=1", 400},
      {"/api/pixel?node=remap&x=-1&y=0", 400},
      {"/api/pixel?node=remap&x=64&y=0", 422},
      {"/api/pixel?node=ghost&x=0&y=0", 422},
      {"/api/render?node=remap&format=rgba&alpha=none", 400},
      {"/api/render?node=remap&exposure=-2&gamma=2.2&format=rgba&alpha=full", 200}};
  for (const auto& [q, status] : gets) {
    auto r = c.Get(q.c_str());
    ASSERT_TRUE(r) << q;
    EXPECT_EQ(r->status, status) << q << " " << r->body.substr(0, 200);
  }
  const std::vector<std::tuple<std::string, std::string, int>> posts = {
      {"/api/key", R"({"node":"remap","control":"SORL"})", 200},
      {"/api/key", R"({"node":"remap","control":"SORL","frame":"x"})", 400},
      {"/api/rename", R"({"node":"remap","name":"grade"})", 200},
      {"/api/rename", R"({"node":"grade","name":"9"})", 400},
      {"/api/move", R"({"positions":{"grade":[4,5]}})", 200},
      {"/api/move", R"({"positions":{"grade":[4]}})", 400},
      {"/api/undo", "{}", 200},
      {"/api/redo", "{}", 200},
      {"/api/redo", "{}", 400}};
  for (const auto& [path, body, status] : posts) {
    auto r = c.Post(path.c_str(), body, "application/json");
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, status) << path << " " << body << " " << r->body.substr(0, 200);
  }
  const Json st = Json::parse(c.Get("/api/state")->body);
  EXPECT_EQ(st.at("nodes")[0].at("node"), "grade");
  EXPECT_EQ(st.at("nodes")[0].at("position"), Json::array({4.0, 5.0}));
  EXPECT_TRUE(ControlIn(st, "grade", "SORL").at("animated"));
}

TEST_F(HttpTest, MalformedAndAbandonedRequestsLeaveTheServerServing) {
  auto c = Client();
  const std::vector<std::pair<std::string, std::string>> posts = {
      {"/api/set", "not json"},
      {"/api/set", "[1,2,3]"},
      {"/api/set", R"({"node":["remap"],"control":"SORL","value":1})"},
      {"/api/set", R"({"node":"remap","control":"SORL","value":[1,2,3]})"},
      {"/api/set", std::string(1000, '{')},
      {"/api/connect", R"({"node":"remap","input":"Input","source":"remap"})"},
      {"/api/view", R"({"frame":1e300})"},
      {"/api/view", R"({"scope":"yes"})"},
      {"/api/remove", R"({})"},
      {"/api/add", R"({"tool":null})"},
  };
  for (const auto& [path, body] : posts) {
    auto r = c.Post(path.c_str(), body, "application/json");
    ASSERT_TRUE(r) << path << " " << body;
    EXPECT_EQ(r->status, 400) << path << " " << body;
    EXPECT_TRUE(Json::parse(r->body).contains("error")) << r->body;
  }
  for (const char* q : {"/api/render", "/api/render?node=remap&frame=abc", "/api/render?node=remap&scale=2",
                        "/api/render?node=remap&scale=nan", "/api/render?node=remap&frame=99999999999",
                        "/api/render?node=remap&gen=-4"}) {
    auto r = c.Get(q);
    ASSERT_TRUE(r) << q;
    EXPECT_EQ(r->status, 400) << q;
  }
  // Another site's page cannot change the graph or save it.
  EXPECT_EQ(c.Post("/api/set", R"({"node":"remap","control":"SORL","value":0.5})", "text/plain")->status,
            400);
  EXPECT_EQ(c.Post("/api/save", "{}", "text/plain")->status, 400);
  httplib::Headers foreign{{"Origin", "http://evil.example"}};
  EXPECT_EQ(
      c.Post("/api/set", foreign, R"({"node":"remap","control":"SORL","value":0.5})", "application/json")
          ->status,
      400);
  EXPECT_EQ(c.Post("/api/save", foreign, "{}", "application/json")->status, 400);
  EXPECT_FALSE(fs::exists(P("saved.json")));
  httplib::Headers own{{"Origin", "http://127.0.0.1:" + std::to_string(port_)}};
  EXPECT_EQ(c.Post("/api/view", own, R"({"frame":2})", "application/json")->status, 200);

  auto huge = c.Post("/api/set", std::string(2 << 20, ' '), "application/json");
  EXPECT_TRUE(!huge || huge->status == 413);
  EXPECT_EQ(c.Get("/../../etc/passwd")->status, 404);

  Raw("GARBAGE\r\n\r\n", true);
  Raw("POST /api/set HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n{\"node\":",
      false);                                                            // closed mid-body
  Raw("GET /api/render?node=remap HTTP/1.1\r\nHost: x\r\n\r\n", false);  // closed before the answer
  Raw(std::string("\x00\xff\x10\r\n\r\n", 7), true);

  auto st = c.Get("/api/state");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->status, 200);
  EXPECT_EQ(Json::parse(st->body).at("nodes").size(), 1u);
}

TEST_F(HttpTest, DeeplyNestedOrUnreadableBodiesAreRefusedAndTheServerServesOn) {
  auto c = Client();
  const std::string deep = std::string(60000, '[') + std::string(60000, ']');
  auto r =
      c.Post("/api/set", R"({"node":"remap","control":"SORL","value":)" + deep + "}", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  const std::string error = Json::parse(r->body).at("error");
  EXPECT_EQ(error.substr(0, 200), "the request body nests lists and objects more than 64 deep");
  // Text that is not UTF-8 is quoted in the answer as valid text.
  auto bytes = c.Post("/api/set", "{\"node\": \"\xff\xfe", "application/json");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->status, 400);
  EXPECT_EQ(Json::parse(bytes->body)
                .at("error")
                .get<std::string>()
                .rfind("the request body is not valid JSON: ", 0),
            0u);
  auto st = c.Get("/api/state");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->status, 200);
}

TEST_F(HttpTest, ParallelClientsAllGetAnswers) {
  std::atomic<int> ok{0}, bad{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t)
    clients.emplace_back([&, t] {
      auto c = Client();
      for (int i = 0; i < 8; ++i) {
        const std::string body =
            R"({"node":"remap","control":"SORL","value":)" + std::to_string(0.05 * i) + "}";
        auto s = c.Post("/api/set", body, "application/json");
        auto r = c.Get(
            ("/api/render?node=remap&scale=0.5&client=c" + std::to_string(t) + "&gen=" + std::to_string(i))
                .c_str());
        if (s && s->status == 200 && r && r->status == 200)
          ++ok;
        else
          ++bad;
      }
    });
  for (auto& th : clients) th.join();
  EXPECT_EQ(ok.load(), 32);
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(HttpTest, AnOvertakenPreviewRequestIsDropped) {
  auto c = Client();
  EXPECT_EQ(c.Get("/api/render?node=remap&client=a&gen=5")->status, 200);
  EXPECT_EQ(c.Get("/api/render?node=remap&client=a&gen=3")->status, 204);
  EXPECT_EQ(c.Get("/api/render?node=remap&client=a&gen=6")->status, 200);
  EXPECT_EQ(c.Get("/api/render?node=remap&client=b&gen=1")->status, 200);  // clients are apart
}

// The command: prints its address with the token, serves those who carry it, and stops with
// status 0 on SIGINT; served beyond the loopback, it warns first.
TEST_F(ServeTest, CommandServesAndStopsOnCtrlC) {
  const std::string out = P("serve.out");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, P("serve.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string bars = P("bars.png");
  std::vector<const char*> argv{ORVANTA_CLI, "serve", "OrvantaRemap", "-i",      bars.c_str(),
                                "--port",    "0",     "--host",       "0.0.0.0", nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, ORVANTA_CLI, &fa, nullptr, const_cast<char**>(argv.data()), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  auto slurp = [](const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };

  // The address line: "... on http://0.0.0.0:PORT/?token=TOKEN ...".
  const std::string prefix = "http://0.0.0.0:";
  std::string text, token;
  int port = 0;
  for (int i = 0; i < 200 && port == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    text = slurp(out);
    const size_t at = text.find(prefix), mark = text.find("/?token=");
    if (at != std::string::npos && mark != std::string::npos && text.find(' ', mark) != std::string::npos) {
      port = std::atoi(text.c_str() + at + prefix.size());
      token = text.substr(mark + 8, text.find(' ', mark) - mark - 8);
    }
  }
  ASSERT_GT(port, 0) << text;
  EXPECT_EQ(token.size(), 32u) << text;
  EXPECT_NE(slurp(P("serve.err")).find("anyone who reaches that address"), std::string::npos);
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(10);
  EXPECT_EQ(c.Get("/api/render?node=remap")->status, 403);
  auto r = c.Get(("/api/render?node=remap&token=" + token).c_str());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);

  ::kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(slurp(out).find("stopped"), std::string::npos);
}

// The command's serve verb is the program beside it, given the command's global options; a
// command without that program says so in one sentence.
TEST_F(ServeTest, TheServeVerbRunsTheProgramBesideTheCommand) {
  auto slurp = [](const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(RunCommand({ORVANTA_CLI, "--plugins", P("nowhere"), "serve", "x.json"}, P("out"), P("err")), 1);
  EXPECT_EQ(slurp(P("err")), "orvanta: the plug-in folder " + P("nowhere") + " does not exist\n");

  fs::create_directories(P("alone"));
  fs::copy_file(ORVANTA_CLI, P("alone/orvanta"));
  EXPECT_EQ(RunCommand({P("alone/orvanta"), "serve", "x.json"}, P("out"), P("err")), 1);
  EXPECT_EQ(slurp(P("err")),
            "orvanta: cannot start " + P("alone/orvanta-serve") + ": No such file or directory\n");
  EXPECT_EQ(slurp(P("out")), "");
}

}  // namespace
}  // namespace orvanta::servetest
