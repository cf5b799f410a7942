// Helpers shared by the SAT tests.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "torvex.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testutil {

// The library's not-ready text: ISO-8859-1 bytes in torvex.dll, UTF-8 in
// libtorvex.so.
#ifdef _WIN32
inline const std::string kNotReady = "Porta serial n\xe3o est\xe1 pronta, tente novamente";
#else
inline const std::string kNotReady = "Porta serial n\xc3\xa3o est\xc3\xa1 pronta, tente novamente";
#endif

// The status record as CodigoErro hands it out.
struct Status {
  std::int32_t code;
  std::string message;
};

inline Status ReadStatus() {
  char buf[TORVEX_STATUS_SIZE];
  std::memset(buf, 0x55, sizeof buf);
  CodigoErro(buf);
  Status s;
  std::memcpy(&s.code, buf, 4);
  s.message.assign(buf + 4, strnlen(buf + 4, 100));
  return s;
}

// A reply data frame as the device sends it: type 0x01, sequence 7, three
// reply bytes and the tag (0), the length (the payload's, unless declared
// says otherwise), the payload and the checksum (plus checksumDelta).
inline std::vector<std::uint8_t> ReplyFrame(const std::string &payload, int checksumDelta = 0,
                                            std::uint32_t declared = UINT32_MAX) {
  std::uint32_t length =
      declared == UINT32_MAX ? static_cast<std::uint32_t>(payload.size()) : declared;
  std::vector<std::uint8_t> f = {0x01, 7, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  f.insert(f.end(), payload.begin(), payload.end());
  unsigned sum = 0;
  for (std::size_t i = 1; i < f.size(); ++i) sum += f[i];
  f.push_back(static_cast<std::uint8_t>(sum + checksumDelta));
  return f;
}

// What follows "<time stamp>=" in a LastTx/LastRx text ("" if malformed).
inline std::string AfterStamp(const char *text) {
  std::string s = text ? text : "";
  if (s.size() < 24 || s[2] != '/' || s[5] != '/' || s[10] != ' ' || s[19] != '.' || s[23] != '=')
    return "<malformed:" + s + ">";
  return s.substr(24);
}

inline std::string ReadFile(const std::string &path) {
  std::string out;
  if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

// Splits text at "\n" (the pieces keep no line break).
inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A trace log as text. The library writes it in the platform's text mode:
// on Windows every line break is CR LF in the file.
inline std::string ReadTextFile(const std::string &path) {
  std::string raw = ReadFile(path);
#ifdef _WIN32
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i)
    if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) out.push_back(raw[i]);
  return out;
#else
  return raw;
#endif
}

// Replaces the "dd/mm/yyyy hh:mm:ss.mmm" time stamps of a trace text with
// "<TS>", so lines can be compared whole.
inline std::string MaskStamps(std::string s) {
  for (std::size_t i = 0; i + 23 <= s.size(); ++i) {
    auto d = [&](std::size_t k) { return s[i + k] >= '0' && s[i + k] <= '9'; };
    if (d(0) && d(1) && s[i + 2] == '/' && d(3) && d(4) && s[i + 5] == '/' && d(6) && d(9) &&
        s[i + 10] == ' ' && s[i + 13] == ':' && s[i + 16] == ':' && s[i + 19] == '.' && d(20) &&
        d(21) && d(22)) {
      s.replace(i, 23, "<TS>");
    }
  }
  return s;
}

// A scratch file path in the temporary folder, private to this process (test
// cases run in parallel, each in a process of its own).
inline std::string TempPath(const std::string &name) {
#ifdef _WIN32
  const char *dir = std::getenv("TEMP");
  return std::string(dir ? dir : ".") + "\\" + std::to_string(_getpid()) + "-" + name;
#else
  const char *dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/" + std::to_string(getpid()) + "-" + name;
#endif
}

}  // namespace testutil
