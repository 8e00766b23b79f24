// The browser host against hostile callers: requests that name the server by a foreign Host or
// lack the token, compressed bodies, clients that trickle their requests, a second server on the
// port, files outside the composition's folders, and the file pictures kept within their bound.
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <fstream>

#include "access.h"
#include "orvanta/host/failure.h"
#include "orvanta/io/files.h"
#include "orvanta/io/image_io.h"
#include "serve_support.h"

namespace orvanta::servetest {
namespace {

using serve::Json;
using Clock = std::chrono::steady_clock;

TEST(AccessTest, HostNamesAndTokens) {
  EXPECT_EQ(serve::HostName("[::1]:8080"), "::1");
  EXPECT_EQ(serve::HostName("LocalHost:80"), "localhost");
  EXPECT_EQ(serve::HostName("127.0.0.1"), "127.0.0.1");
  for (const char* own : {"localhost:1", "127.0.0.1:9", "127.1.2.3", "[::1]:5", "LOCALHOST"})
    EXPECT_TRUE(serve::HostAllowed(own, "127.0.0.1", "127.0.0.1")) << own;
  // A rebinding page's own name, names that merely start like a loopback one, nothing at all.
  for (const char* foreign :
       {"evil.example:8080", "localhost.evil.example", "127.0.0.1.evil.example", "", "[::2]:80", "128.0.0.1"})
    EXPECT_FALSE(serve::HostAllowed(foreign, "127.0.0.1", "127.0.0.1")) << foreign;
  EXPECT_TRUE(serve::HostAllowed("studio-box:8080", "studio-box", ""));     // the --host given
  EXPECT_TRUE(serve::HostAllowed("10.1.2.3:8080", "0.0.0.0", "10.1.2.3"));  // where it arrived
  EXPECT_FALSE(serve::HostAllowed("studio-box:8080", "0.0.0.0", "10.1.2.3"));

  const std::string a = serve::NewToken(), b = serve::NewToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
  EXPECT_TRUE(serve::SameToken(a, a));
  EXPECT_FALSE(serve::SameToken(b, a));
  EXPECT_FALSE(serve::SameToken(a.substr(0, 31), a));
  EXPECT_FALSE(serve::SameToken(a + "0", a));
  EXPECT_FALSE(serve::SameToken("", ""));

  EXPECT_EQ(serve::CookieValue("x=1; orvanta-token-80=abc ; y=2", "orvanta-token-80"), "abc");
  EXPECT_EQ(serve::CookieValue("orvanta-token-8080=abc", "orvanta-token-80"), "");
}

// Every route, the page's files included, wants the server's own Host and the token; the printed
// address hands the page the token as a cookie that then serves on its own.
TEST_F(HttpTest, RoutesAnswerOnlyTheirOwnHostWithTheToken) {
  httplib::Client bare("127.0.0.1", port_);
  for (const char* path : {"/", "/app.js", "/api/state", "/api/render?node=remap"}) {
    auto r = bare.Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << path;
    EXPECT_NE(r->body.find("open the address the server printed"), std::string::npos);
  }
  EXPECT_EQ(
      bare.Post("/api/set", R"({"node":"remap","control":"SORL","value":0.5})", "application/json")->status,
      403);
  EXPECT_EQ(bare.Get("/api/state?token=0123456789abcdef0123456789abcdef")->status, 403);

  const std::string token = server_->Token();
  auto c = Client();
  const std::string port = std::to_string(port_);
  EXPECT_EQ(c.Get("/api/state", {{"Host", "evil.example:" + port}})->status, 403);
  EXPECT_EQ(c.Get("/", {{"Host", "localhost.evil.example"}})->status, 403);
  for (const std::string& host : std::vector<std::string>{"localhost:" + port, "[::1]:" + port, "127.9.9.9"})
    EXPECT_EQ(c.Get("/api/state", {{"Host", host}})->status, 200) << host;

  auto page = bare.Get(("/?token=" + token).c_str());
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  const std::string cookie = page->get_header_value("Set-Cookie");
  EXPECT_EQ(cookie, "orvanta-token-" + port + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
  const std::string pair = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(bare.Get("/api/state", {{"Cookie", pair}})->status, 200);
  EXPECT_EQ(bare.Post("/api/view", {{"Cookie", pair}}, R"({"frame":2})", "application/json")->status, 200);
  std::string wrong = pair;
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  EXPECT_EQ(bare.Get("/api/state", {{"Cookie", wrong}})->status, 403);
  // Another port's cookie is another server's.
  EXPECT_EQ(bare.Get("/api/state", {{"Cookie", "orvanta-token-1=" + token}})->status, 403);
}

std::string Gzip(const std::string& bytes) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);  // 31: a gzip wrapper
  std::string out(deflateBound(&z, uLong(bytes.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = uInt(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A small body that inflates far past the 1 MiB limit is refused before it is inflated.
TEST_F(HttpTest, CompressedBodiesAreRefused) {
  const std::string body =
      R"({"node":"remap","control":"SORL","value":0.5,"pad":")" + std::string(16 << 20, 'a') + "\"}";
  const std::string bomb = Gzip(body);
  ASSERT_LT(bomb.size(), 1u << 20);
  auto c = Client();
  auto r = c.Post("/api/set", {{"Content-Encoding", "gzip"}}, bomb, "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 415);
  EXPECT_NE(r->body.find("uncompressed"), std::string::npos);
  EXPECT_EQ(Json::parse(c.Get("/api/state")->body).at("revision"), 1);  // nothing changed
}

// Eight clients sending their headers a byte at a time neither hold the server nor keep their
// connections past the request's time limit.
TEST_F(HttpTest, TricklingClientsDoNotHoldTheServer) {
  const std::chrono::milliseconds limit(1500);
  server_->SetRequestTimeLimit(limit);
  std::atomic<bool> stop{false};
  std::vector<Clock::duration> cut(8, Clock::duration::max());  // when each was cut off
  std::vector<std::thread> slow;
  for (int i = 0; i < 8; ++i)
    slow.emplace_back([&, i] {
      const int fd = Connect();
      const Clock::time_point start = Clock::now();
      const std::string head = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
      (void)::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
      while (!stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (::send(fd, "a", 1, MSG_NOSIGNAL) < 0) {  // the server closed the connection
          cut[size_t(i)] = Clock::now() - start;
          break;
        }
      }
      ::close(fd);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto c = Client();
  c.set_read_timeout(3);
  const Clock::time_point asked = Clock::now();
  auto r = c.Get("/api/state");
  const double waited = std::chrono::duration<double>(Clock::now() - asked).count();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_LT(waited, 2.0);
  std::this_thread::sleep_for(3 * limit);
  stop = true;
  for (std::thread& t : slow) t.join();
  // Cut at the limit, not after a second request made of the bytes that trickled on.
  for (const Clock::duration& d : cut) EXPECT_LT(d, 2 * limit);
}

// A second server on a port in use fails with the reason, in process and as the command.
TEST_F(HttpTest, ASecondServerOnThePortFails) {
  auto other = ToolSession("OrvantaRemap");
  serve::Server second(*other);
  try {
    second.Bind("127.0.0.1", port_);
    FAIL() << "a second server bound the port";
  } catch (const Failure& e) {
    EXPECT_NE(std::string(e.what()).find("the address is in use"), std::string::npos) << e.what();
  }
  EXPECT_EQ(
      RunCommand({ORVANTA_CLI, "serve", "OrvantaRemap", "-i", P("bars.png"), "--port", std::to_string(port_)},
                 P("out"), P("err")),
      1);
  std::ifstream f(P("err"));
  const std::string err((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(err,
            "orvanta: cannot listen on 127.0.0.1:" + std::to_string(port_) + ": the address is in use\n");
}

// Outside the folders a composition uses, a file that exists and one that does not are refused
// with the same sentence; inside them a file connects.
TEST_F(ServeTest, FilesOutsideTheCompositionsFoldersAreRefusedAlike) {
  const fs::path outside = fs::temp_directory_path() / ("orvanta-outside-" + std::to_string(::getpid()));
  fs::create_directories(outside);
  std::ofstream(outside / "notes.txt") << "not a picture";
  fs::create_directory_symlink(outside, P("door"));
  auto s = ToolSession("OrvantaRemap");
  auto refusal = [&](const std::string& path) {
    try {
      s->Connect(Json{{"node", "remap"}, {"input", "Input"}, {"file", path}});
    } catch (const Failure& e) {
      std::string why = e.what();
      return why.replace(why.find(path), path.size(), "PATH");
    }
    return std::string("connected");
  };
  const std::string there = refusal((outside / "notes.txt").string());
  EXPECT_NE(there, "connected");
  EXPECT_EQ(refusal((outside / "missing.png").string()), there);
  EXPECT_EQ(refusal(P("../" + outside.filename().string() + "/notes.txt")), there);
  EXPECT_EQ(refusal(P("door/notes.txt")), there);  // a link out of the folder
  EXPECT_EQ(refusal(P("deep.png")), "connected");
  fs::remove_all(outside);
}

// Connecting file after file keeps the pictures within the bound; files no longer connected are
// forgotten before connected ones, whatever their age.
TEST_F(ServeTest, FilePicturesStayWithinTheirBound) {
  const size_t picture = 64 * 40 * 4;  // bars.png as an 8-bit picture
  serve::StartOptions o;
  o.tool = "OrvantaRemap";
  o.inputs = {P("bars.png")};
  o.save = P("saved.json");
  o.fileCacheBytes = 3 * picture;
  serve::Session s(o);
  for (int i = 0; i < 12; ++i) {
    const std::string name = "copy" + std::to_string(i) + ".png";
    fs::copy_file(P("bars.png"), P(name));
    s.Connect(Json{{"node", "remap"}, {"input", "Input"}, {"file", P(name)}});
    (void)s.Render("remap", 1, 1.0);
    EXPECT_LE(s.FileCacheBytes(), 4 * picture) << i;  // the bound, and the picture just read
  }

  io::FileCache files;
  for (const char* f : {"bars.png", "deep.png", "copy0.png"}) (void)files.Load(P(f), 1);
  const std::vector<std::string> forgotten = files.Trim(2 * picture, 64, {P("bars.png")});
  EXPECT_EQ(forgotten, std::vector<std::string>{P("deep.png")});
  EXPECT_EQ(files.Bytes(), 2 * picture);
}

}  // namespace
}  // namespace orvanta::servetest
