// The hub's settings: the command line and an optional file of the same
// settings ("name = value" lines, '#' comments). The command line wins.
#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace hub {

struct Config {
  std::string listenHost = "127.0.0.1";
  unsigned short listenPort = 8123;
  std::string activationCode;
  std::string stateFile = "torvex-hub.state";
  std::vector<std::string> allow;  // client networks besides loopback
  std::map<int, std::string> tokens;
  int queueAllowanceMs = 30000;      // longest wait in the queue before 503
  std::size_t bodyLimit = 8u << 20;  // bytes of a request body
  int readTimeoutMs = 30000;         // a whole request must arrive within this
  int writeTimeoutMs = 30000;        // a whole reply must leave within this
  std::size_t maxConnections = 256;
  std::string accessLog = "-";  // "-" standard output, "" none, else a file
  std::string traceLog;         // the library's trace log (ArquivoLog), if set
  std::string tlsCert, tlsKey;  // PEM files: HTTPS instead of HTTP when set
  // The web console (/hub/console/): off while consoleAdmin is empty.
  std::string consoleAdmin;     // the administrator's password or token
  std::string consoleOperator;  // read-only access, optional
  int consoleTill = 999;        // the till number the console's own calls use
  int consoleRefreshS = 60;     // the page asks the status this often (0: on demand only)
};

// Reads argv (and the file named by --config). Returns 0 to run, 1 after
// printing help, 2 after printing an error.
int ParseConfig(int argc, char **argv, Config &config);
void PrintHelp();

}  // namespace hub
