# Writes OUT, a C++ source holding each of FILES (a ',' list of page files under DIR) as bytes,
# and the table FindAsset looks them up in. Run by the build whenever a page file changes.
set(body "// Generated from serve/page by embed.cmake; do not edit.\n#include \"assets.h\"\n\nnamespace orvanta::serve {\nnamespace {\n")
set(table "")
set(i 0)
string(REPLACE "," ";" files "${FILES}")
foreach(f IN LISTS files)
  file(READ "${DIR}/${f}" hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR n "${n} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," hex "${hex}")
  string(APPEND body "const char kFile${i}[] = {${hex} 0};\n")
  if(f MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(f MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(f MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND table "    {\"/${f}\", \"${type}\", std::string_view(kFile${i}, ${n})},\n")
  math(EXPR i "${i} + 1")
endforeach()
string(APPEND body "const Asset kAssets[] = {\n${table}};\n}  // namespace\n\n"
       "const Asset* FindAsset(std::string_view path) {\n"
       "  if (path == \"/\") path = \"/index.html\";\n"
       "  for (const Asset& a : kAssets)\n"
       "    if (a.path == path) return &a;\n"
       "  return nullptr;\n}\n\n}  // namespace orvanta::serve\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
