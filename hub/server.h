// The hub: HTTP sessions on one network thread (Boost.Beast on Asio), the
// queue of device calls, and the device worker on a thread of its own.
#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access.h"
#include "config.h"
#include "functions.h"
#include "metrics.h"
#include "platform.h"
#include "session_book.h"
#include "tls.h"

namespace hub {

class Console;
using Clock = std::chrono::steady_clock;

// One device call waiting for, or on, the device.
struct Job {
  const HubFunction *fn = nullptr;
  int till = 0;
  CallArgs args;
  Clock::time_point arrived;
  std::uint64_t startedBeforeArrival = 0;  // device calls started before this one arrived
  std::uint64_t sequence = 0;              // its order on the device (1, 2, ...)
  double queueSeconds = 0, deviceSeconds = 0;
  std::unique_ptr<boost::asio::steady_timer> deadline;
  // Run on the network thread just before the call goes to the device (the
  // session number is taken there), and when it is over.
  std::function<void(Job &)> prepare;
  std::function<void(Job &, const CallResult &)> done;
  std::function<void(Job &)> expired;  // waited longer than the allowance
  bool queued = false;
};

class Hub {
 public:
  explicit Hub(Config config);
  ~Hub();
  // Opens the state, listens, starts the device thread. False with a message.
  bool Start(std::string &error);
  // Runs the network thread until Stop (or SIGINT/SIGTERM).
  void Run();
  void Stop();
  unsigned short Port() const { return port_; }

  // For the HTTP sessions (network thread only).
  boost::asio::io_context &Io() { return io_; }
  const Config &Settings() const { return config_; }
  TlsServer *Tls() { return tls_.get(); }  // null: plain HTTP
  Access &AccessRules() { return access_; }
  Metrics &Stats() { return metrics_; }
  SessionBook &Book() { return book_; }
  std::string ActivationCode() const;
  void Submit(const std::shared_ptr<Job> &job);
  void Cancel(const std::shared_ptr<Job> &job);  // a queued call whose client left
  std::size_t QueueLength() const { return queued_; }
  std::string HealthJson() const;
  std::string MetricsText() const;
  void AccessLog(const std::string &line);
  void SessionOpened() { ++connections_; }
  void SessionClosed() { --connections_; }
  std::size_t Connections() const { return connections_; }
  void StateChanged();  // writes the state file soon
  // The web console, and what it shows of the queue: the calls waiting in
  // the order they will be served, and the call on the device (or null).
  Console &WebConsole() { return *console_; }
  std::vector<std::shared_ptr<const Job>> Waiting() const;
  std::shared_ptr<const Job> Running() const { return running_; }

 private:
  void Accept();
  void Pump();
  void OnDeviceDone(const std::shared_ptr<Job> &job, CallResult result, double seconds);
  static void DeviceThreadMain(void *self);

  Config config_;
  boost::asio::io_context io_{1};
  boost::asio::io_context deviceIo_{1};
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      deviceWork_;
  PlatformThread deviceThread_;
  boost::asio::ip::tcp::acceptor acceptor_{io_};
  std::unique_ptr<TlsServer> tls_;
  unsigned short port_ = 0;
  Access access_;
  Metrics metrics_;
  SessionBook book_;
  // The queue: one line per till, served in turn (FIFO within a till and,
  // while every till has one call at a time, FIFO across tills).
  std::map<int, std::deque<std::shared_ptr<Job>>> perTill_;
  std::list<int> turn_;  // tills with calls waiting, in the order they are served
  std::size_t queued_ = 0;
  bool busy_ = false;
  std::uint64_t started_ = 0;
  Clock::time_point startTime_ = Clock::now();
  int lastCodigo_ = -1;
  Clock::time_point lastDeviceReply_{};
  std::size_t connections_ = 0;
  std::FILE *accessLog_ = nullptr;
  bool ownLog_ = false;
  boost::asio::steady_timer saveTimer_{io_};
  bool saveScheduled_ = false;
  std::shared_ptr<const Job> running_;
  std::unique_ptr<Console> console_;
};

// Starts an HTTP session on an accepted connection.
void StartHttpSession(Hub &hub, boost::asio::ip::tcp::socket socket);

}  // namespace hub
