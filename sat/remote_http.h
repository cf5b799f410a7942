// The one HTTP request of a remote call, made by the platform's client:
// remote_http_win32.cpp (WinHTTP, a system DLL) and remote_http_posix.cpp
// (Boost.Beast on Asio, header-only, as the hub uses). One connection per
// call, no proxy, no redirects followed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "remote_config.h"

namespace torvex::sat {

// A hub reply larger than this is not read (the largest good one is three
// percent-encoded 2 MiB texts).
inline constexpr std::size_t kHubReplyMax = 20u * 1024u * 1024u;

struct HttpPostRequest {
  const HubAddress *hub;
  const char *target;  // "/hub/remote/v1/call"
  const char *token;   // "" for none
  const char *caFile;  // https://: PEM file of the CAs to trust; "" for the system's
  int till;
  const std::string *body;  // application/x-www-form-urlencoded
  int connectTimeoutMs;     // to open the connection (never past the deadline)
  std::int64_t limitMs;     // the whole request, from connecting to the last byte
};

enum class HttpOutcome {
  kReplied,        // a whole reply came: status and body are set
  kCannotConnect,  // no connection (refused, no route, name unknown, connect time-out)
  kTimedOut,       // connected, but the reply was not complete within limitMs
  kLost,           // the connection broke before the whole reply came
  kTooLarge,       // the reply was larger than kHubReplyMax or not HTTP
};

struct HttpPostReply {
  int status = 0;
  std::string body;
  char detail[64] = {};  // the client's own error, for the trace log
};

HttpOutcome HttpPost(const HttpPostRequest &request, HttpPostReply &reply);

// True when the platform's client speaks https://, and when it can trust
// the CAs of a file of its own (ca_file) rather than the system's store.
bool HttpsAvailable();
bool HttpsCaFileAvailable();

}  // namespace torvex::sat
