// Text and file-name helpers of the class library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "rtexport.h"

// Blanks and control characters (codes 0 to 32) removed from both ends.
RT_API std::string Trim(std::string_view s);
RT_API std::string UpperCase(std::string_view s);              // ASCII letters only
RT_API bool SameText(std::string_view a, std::string_view b);  // ASCII, ignoring case

// Decimal text (optional sign) or "$" followed by hexadecimal digits, with
// blanks allowed around it, into a 32-bit signed value. Anything else, or a
// value out of range, raises EConvertError "'<text>' is not a valid integer
// value".
RT_API std::int32_t StrToInt(std::string_view s);
// As StrToInt, for values up to 64 bits.
RT_API std::int64_t StrToInt64(std::string_view s);

// Everything up to and including the last "\" or ":" (empty when none).
RT_API std::string ExtractFilePath(std::string_view fileName);
// The name with its extension (the text from the last "." after the last
// "\" or ":") replaced by ext; ext is appended when there is no extension.
RT_API std::string ChangeFileExt(std::string_view fileName, std::string_view ext);
