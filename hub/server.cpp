#include "server.h"

#include <torvex.h>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <nlohmann/json.hpp>

#include "console.h"

namespace hub {

namespace net = boost::asio;
using tcp = net::ip::tcp;

Hub::Hub(Config config) : config_(std::move(config)), console_(std::make_unique<Console>(*this)) {}

Hub::~Hub() {
  Stop();
  deviceWork_.reset();
  deviceThread_.Join();
  if (ownLog_ && accessLog_ != nullptr) std::fclose(accessLog_);
}

std::string Hub::ActivationCode() const {
  auto changed = book_.ActivationCode();
  return changed ? *changed : config_.activationCode;
}

bool Hub::Start(std::string &error) {
  for (const auto &net : config_.allow)
    if (!access_.AllowNetwork(net, error)) return false;
  for (const auto &[till, token] : config_.tokens) access_.SetToken(till, token);
  boost::system::error_code ec;
  auto address = net::ip::make_address(config_.listenHost, ec);
  if (ec) {
    error = "not an address to listen on: " + config_.listenHost;
    return false;
  }
  if (!address.is_loopback() && !access_.HasNetworks()) {
    error = "listening on " + config_.listenHost +
            " needs --allow with the networks of the tills (see docs/hub.md)";
    return false;
  }
  if (config_.tlsCert.empty() != config_.tlsKey.empty()) {
    error = "TLS needs both --tls-cert and --tls-key";
    return false;
  }
  if (!config_.tlsCert.empty() && !(tls_ = MakeTlsServer(config_.tlsCert, config_.tlsKey, error)))
    return false;
  if (!book_.Open(config_.stateFile, error)) return false;
  if (config_.accessLog == "-") {
    accessLog_ = stdout;
  } else if (!config_.accessLog.empty()) {
    accessLog_ = std::fopen(config_.accessLog.c_str(), "a");
    if (accessLog_ == nullptr) {
      error = "cannot open the access log " + config_.accessLog;
      return false;
    }
    ownLog_ = true;
  }
  tcp::endpoint endpoint(address, config_.listenPort);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on " + config_.listenHost + ":" + std::to_string(config_.listenPort) +
            ": " + ec.message();
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  if (!config_.traceLog.empty()) ArquivoLog(config_.traceLog.c_str());
  deviceWork_.emplace(deviceIo_.get_executor());
  if (!deviceThread_.Start(&Hub::DeviceThreadMain, this)) {
    error = "cannot start the device thread";
    return false;
  }
  Accept();
  return true;
}

void Hub::DeviceThreadMain(void *self) { static_cast<Hub *>(self)->deviceIo_.run(); }

void Hub::Run() {
  net::signal_set signals(io_, SIGINT, SIGTERM);
  signals.async_wait([this](const boost::system::error_code &ec, int) {
    if (!ec) Stop();
  });
  io_.run();
  // A call on the device is left to finish before the state is written.
  deviceWork_.reset();
  deviceThread_.Join();
  std::string error;
  if (!book_.Save(error)) std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
}

void Hub::Stop() {
  net::post(io_, [this] {
    boost::system::error_code ec;
    acceptor_.close(ec);
    io_.stop();
  });
}

void Hub::Accept() {
  acceptor_.async_accept([this](const boost::system::error_code &ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (!ec) {
      if (connections_ >= config_.maxConnections) {
        boost::system::error_code ignored;
        socket.close(ignored);  // over the limit: refused at once
      } else {
        StartHttpSession(*this, std::move(socket));
      }
    }
    Accept();
  });
}

void Hub::Submit(const std::shared_ptr<Job> &job) {
  job->arrived = Clock::now();
  job->startedBeforeArrival = started_;
  job->queued = true;
  auto &line = perTill_[job->till];
  if (line.empty()) turn_.push_back(job->till);
  line.push_back(job);
  ++queued_;
  job->deadline = std::make_unique<net::steady_timer>(io_);
  job->deadline->expires_after(std::chrono::milliseconds(config_.queueAllowanceMs));
  std::weak_ptr<Job> weak = job;
  job->deadline->async_wait([this, weak](const boost::system::error_code &ec) {
    auto j = weak.lock();
    if (ec || !j || !j->queued) return;
    Cancel(j);
    metrics_.TimedOut();
    if (j->expired) j->expired(*j);
  });
  Pump();
}

void Hub::Cancel(const std::shared_ptr<Job> &job) {
  if (!job->queued) return;
  job->queued = false;
  if (job->deadline) job->deadline->cancel();
  auto it = perTill_.find(job->till);
  if (it == perTill_.end()) return;
  auto &line = it->second;
  for (auto j = line.begin(); j != line.end(); ++j) {
    if (*j == job) {
      line.erase(j);
      --queued_;
      break;
    }
  }
  if (line.empty()) {
    perTill_.erase(it);
    turn_.remove(job->till);
  }
}

void Hub::Pump() {
  if (busy_ || turn_.empty()) return;
  int till = turn_.front();
  turn_.pop_front();
  auto &line = perTill_[till];
  std::shared_ptr<Job> job = line.front();
  line.pop_front();
  --queued_;
  if (line.empty()) {
    perTill_.erase(till);
  } else {
    turn_.push_back(till);
  }
  job->queued = false;
  job->deadline->cancel();
  busy_ = true;
  running_ = job;
  job->sequence = ++started_;
  job->queueSeconds = std::chrono::duration<double>(Clock::now() - job->arrived).count();
  if (job->prepare) job->prepare(*job);
  // The device thread reads the job's function and arguments; the network
  // thread leaves them alone until the result comes back.
  net::post(deviceIo_, [this, job] {
    auto t0 = Clock::now();
    CallResult result = Invoke(*job->fn, job->args);
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    net::post(io_, [this, job, result = std::move(result), seconds]() mutable {
      OnDeviceDone(job, std::move(result), seconds);
    });
  });
}

void Hub::OnDeviceDone(const std::shared_ptr<Job> &job, CallResult result, double seconds) {
  busy_ = false;
  running_.reset();
  job->deviceSeconds = seconds;
  lastCodigo_ = result.codigo;
  lastDeviceReply_ = Clock::now();
  metrics_.DeviceCall(job->fn->exportName, job->till, result.codigo, job->queueSeconds, seconds);
  // The reply is kept whether or not its client is still there.
  book_.Keep(job->till, job->args.session, job->fn->exportName, result, job->fn->fiscal);
  console_->Record(*job, result);
  if (job->done) job->done(*job, result);
  StateChanged();
  Pump();
}

std::vector<std::shared_ptr<const Job>> Hub::Waiting() const {
  // Served in turn: the first call of each till in turn order, then the
  // second of each, and so on.
  std::vector<std::shared_ptr<const Job>> out;
  for (std::size_t depth = 0; out.size() < queued_; ++depth) {
    bool any = false;
    for (int till : turn_) {
      auto it = perTill_.find(till);
      if (it != perTill_.end() && depth < it->second.size()) {
        out.push_back(it->second[depth]);
        any = true;
      }
    }
    if (!any) break;
  }
  return out;
}

void Hub::StateChanged() {
  if (saveScheduled_) return;
  saveScheduled_ = true;
  saveTimer_.expires_after(std::chrono::milliseconds(200));
  saveTimer_.async_wait([this](const boost::system::error_code &) {
    saveScheduled_ = false;
    std::string error;
    if (!book_.Save(error)) std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
  });
}

std::string Hub::HealthJson() const {
  nlohmann::json j;
  const char *device = "desconhecido";
  if (lastCodigo_ >= 0)
    device = (lastCodigo_ == TORVEX_STATUS_NOT_READY || lastCodigo_ == TORVEX_STATUS_TIMEOUT)
                 ? "inalcancavel"
                 : "alcancavel";
  j["status"] = "ok";
  j["dispositivo"] = device;
  j["ultimo_codigo"] = lastCodigo_;
  j["fila"] = queued_;
  j["em_execucao"] = busy_;
  j["chamadas"] = started_;
  j["conexoes"] = connections_;
  j["uptime_s"] = std::chrono::duration<double>(Clock::now() - startTime_).count();
  if (lastCodigo_ >= 0)
    j["ultima_resposta_s"] = std::chrono::duration<double>(Clock::now() - lastDeviceReply_).count();
  return j.dump();
}

std::string Hub::MetricsText() const {
  return metrics_.Text(queued_, std::chrono::duration<double>(Clock::now() - startTime_).count());
}

void Hub::AccessLog(const std::string &line) {
  if (accessLog_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), accessLog_);
  std::fputc('\n', accessLog_);
  std::fflush(accessLog_);
}

}  // namespace hub
