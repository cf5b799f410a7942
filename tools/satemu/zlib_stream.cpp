#include "zlib_stream.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace satemu {

std::string zlib_compress(std::string_view data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  const int rc = compress2(reinterpret_cast<Bytef *>(out.data()), &size,
                           reinterpret_cast<const Bytef *>(data.data()),
                           static_cast<uLong>(data.size()), level);
  if (rc != Z_OK) throw std::runtime_error("zlib compress2 failed");
  out.resize(size);
  return out;
}

Inflated zlib_inflate(std::string_view stream, std::size_t limit) {
  Inflated result;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    result.error = InflateError::Corrupt;
    return result;
  }
  zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.data()));
  zs.avail_in = static_cast<uInt>(stream.size());
  char chunk[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef *>(chunk);
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t produced = sizeof chunk - zs.avail_out;
    const std::size_t room = limit - std::min(limit, result.data.size());
    result.data.append(chunk, std::min(produced, room));
    if (produced > room) {
      result.error = InflateError::TooLarge;
      break;
    }
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;  // truncated input
  }
  if (result.error == InflateError::None && rc != Z_STREAM_END)
    result.error = InflateError::Corrupt;
  inflateEnd(&zs);
  return result;
}

}  // namespace satemu
