#include "config.h"

#include <cstdio>
#include <fstream>
#include <string_view>

#include "request.h"

namespace hub {
namespace {

bool Fail(const std::string &message) {
  std::fprintf(stderr, "torvex-hub: %s (see --help)\n", message.c_str());
  return false;
}

bool ParseSize(const std::string &v, long long min, long long max, long long &out) {
  if (v.empty() || v.size() > 12 || v.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::stoll(v);
  return out >= min && out <= max;
}

// One setting by name (command-line option without its dashes).
bool Apply(const std::string &name, const std::string &value, Config &c) {
  long long n = 0;
  if (name == "listen") {
    auto colon = value.rfind(':');
    if (colon == std::string::npos || !ParseSize(value.substr(colon + 1), 0, 65535, n))
      return Fail("--listen wants HOST:PORT, not " + value);
    c.listenHost = value.substr(0, colon);
    if (c.listenHost.size() > 2 && c.listenHost.front() == '[' && c.listenHost.back() == ']')
      c.listenHost = c.listenHost.substr(1, c.listenHost.size() - 2);
    c.listenPort = static_cast<unsigned short>(n);
  } else if (name == "activation-code") {
    c.activationCode = value;
  } else if (name == "state") {
    c.stateFile = value;
  } else if (name == "allow") {
    c.allow.push_back(value);
  } else if (name == "token") {
    auto eq = value.find('=');
    if (eq == std::string::npos || !ParseSize(value.substr(0, eq), 0, 999, n) ||
        eq + 1 == value.size())
      return Fail("--token wants TILL=TOKEN");
    c.tokens[static_cast<int>(n)] = value.substr(eq + 1);
  } else if (name == "queue-allowance-ms") {
    if (!ParseSize(value, 0, 3600000, n)) return Fail("bad --queue-allowance-ms");
    c.queueAllowanceMs = static_cast<int>(n);
  } else if (name == "body-limit") {
    if (!ParseSize(value, 1024, 64ll << 20, n)) return Fail("bad --body-limit (1 KiB..64 MiB)");
    c.bodyLimit = static_cast<std::size_t>(n);
  } else if (name == "read-timeout-ms") {
    if (!ParseSize(value, 10, 3600000, n)) return Fail("bad --read-timeout-ms");
    c.readTimeoutMs = static_cast<int>(n);
  } else if (name == "write-timeout-ms") {
    if (!ParseSize(value, 10, 3600000, n)) return Fail("bad --write-timeout-ms");
    c.writeTimeoutMs = static_cast<int>(n);
  } else if (name == "max-connections") {
    if (!ParseSize(value, 1, 100000, n)) return Fail("bad --max-connections");
    c.maxConnections = static_cast<std::size_t>(n);
  } else if (name == "access-log") {
    c.accessLog = value;
  } else if (name == "trace-log") {
    c.traceLog = value;
  } else if (name == "tls-cert") {
    c.tlsCert = value;
  } else if (name == "tls-key") {
    c.tlsKey = value;
  } else if (name == "console-admin") {
    if (value.size() < 8 || value.size() > 128)
      return Fail("--console-admin wants 8 to 128 characters");
    c.consoleAdmin = value;
  } else if (name == "console-operator") {
    if (value.size() < 8 || value.size() > 128)
      return Fail("--console-operator wants 8 to 128 characters");
    c.consoleOperator = value;
  } else if (name == "console-till") {
    if (!ParseSize(value, 0, 999, n)) return Fail("bad --console-till (0..999)");
    c.consoleTill = static_cast<int>(n);
  } else if (name == "console-refresh-s") {
    if (!ParseSize(value, 0, 86400, n)) return Fail("bad --console-refresh-s");
    c.consoleRefreshS = static_cast<int>(n);
  } else {
    return Fail("unknown setting " + name);
  }
  return true;
}

std::string Trim(const std::string &s) {
  auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool ReadFile(const std::string &path, Config &c) {
  std::ifstream in(path);
  if (!in) return Fail("cannot read the configuration file " + path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    auto eq = line.find('=');
    if (eq == std::string::npos)
      return Fail(path + ":" + std::to_string(number) + ": expected name = value");
    if (!Apply(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), c)) return false;
  }
  return true;
}

}  // namespace

void PrintHelp() {
  std::puts(
      "torvex-hub: one SAT device shared by the store's tills over HTTP\n"
      "\n"
      "  torvex-hub --listen HOST:PORT --activation-code CODE [--config FILE] [options]\n"
      "\n"
      "  --listen HOST:PORT        address to listen on (default 127.0.0.1:8123); an\n"
      "                            address other than loopback needs --allow\n"
      "  --activation-code CODE    the device's activation code (never sent by tills)\n"
      "  --config FILE             settings file: one 'name = value' per line, names as\n"
      "                            the options without dashes; the command line wins\n"
      "  --state FILE              session numbers and last sales (default torvex-hub.state)\n"
      "  --allow NETWORK           a client network besides loopback (repeatable),\n"
      "                            e.g. 192.168.0.0/24\n"
      "  --token TILL=TOKEN        that till must send 'Authorization: Bearer TOKEN'\n"
      "  --queue-allowance-ms N    longest wait for the device before 503 (default 30000)\n"
      "  --body-limit BYTES        largest request body (default 8388608)\n"
      "  --read-timeout-ms N       a request must arrive whole within N ms (default 30000)\n"
      "  --write-timeout-ms N      a reply must be taken within N ms (default 30000)\n"
      "  --max-connections N       open connections at most (default 256)\n"
      "  --access-log FILE         one JSON line per request; '-' standard output (default)\n"
      "  --trace-log FILE          the library's trace log (ArquivoLog)\n"
      "  --tls-cert FILE           serve HTTPS with this PEM certificate (chain) and\n"
      "  --tls-key FILE            its PEM private key (Linux builds; default plain HTTP)\n"
      "  --install-service         Windows: register torvex-hub as a service that runs\n"
      "                            with the other options given (absolute paths)\n"
      "  --service                 Windows: run under the service control manager\n"
      "  --console-admin SECRET    turns the web console on (/hub/console/): the\n"
      "                            administrator's password, 8 to 128 characters;\n"
      "                            best kept in the --config file\n"
      "  --console-operator SECRET password for read-only console access (optional)\n"
      "  --console-till N          till number of the console's own device calls\n"
      "                            (default 999; its session range is shared)\n"
      "  --console-refresh-s N     the console asks the device's status every N s\n"
      "                            (default 60; 0: only when asked)\n"
      "\n"
      "The device is found as the library finds it (Linux: COMn is /dev/ttyACM<n-1>,\n"
      "or TORVEX_PORT_DIR/COMn). API: POST /hub/v1/<function>, GET /hub/v1/health,\n"
      "GET /metrics, POST /hub/remote/v1/call, the console GET /hub/console/.\n"
      "See docs/hub.md.");
}

int ParseConfig(int argc, char **argv, Config &c) {
  // The file first, so that the command line wins.
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      PrintHelp();
      return 1;
    }
    if (a == "--config") {
      if (i + 1 >= argc) return Fail("--config wants a file"), 2;
      if (!ReadFile(argv[i + 1], c)) return 2;
    }
  }
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0) return Fail("unexpected argument " + a), 2;
    if (i + 1 >= argc) return Fail(a + " wants a value"), 2;
    std::string value = argv[++i];
    if (a == "--config") continue;
    if (!Apply(a.substr(2), value, c)) return 2;
  }
  return 0;
}

}  // namespace hub
