// The page's files (page/), embedded into the program at build time.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvanta::serve {

struct Asset {
  std::string_view path;  // "/index.html", "/app.js", ...
  std::string_view type;  // its content type
  std::string_view bytes;
};

// nullptr when no page file has that path ("/" is the index page).
const Asset* FindAsset(std::string_view path);

}  // namespace orvanta::serve
