// The real parts for the hub's end-to-end tests: satemu on a pseudo-terminal
// (a link COM7 in a folder of the test's own), the real torvex-hub process on
// loopback, and a small HTTP client.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace hubtest {

namespace fs = std::filesystem;

// A child process, killed (SIGTERM, then waited for) when destroyed.
class Child {
 public:
  Child() = default;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() { Stop(); }
  // Starts argv with extra environment; stderr goes to errPipe when asked.
  void Start(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
             const std::string &logFile, bool pipeErr = false) {
    int fds[2] = {-1, -1};
    if (pipeErr && pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(log, 1);
      dup2(pipeErr ? fds[1] : log, 2);
      if (pipeErr) close(fds[0]);
      std::vector<char *> args;
      for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    if (pipeErr) {
      close(fds[1]);
      err_ = fds[0];
    }
  }
  // Reads the child's stderr until a line containing `what` (at most
  // seconds); returns that line.
  std::string WaitForLine(const std::string &what, int seconds) {
    std::string text;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{err_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[512];
      ssize_t n = read(err_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
      auto at = text.find(what);
      if (at != std::string::npos && text.find('\n', at) != std::string::npos)
        return text.substr(at, text.find('\n', at) - at);
    }
    throw std::runtime_error("no line '" + what + "' from child: " + text);
  }
  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  int Wait() {
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    if (err_ >= 0) close(err_);
    err_ = -1;
    return status;
  }
  void Stop() {
    if (pid_ <= 0) return;
    Signal(SIGTERM);
    Wait();
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
};

inline fs::path TempDir(const std::string &name) {
  fs::path base = std::getenv("TORVEX_TEST_TMP") ? std::getenv("TORVEX_TEST_TMP") : "/tmp";
  fs::path dir = base / ("hub-" + name + "-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// satemu serving `dir`/ports/COM7, activated, with a fixed seed so that two
// emulators given the same commands answer alike.
class Satemu {
 public:
  void Start(const fs::path &dir, const std::vector<std::string> &extra = {}) {
    ports_ = dir / "ports";
    fs::create_directories(ports_);
    control_ = dir / "control";
    std::vector<std::string> argv = {SATEMU_EXE,
                                     "--link",
                                     (ports_ / "COM7").string(),
                                     "--state",
                                     (dir / "emu").string(),
                                     "--activated",
                                     "--seed",
                                     "7",
                                     "--control",
                                     control_.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_.Start(argv, {}, (dir / "satemu.log").string());
    for (int i = 0; i < 500 && !fs::is_symlink(ports_ / "COM7"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!fs::is_symlink(ports_ / "COM7")) throw std::runtime_error("satemu did not start");
  }
  const fs::path &Ports() const { return ports_; }
  // Faults for the next commands (satemu's control file).
  void Fault(const std::string &lines) {
    fs::path tmp = control_.string() + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    fputs(lines.c_str(), f);
    fclose(f);
    fs::rename(tmp, control_);
  }

 private:
  Child child_;
  fs::path ports_, control_;
};

// The hub's command line on loopback (any free port) with the tests'
// activation code and the given state file.
inline std::vector<std::string> HubArgs(const fs::path &state) {
  return {HUB_EXE,    "--listen", "127.0.0.1:0", "--activation-code",
          "12345678", "--state",  state.string()};
}

class HubProcess {
 public:
  void Start(const fs::path &ports, const fs::path &dir,
             const std::vector<std::string> &extra = {}) {
    std::vector<std::string> argv = HubArgs(dir / "hub.state");
    argv.insert(argv.end(), {"--access-log", (dir / "access.log").string()});
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_.Start(argv, {{"TORVEX_PORT_DIR", ports.string()}}, (dir / "hub.log").string(), true);
    std::string line = child_.WaitForLine("listening on", 20);
    port_ = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
  }
  void Stop() { child_.Stop(); }
  void Kill() {
    child_.Signal(SIGKILL);
    child_.Wait();
  }
  unsigned short Port() const { return port_; }

 private:
  Child child_;
  unsigned short port_ = 0;
};

struct Reply {
  int status = 0;
  std::string body;
  std::map<std::string, std::string> headers;
};

inline std::string FormEncode(const std::vector<std::pair<std::string, std::string>> &fields) {
  static const char *hex = "0123456789ABCDEF";
  std::string out;
  for (const auto &[k, v] : fields) {
    if (!out.empty()) out += '&';
    out += k + '=';
    for (unsigned char c : v) {
      if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
        out += static_cast<char>(c);
      } else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
  }
  return out;
}

// One request and its reply on an open stream (plain or TLS); buffer keeps
// what was read past the reply for the next one on the same connection.
template <class Stream>
Reply Exchange(Stream &stream, boost::beast::flat_buffer &buffer, const std::string &method,
               const std::string &target, const std::string &body,
               const std::map<std::string, std::string> &headers = {},
               const std::string &contentType = "application/x-www-form-urlencoded") {
  namespace http = boost::beast::http;
  http::request<http::string_body> req(http::string_to_verb(method), target, 11);
  req.set(http::field::host, "127.0.0.1");
  if (!body.empty()) req.set(http::field::content_type, contentType);
  for (const auto &[k, v] : headers) req.set(k, v);
  req.body() = body;
  req.prepare_payload();
  // A refused body may be cut short by the hub: its reply is read anyway.
  boost::system::error_code ignored;
  http::write(stream, req, ignored);
  http::response_parser<http::string_body> parser;
  parser.body_limit(64u << 20);
  http::read(stream, buffer, parser);
  Reply r;
  r.status = parser.get().result_int();
  r.body = parser.get().body();
  for (const auto &h : parser.get())
    r.headers[std::string(h.name_string())] = std::string(h.value());
  return r;
}

// One request on a new connection.
inline Reply Http(unsigned short port, const std::string &method, const std::string &target,
                  const std::string &body = "",
                  const std::map<std::string, std::string> &headers = {},
                  const std::string &contentType = "application/x-www-form-urlencoded") {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  boost::beast::flat_buffer buffer;
  return Exchange(socket, buffer, method, target, body, headers, contentType);
}

inline Reply Call(unsigned short port, const std::string &function, int till,
                  std::vector<std::pair<std::string, std::string>> fields = {}) {
  fields.emplace_back("numero_caixa", std::to_string(till));
  return Http(port, "POST", "/hub/v1/" + function, FormEncode(fields));
}

inline std::vector<std::string> Fields(const std::string &reply) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    auto bar = reply.find('|', start);
    out.push_back(reply.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return out;
}

inline int RangeStartOf(int till) { return 100000 + 900 * till; }
inline bool InRangeOf(int till, const std::string &session) {
  if (session.empty() || session.size() > 6 ||
      session.find_first_not_of("0123456789") != std::string::npos)
    return false;
  int s = std::stoi(session);
  return s >= RangeStartOf(till) && s < RangeStartOf(till) + 900;
}

}  // namespace hubtest
