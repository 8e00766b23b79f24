#include "serve_support.h"

#include <OpenImageIO/imageio.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "orvanta/io/image_io.h"

extern char** environ;

namespace orvanta::servetest {

void ServeTest::SetUp() {
  for (const char* lib :
       {"OrvantaRemap", "OrvantaBillboard", "OrvantaScope", "OrvantaLineDrop", "OrvantaToneGate"})
    testing::LoadTool(lib);
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = fs::temp_directory_path() /
         ("orvanta-serve-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  io::WriteImage(*testing::Numbered(64, 40, Depth8), P("bars.png"));
  io::WriteImage(*testing::Numbered(48, 32, Depth16), P("deep.png"));
  host::ImagePtr f = testing::Flat(16, 8, DepthFloat, Pixel{0, 0, 0, 65535});
  for (int32_t x = 0; x < 16; ++x) f->SetPixel(x, 0, FltPixel{0.5f, 0.18f, 1.5f, 1.0f});  // B, G, R, A
  io::WriteImage(*f, P("linear.exr"));
}

void ServeTest::TearDown() { fs::remove_all(dir_); }

std::string ServeTest::WriteComp(const std::string& name, const std::string& text) const {
  std::ofstream(P(name)) << text;
  return P(name);
}

std::unique_ptr<serve::Session> ServeTest::ToolSession(const std::string& tool, const std::string& footage) {
  serve::StartOptions o;
  o.tool = tool;
  o.inputs = {P(footage)};
  o.save = P("saved.json");
  return std::make_unique<serve::Session>(o);
}

void HttpTest::SetUp() {
  ServeTest::SetUp();
  session_ = ToolSession("OrvantaRemap");
  server_ = std::make_unique<serve::Server>(*session_);
  port_ = server_->Bind("127.0.0.1", 0);
  thread_ = std::thread([this] { server_->Run(); });
}

void HttpTest::TearDown() {
  server_->Stop();
  thread_.join();
  ServeTest::TearDown();
}

httplib::Client HttpTest::Client() const {
  httplib::Client c("127.0.0.1", port_);
  c.set_connection_timeout(5);
  c.set_read_timeout(10);
  c.set_bearer_token_auth(server_->Token().c_str());
  return c;
}

int HttpTest::Connect() const {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error("cannot connect to the test server");
  return fd;
}

void HttpTest::Raw(const std::string& bytes, bool read) const {
  const int fd = Connect();
  (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (read) {
    timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[256];
    (void)::recv(fd, buf, sizeof buf, 0);
  }
  ::close(fd);
}

const serve::Json& ControlIn(const serve::Json& state, const std::string& node, const std::string& id) {
  const serve::Json* n = nullptr;
  if (node == "@scope")
    n = &state.at("scope");
  else
    for (const serve::Json& j : state.at("nodes"))
      if (j.at("node") == node) n = &j;
  if (!n) throw std::runtime_error("no node " + node + " in the state");
  for (const serve::Json& page : n->at("pages"))
    for (const serve::Json& c : page.at("inputs"))
      if (c.at("id") == id) return c;
  throw std::runtime_error("no control " + id + " in " + node);
}

Decoded DecodePng(const std::vector<uint8_t>& png) {
  // Through a file: the bytes are read exactly as a viewer would read a saved preview.
  const fs::path file =
      fs::temp_directory_path() / ("orvanta-serve-decode-" + std::to_string(::getpid()) + ".png");
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(file.string(), &config);
  fs::remove(file);
  if (!in) throw std::runtime_error("not a PNG: " + OIIO::geterror());
  const OIIO::ImageSpec& s = in->spec();
  Decoded d{s.width, s.height, s.nchannels, int(s.format.size() * 8), {}};
  d.bytes.resize(s.image_bytes());
  if (!in->read_image(0, 0, 0, s.nchannels, s.format, d.bytes.data()))
    throw std::runtime_error(in->geterror());
  return d;
}

int RunCommand(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace orvanta::servetest
