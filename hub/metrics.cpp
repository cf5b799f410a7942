#include "metrics.h"

#include <cstdio>

namespace hub {
namespace {
std::string Num(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.6g", v);
  return b;
}
}  // namespace

void Histogram::Observe(double seconds) {
  for (std::size_t i = 0; i < kBounds.size(); ++i)
    if (seconds <= kBounds[i]) ++buckets_[i];
  ++count_;
  sum_ += seconds;
}

void Histogram::Write(std::string &out, const std::string &name) const {
  out += "# TYPE " + name + " histogram\n";
  for (std::size_t i = 0; i < kBounds.size(); ++i)
    out += name + "_bucket{le=\"" + Num(kBounds[i]) + "\"} " + std::to_string(buckets_[i]) + "\n";
  out += name + "_bucket{le=\"+Inf\"} " + std::to_string(count_) + "\n";
  out += name + "_sum " + Num(sum_) + "\n";
  out += name + "_count " + std::to_string(count_) + "\n";
}

void Metrics::DeviceCall(const std::string &function, int till, int codigo, double queueSeconds,
                         double deviceSeconds) {
  ++calls_[{function, till}];
  if (codigo != 0) ++deviceErrors_[{function, codigo}];
  queueWait_.Observe(queueSeconds);
  deviceTime_.Observe(deviceSeconds);
}

std::string Metrics::Text(std::size_t queueLength, double uptimeSeconds) const {
  std::string out;
  out += "# HELP torvex_hub_calls_total Calls run on the device, by function and till.\n";
  out += "# TYPE torvex_hub_calls_total counter\n";
  for (const auto &[key, n] : calls_)
    out += "torvex_hub_calls_total{funcao=\"" + key.first + "\",numero_caixa=\"" +
           std::to_string(key.second) + "\"} " + std::to_string(n) + "\n";
  out +=
      "# HELP torvex_hub_device_errors_total Device calls that ended with a status other than 0.\n";
  out += "# TYPE torvex_hub_device_errors_total counter\n";
  for (const auto &[key, n] : deviceErrors_)
    out += "torvex_hub_device_errors_total{funcao=\"" + key.first + "\",codigo=\"" +
           std::to_string(key.second) + "\"} " + std::to_string(n) + "\n";
  out += "# HELP torvex_hub_http_replies_total HTTP replies by status.\n";
  out += "# TYPE torvex_hub_http_replies_total counter\n";
  for (const auto &[status, n] : replies_)
    out += "torvex_hub_http_replies_total{status=\"" + std::to_string(status) + "\"} " +
           std::to_string(n) + "\n";
  out += "# TYPE torvex_hub_queue_dropped_total counter\n";
  out += "torvex_hub_queue_dropped_total " + std::to_string(dropped_) + "\n";
  out += "# TYPE torvex_hub_queue_timeouts_total counter\n";
  out += "torvex_hub_queue_timeouts_total " + std::to_string(timedOut_) + "\n";
  out += "# TYPE torvex_hub_queue_length gauge\n";
  out += "torvex_hub_queue_length " + std::to_string(queueLength) + "\n";
  out += "# TYPE torvex_hub_uptime_seconds gauge\n";
  out += "torvex_hub_uptime_seconds " + Num(uptimeSeconds) + "\n";
  out +=
      "# HELP torvex_hub_queue_wait_seconds Time from a call's arrival to its start on the "
      "device.\n";
  queueWait_.Write(out, "torvex_hub_queue_wait_seconds");
  out += "# HELP torvex_hub_device_seconds Time a call spent on the device.\n";
  deviceTime_.Write(out, "torvex_hub_device_seconds");
  return out;
}

}  // namespace hub
