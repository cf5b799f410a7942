// zlib-format streams (header, deflate data, Adler-32), as the library's
// compress2/uncompress produce and expect them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace satemu {

std::string zlib_compress(std::string_view data, int level = 6);

enum class InflateError { None, Corrupt, TooLarge };

struct Inflated {
  std::string data;
  InflateError error = InflateError::None;
};

// Inflates one zlib stream, refusing to produce more than `limit` bytes
// (the data produced up to the limit is kept).
Inflated zlib_inflate(std::string_view stream, std::size_t limit);

}  // namespace satemu
