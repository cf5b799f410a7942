// Counters and histograms for GET /metrics (Prometheus text format). Used
// on the hub's network thread only.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace hub {

class Histogram {
 public:
  static constexpr std::array<double, 12> kBounds = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                     0.25,  0.5,   1,    2.5,   5,    10};
  void Observe(double seconds);
  void Write(std::string &out, const std::string &name) const;

 private:
  std::array<std::uint64_t, kBounds.size()> buckets_{};
  std::uint64_t count_ = 0;
  double sum_ = 0;
};

class Metrics {
 public:
  // A call that reached the device: its function, till and the status code
  // CodigoErro gave.
  void DeviceCall(const std::string &function, int till, int codigo, double queueSeconds,
                  double deviceSeconds);
  // Every HTTP reply by status.
  void Reply(int httpStatus) { ++replies_[httpStatus]; }
  // A call dropped from the queue: its client went away, or it waited too long.
  void Dropped() { ++dropped_; }
  void TimedOut() { ++timedOut_; }

  std::string Text(std::size_t queueLength, double uptimeSeconds) const;

 private:
  std::map<std::pair<std::string, int>, std::uint64_t> calls_;
  std::map<std::pair<std::string, int>, std::uint64_t> deviceErrors_;  // by function, code
  std::map<int, std::uint64_t> replies_;
  std::uint64_t dropped_ = 0, timedOut_ = 0;
  Histogram queueWait_, deviceTime_;
};

}  // namespace hub
