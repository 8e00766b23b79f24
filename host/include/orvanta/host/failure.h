// The one kind of error of the libraries above the host (graphs, image files) and of their
// front-ends: a single sentence for the user naming what was wrong.
#pragma once

#include <stdexcept>
#include <string>

namespace orvanta {

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text in double quotes, for messages.
inline std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace orvanta
