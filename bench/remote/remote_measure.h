// The measuring part of the remote-mode benchmarks (natively with the
// library's code linked in, and torvex.dll under Wine): ConsultarSAT made
// alternately directly on the port and through the hub, so that a machine
// whose load drifts weighs on both alike, and the medians and 99th
// percentiles of the call durations and of their differences.
#pragma once
#include <string>
#include <vector>

namespace remotebench {

// One way of making ConsultarSAT: directly on the port or through the hub.
class CallPath {
 public:
  virtual ~CallPath() = default;
  // Readies the next call (not timed).
  virtual void Prepare() {}
  // ConsultarSAT(session): the reply text; code gets CodigoErro's code.
  virtual std::string Call(int session, int &code) = 0;
};

// `warmup` calls of each path, then `calls` of each, direct then remote in
// turn; prints the figures and keeps the remote calls' durations (ms) in
// remoteMs. False, after saying which call failed, when a call did not give
// status 0 with the device's reply (08000).
bool MeasureRemoteCost(CallPath &direct, CallPath &remote, int calls, std::vector<double> &remoteMs,
                       int warmup = 10);

// Splits the last remoteMs.size() remote calls by the hub's access log (one
// JSON line per request, in the order served): the device call inside the
// hub (`dispositivo_ms`), the hub's own part (its `ms`, from the whole
// request read to the reply ready, less that), and the rest: connecting,
// the request and the reply on the wire, and the client's own work. Prints the medians and 99th
// percentiles; false, saying why, when the log does not hold that many remote calls.
bool PrintHubSplit(const char *accessLog, const std::vector<double> &remoteMs);

}  // namespace remotebench
