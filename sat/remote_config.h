// Remote mode's settings: where the hub is, which till this is, its token
// and the time-outs. They come from torvex.ini beside the library and from
// the environment (TORVEX_HUB, TORVEX_TILL, TORVEX_HUB_TOKEN), the
// environment winning. Without a hub address the library drives the port
// itself. The file is untrusted input: it is read into a fixed buffer and
// every value is checked; a setting that is given but wrong does not fall
// back to the port, it makes every command fail with status 1 and a text
// that names the setting (see docs/remote.md).
#pragma once
#include <cstddef>

#include "satlimits.h"

namespace torvex::sat {

inline constexpr std::size_t kHubUrlSize = 256;
inline constexpr std::size_t kHubHostSize = 256;
inline constexpr std::size_t kHubTokenSize = 256;
inline constexpr std::size_t kHubCaFileSize = 512;
// torvex.ini larger than this is refused whole.
inline constexpr std::size_t kIniMaxSize = 16 * 1024;
inline constexpr std::size_t kIniMaxLine = 512;
inline constexpr int kTillMax = 999;

// The hub's address, taken apart.
struct HubAddress {
  char url[kHubUrlSize] = {};    // as given, without a trailing "/": named in messages
  char host[kHubHostSize] = {};  // a name, an IPv4 address, or an IPv6 address without []
  unsigned port = 0;
  bool tls = false;  // https://
};

struct RemoteSettings {
  bool enabled = false;  // a hub address was given: every command goes to it
  HubAddress hub;
  int till = -1;  // 0-999
  char token[kHubTokenSize] = {};
  char caFile[kHubCaFileSize] = {};  // https://: the CAs to trust ("" the system's)
  int connectTimeoutMs = 3000;       // to reach the hub (within the call's own limit)
  int queueAllowanceSeconds = 30;    // waited beyond the function's limit for the hub's queue
  // Set when the configuration is unusable: the status 1 text of every command.
  char problem[kStatusMessageSize] = {};
};

// Takes a hub URL apart: "http://host[:port][/]" or "https://...", the host
// a name, an IPv4 address or "[IPv6]". False (with a reason in why) for
// anything else.
bool ParseHubUrl(const char *url, HubAddress &out, char *why, std::size_t whyCap);

// Reads torvex.ini text (count bytes; NUL bytes end nothing, they are
// refused) into settings: the keys of its [hub] section (address, till,
// token, ca_file, connect_timeout_ms, queue_allowance). Sets settings.problem on a
// bad file or value.
void ParseRemoteIni(const char *text, std::size_t count, RemoteSettings &settings);

// The environment's settings over those already in settings. getenv is the
// lookup (std::getenv in the library, a table in tests). An empty
// TORVEX_HUB switches remote mode off, whatever the file says.
void ApplyRemoteEnvironment(RemoteSettings &settings, const char *(*getenv)(const char *));

// Settles the mode once all sources are in: a hub address needs a till.
void FinishRemoteSettings(RemoteSettings &settings);

// Reads iniPath (when it is not null and the file exists) and the process
// environment into settings, from the defaults.
void LoadRemoteSettingsFrom(const char *iniPath, RemoteSettings &settings);

// The same with torvex.ini beside the library.
void LoadRemoteSettings(RemoteSettings &settings);

}  // namespace torvex::sat
