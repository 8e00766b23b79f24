#include "orvanta/graph/json.h"

#include "orvanta/host/failure.h"

namespace orvanta::graph {
namespace {

// Thrown from the parser's callback to stop reading at the first list or object too deep.
struct TooDeep {};

// The library's message without its "[json.exception.parse_error.101] " prefix, at most a line
// long (a syntax error quotes the token it stopped in, which may be a whole megabyte of string)
// and valid UTF-8 (the token's bytes are quoted as they came; the message may be sent as JSON).
std::string Detail(const Json::exception& e) {
  constexpr size_t kLongest = 200;
  std::string what = e.what();
  if (size_t b = what.find("] "); what.rfind("[json.exception", 0) == 0 && b != std::string::npos)
    what.erase(0, b + 2);
  if (what.size() > kLongest) {
    size_t cut = kLongest;
    while (cut > 0 && (static_cast<unsigned char>(what[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    what = what.substr(0, cut) + "...";
  }
  // Bytes that are not UTF-8 become U+FFFD, as the library writes them when told to replace them.
  return Json::parse(Json(what).dump(-1, ' ', false, Json::error_handler_t::replace)).get<std::string>();
}

}  // namespace

Json ParseJson(std::string_view text, const std::string& what) {
  // The callback sees each list and object as it opens, with the number of those around it.
  const Json::parser_callback_t bounded = [](int depth, Json::parse_event_t event, Json&) {
    const bool opens =
        event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
    if (opens && depth >= kMaxJsonDepth) throw TooDeep{};
    return true;
  };
  try {
    return Json::parse(text, bounded);
  } catch (const TooDeep&) {
    throw Failure(what + " nests lists and objects more than " + std::to_string(kMaxJsonDepth) + " deep");
  } catch (const Json::exception& e) {  // parse_error, and out_of_range for a number such as 1e400
    throw Failure(what + " is not valid JSON: " + Detail(e));
  }
}

}  // namespace orvanta::graph
