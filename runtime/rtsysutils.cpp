#include "rtsysutils.h"

#include <limits>

#include "rtexcept.h"

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char &c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::int64_t StrToInt64(std::string_view text) {
  auto bad = [&]() -> EConvertError {
    return EConvertError("'" + std::string(text) + "' is not a valid integer value");
  };
  std::string t = Trim(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  unsigned base = 10;
  if (i < t.size() && t[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= t.size()) throw bad();
  std::uint64_t v = 0;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  for (; i < t.size(); ++i) {
    char c = t[i];
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      throw bad();
    if (d >= base) throw bad();
    if (v > (limit - d) / base) throw bad();
    v = v * base + d;
  }
  if (negative)
    return v == (std::uint64_t{1} << 63) ? std::numeric_limits<std::int64_t>::min()
                                         : -static_cast<std::int64_t>(v);
  return static_cast<std::int64_t>(v);
}

std::int32_t StrToInt(std::string_view text) {
  std::int64_t v = StrToInt64(text);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return static_cast<std::int32_t>(v);
}

std::string ExtractFilePath(std::string_view fileName) {
  std::size_t p = fileName.find_last_of("\\:");
  return p == std::string_view::npos ? std::string() : std::string(fileName.substr(0, p + 1));
}

std::string ChangeFileExt(std::string_view fileName, std::string_view ext) {
  std::size_t p = fileName.find_last_of(".\\:");
  if (p == std::string_view::npos || fileName[p] != '.')
    return std::string(fileName) + std::string(ext);
  return std::string(fileName.substr(0, p)) + std::string(ext);
}
