// Helpers of the browser host's tests: a scratch folder with footage written through io/, a
// session over it, and PNG bytes read back.
#pragma once

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "session.h"
#include "support.h"

namespace orvanta::servetest {
namespace fs = std::filesystem;

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  // A JSON composition in the scratch folder; returns its path.
  std::string WriteComp(const std::string& name, const std::string& text) const;
  // A one-node session of tool on the footage, as `orvanta serve TOOL -i bars.png` starts.
  std::unique_ptr<serve::Session> ToolSession(const std::string& tool,
                                              const std::string& footage = "bars.png");
  fs::path dir_;
};

// A server on 127.0.0.1 (any free port) over a one-node Remap session, run on a thread of its own.
class HttpTest : public ServeTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A client that carries the session's token as scripts do (Authorization: Bearer).
  httplib::Client Client() const;
  // A socket connected to the server; the caller closes it.
  int Connect() const;
  // Sends raw bytes on a new connection, then closes it (without reading, or after reading
  // whatever comes within a second).
  void Raw(const std::string& bytes, bool read) const;

  std::unique_ptr<serve::Session> session_;
  std::unique_ptr<serve::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// A control's description in a state, found by node ("@scope" for the viewer) and id.
const serve::Json& ControlIn(const serve::Json& state, const std::string& node, const std::string& id);

struct Decoded {
  int w = 0, h = 0, nch = 0, bits = 0;
  std::vector<uint8_t> bytes;  // interleaved, 8 or 16 bits per sample as in the file
};
Decoded DecodePng(const std::vector<uint8_t>& png);

// Runs the command with args (no shell), returning its exit status; stdout and stderr go to
// the files named.
int RunCommand(const std::vector<std::string>& args, const std::string& out, const std::string& err);

}  // namespace orvanta::servetest
