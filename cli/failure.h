// The command's one kind of error: a single sentence for stderr naming what was wrong.
#pragma once

#include <stdexcept>
#include <string>

namespace orvanta::cli {

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text in double quotes, for messages.
inline std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace orvanta::cli
