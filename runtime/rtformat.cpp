#include "rtformat.h"

#include <charconv>

#include "rtexcept.h"

namespace {

[[noreturn]] void Invalid(std::string_view format) {
  throw EConvertError("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

std::string Digits(std::uint64_t v, unsigned base) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v, static_cast<int>(base));
  std::string s(buf, r.ptr);
  if (base == 16)
    for (char &c : s)
      if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

std::string Format(std::string_view format, const FmtArgs &args) {
  std::string out;
  out.reserve(format.size() + 16);
  std::size_t next = 0;  // next argument
  std::size_t i = 0;
  const std::size_t n = format.size();

  auto readNumber = [&](std::size_t &pos, std::size_t &value) -> bool {
    std::size_t start = pos;
    value = 0;
    while (pos < n && format[pos] >= '0' && format[pos] <= '9') {
      value = value * 10 + static_cast<std::size_t>(format[pos] - '0');
      if (value > 1000000) Invalid(format);  // nobody pads to a megabyte
      ++pos;
    }
    return pos > start;
  };
  auto takeInteger = [&]() -> std::int64_t {
    if (next >= args.size() || !args[next].IsInteger()) Invalid(format);
    return args[next++].Integer();
  };

  while (i < n) {
    char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    ++i;
    if (i >= n) Invalid(format);
    if (format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // [index ":"]
    std::size_t pos = i, num = 0;
    if (readNumber(pos, num) && pos < n && format[pos] == ':') {
      next = num;
      i = pos + 1;
    }
    bool left = false;
    if (i < n && format[i] == '-') {
      left = true;
      ++i;
    }
    std::size_t width = 0;
    if (i < n && format[i] == '*') {
      std::int64_t w = takeInteger();
      width = w > 0 && w < 1000000 ? static_cast<std::size_t>(w) : 0;
      ++i;
    } else {
      readNumber(i, width);
    }
    bool hasPrec = false;
    std::size_t prec = 0;
    if (i < n && format[i] == '.') {
      ++i;
      hasPrec = true;
      if (i < n && format[i] == '*') {
        std::int64_t p = takeInteger();
        prec = p > 0 && p < 1000000 ? static_cast<std::size_t>(p) : 0;
        ++i;
      } else {
        readNumber(i, prec);
      }
    }
    if (i >= n) Invalid(format);
    char type = format[i++];
    std::string piece;
    switch (type) {
      case 'd':
      case 'D':
      case 'u':
      case 'U':
      case 'x':
      case 'X': {
        std::int64_t v = takeInteger();
        bool negative = false;
        std::uint64_t mag;
        if (type == 'd' || type == 'D') {
          negative = v < 0;
          mag = negative ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(v)
                         : static_cast<std::uint64_t>(v);
        } else if (v < 0) {
          // A negative value shown unsigned is its 32-bit two's complement.
          mag = static_cast<std::uint32_t>(v);
        } else {
          mag = static_cast<std::uint64_t>(v);
        }
        std::string digits = Digits(mag, (type == 'x' || type == 'X') ? 16 : 10);
        if (hasPrec && digits.size() < prec) digits.insert(0, prec - digits.size(), '0');
        piece = negative ? "-" + digits : digits;
        break;
      }
      case 's':
      case 'S': {
        if (next >= args.size() || args[next].IsInteger()) Invalid(format);
        const std::string &s = args[next++].Text();
        piece = hasPrec && prec < s.size() ? s.substr(0, prec) : s;
        break;
      }
      default:
        Invalid(format);
    }
    if (piece.size() < width) {
      if (left)
        piece.append(width - piece.size(), ' ');
      else
        piece.insert(0, width - piece.size(), ' ');
    }
    out += piece;
  }
  return out;
}
