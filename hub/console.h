// The web console: a page for the store's support person, served by the hub
// itself (HTML, CSS and script built into the program), and the JSON it
// reads. Off unless an administrator password is configured. Used on the
// hub's network thread only.
#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "functions.h"

namespace hub {

class Hub;
struct Job;

struct ConsoleRequest {
  std::string method;
  std::string path;   // without the query
  std::string query;  // after '?', undecoded
  std::string body;
  std::string contentType;
  std::string cookie;         // the Cookie header
  std::string authorization;  // the Authorization header
  std::string client;         // the client's address
};

struct ConsoleReply {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

class Console {
 public:
  explicit Console(Hub &hub);
  bool Enabled() const;

  // Answers at once, or returns nothing and answers later through `later`
  // (after a device call). `log` is the request's access-log line.
  std::optional<ConsoleReply> Handle(const ConsoleRequest &req, nlohmann::json &log,
                                     std::function<void(ConsoleReply)> later);

  // Every call that ran on the device (the hub calls this as it ends).
  void Record(const Job &job, const CallResult &result);

  // Calls kept for the list.
  static constexpr std::size_t kKeptCalls = 200;

 private:
  enum class Role { kNone, kOperator, kAdmin };
  struct Session {
    Role role = Role::kNone;
    std::string who;
    std::time_t lastUse = 0;
  };
  struct CallRow {
    std::time_t when = 0;
    int till = 0;
    std::string function;
    int session = 0;
    double deviceMs = 0, queueMs = 0;
    int codigo = 0;
    std::string code, message;
    bool error = false;
  };
  struct TillRow {
    std::time_t last = 0;
    std::string lastFunction;
    int day = -1;  // the local day that callsToday counts
    std::uint64_t callsToday = 0, errorsToday = 0, calls = 0, errors = 0;
  };

  Role Authenticate(const ConsoleRequest &req, std::string &who);
  // 429 while the address has too many wrong passwords of late.
  std::optional<ConsoleReply> Throttled(const std::string &client, nlohmann::json &log);
  void Failed(const std::string &client);
  ConsoleReply Login(const ConsoleRequest &req, nlohmann::json &log);
  ConsoleReply Logout(const ConsoleRequest &req);
  nlohmann::json TillsJson();
  nlohmann::json QueueJson() const;
  nlohmann::json CallsJson(const ConsoleRequest &req) const;
  // Queues a device call made by the console (as the console's till).
  void DeviceCall(const char *exportName, CallArgs args,
                  std::function<void(const Job &, const CallResult &)> done,
                  std::function<void()> expired);
  std::optional<ConsoleReply> Action(const std::string &name, const ConsoleRequest &req,
                                     const std::string &who, nlohmann::json &log,
                                     std::function<void(ConsoleReply)> later);
  std::string NewSessionId();

  Hub &hub_;
  std::map<std::string, Session> sessions_;
  std::deque<CallRow> calls_;
  std::map<int, TillRow> tills_;
  // Status asked while a status call is queued or running joins it: the
  // console never puts more than one status call in the queue.
  std::vector<std::function<void(ConsoleReply)>> statusWaiters_;
  std::vector<std::function<void(ConsoleReply)>> logWaiters_;
  std::string lastStatus_;  // the last status answer (JSON)
  // Wrong passwords per client address (times, newest last): past
  // kMaxFailures within kFailureWindow the address gets 429 for a while.
  std::map<std::string, std::deque<std::time_t>> failures_;
};

// The page's files, built into the program (console_assets.cpp, generated
// from hub/console/ at build time). Null when the path is not one of them.
struct ConsoleAsset {
  const char *path;  // "index.html"
  const char *contentType;
  const unsigned char *data;
  std::size_t size;
};
const ConsoleAsset *FindConsoleAsset(const std::string &path);

}  // namespace hub
