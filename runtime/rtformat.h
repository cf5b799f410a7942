// printf-like formatting of an argument list.
//
// The arguments are a list of FmtArg values, each an integer or a text, so the
// format can be checked against them at run time: a conversion that meets the
// wrong kind of argument, or runs out of arguments, raises EConvertError
// instead of reading memory that is not there.
//
// Conversions: %s (text), %d (signed integer), %u (unsigned integer),
// %x / %X (hexadecimal, upper case), %% (a percent sign). Each may carry
//   [index ":"] ["-"] [width] ["." precision]
// where the index picks the argument (later conversions continue after it),
// "-" pads on the right, width pads with blanks to at least that many
// characters, and a precision gives integers at least that many digits with
// leading zeros and cuts texts to at most that many characters. A width or
// precision of "*" takes the next integer argument. "%0.3d" of 7 is "007".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "rtexport.h"

class RT_API FmtArg {
 public:
  template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && !std::is_same_v<I, char>)
      FmtArg(I v)
      : value_(static_cast<std::int64_t>(v)) {}
  FmtArg(std::string s) : value_(std::move(s)) {}
  FmtArg(std::string_view s) : value_(std::string(s)) {}
  FmtArg(const char *s) : value_(std::string(s ? s : "")) {}

  bool IsInteger() const { return std::holds_alternative<std::int64_t>(value_); }
  std::int64_t Integer() const { return std::get<std::int64_t>(value_); }
  const std::string &Text() const { return std::get<std::string>(value_); }

 private:
  std::variant<std::int64_t, std::string> value_;
};

using FmtArgs = std::vector<FmtArg>;

// Applies the format to the arguments. Raises EConvertError with the text
// "Format '<format>' invalid or incompatible with argument" when they do not
// fit. Arguments left over are ignored.
RT_API std::string Format(std::string_view format, const FmtArgs &args);
