// Arbitrary request bodies into the browser host's API, in process: each line of the input is one
// request, its first character choosing the operation ('a' set, 'b' add, 'c' remove, 'd' connect,
// 'e' disconnect, 'f' view, 'g' key, 'h' rename, 'i' move, 'j' undo, 'k' redo, and on round) and
// the rest its body, read by the parse the server uses.
// Every request changes the session or is refused with an exception the server turns into a 400
// answer; the state it answers with can be written out, and every change undoes and redoes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "orvanta/graph/json.h"
#include "orvanta/host/failure.h"
#include "orvanta/host/host.h"
#include "session.h"

namespace {

using orvanta::serve::Json;
using orvanta::serve::Session;
using Operation = Json (Session::*)(const Json&);

constexpr Operation kOperations[] = {&Session::Set,     &Session::AddNode,    &Session::RemoveNode,
                                     &Session::Connect, &Session::Disconnect, &Session::View,
                                     &Session::Key,     &Session::Rename,     &Session::Move,
                                     &Session::Undo,    &Session::Redo};
constexpr size_t kMaxRequests = 16;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orvanta::host::LoadPluginDirectory(ORVANTA_PLUGIN_DIR);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvanta;
  const std::string text(reinterpret_cast<const char*>(data), size);
  serve::StartOptions start;
  start.tool = "OrvantaRemap";
  start.save = "/nonexistent/fuzz-composition.json";  // never written: Save is not among the operations
  Session session(start);
  size_t pos = 0;
  for (size_t n = 0; n < kMaxRequests && pos < text.size(); ++n) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    const Operation op = kOperations[uint8_t(line[0] - 'a') % std::size(kOperations)];
    try {
      const Json body = graph::ParseJson(line.substr(1), "the request body");
      if (!body.is_object()) continue;
      (void)(session.*op)(body).dump();  // the state it answers with must be written out
    } catch (const std::exception&) {    // refused: the server answers 400 with the sentence
    }
  }
  // Undo every change, then redo them all: neither may fail while the history says it can.
  Json state = session.State();
  while (state.at("canUndo").get<bool>()) state = session.Undo(Json::object());
  while (state.at("canRedo").get<bool>()) state = session.Redo(Json::object());
  return 0;
}
