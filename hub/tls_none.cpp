// Builds without TLS (Windows): --tls-cert is refused at start. docs/hub.md
// says how to run such a hub on a LAN.
#include "tls.h"

namespace hub {

std::unique_ptr<TlsServer> MakeTlsServer(const std::string &, const std::string &,
                                         std::string &error) {
  error = "this torvex-hub is built without TLS (--tls-cert); see docs/hub.md";
  return nullptr;
}

}  // namespace hub
