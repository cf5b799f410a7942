# Turns the console's files into a C++ source (cmake -P, at build time):
#   cmake -DOUT=console_assets.cpp -DFILES="a.html|b.css" -P embed.cmake
string(REPLACE "|" ";" FILES "${FILES}")
set(_body "")
set(_table "")
set(_n 0)
foreach(_file IN LISTS FILES)
  get_filename_component(_name ${_file} NAME)
  get_filename_component(_ext ${_file} LAST_EXT)
  if(_ext STREQUAL ".html")
    set(_type "text/html; charset=utf-8")
  elseif(_ext STREQUAL ".css")
    set(_type "text/css; charset=utf-8")
  elseif(_ext STREQUAL ".js")
    set(_type "text/javascript; charset=utf-8")
  elseif(_ext STREQUAL ".svg")
    set(_type "image/svg+xml")
  else()
    set(_type "application/octet-stream")
  endif()
  file(READ ${_file} _hex HEX)
  file(SIZE ${_file} _size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" _bytes "${_bytes}")
  string(APPEND _body "const unsigned char kAsset${_n}[] = {\n${_bytes}0};\n")
  string(APPEND _table "    {\"${_name}\", \"${_type}\", kAsset${_n}, ${_size}},\n")
  math(EXPR _n "${_n} + 1")
endforeach()
file(WRITE ${OUT}
"// Generated from hub/console/ by hub/console/embed.cmake: do not edit.
#include \"console.h\"

namespace hub {
namespace {
${_body}
const ConsoleAsset kAssets[] = {
${_table}};
}  // namespace

const ConsoleAsset *FindConsoleAsset(const std::string &path) {
  for (const auto &a : kAssets)
    if (path == a.path) return &a;
  return nullptr;
}

}  // namespace hub
")
