// torvex-hub: shares one SAT device among the store's tills over HTTP.
#include <cstdio>

#include "config.h"
#include "platform.h"
#include "server.h"

int main(int argc, char **argv) {
  hub::Config config;
  int rc = hub::ParseConfig(argc, argv, config);
  if (rc == 1) return 0;
  if (rc != 0) return 2;
  hub::IgnoreBrokenPipes();
  // The hub drives the device itself: the library's remote mode, set by
  // these for a till's POS program, would send the calls back to a hub.
  for (const char *name : {"TORVEX_HUB", "TORVEX_TILL", "TORVEX_HUB_TOKEN", "TORVEX_HUB_CA"})
    hub::UnsetEnvironment(name);
  hub::Hub hub(config);
  std::string error;
  if (!hub.Start(error)) {
    std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "torvex-hub: listening on %s:%u%s\n", config.listenHost.c_str(),
               static_cast<unsigned>(hub.Port()), config.tlsCert.empty() ? "" : " (TLS)");
  hub.Run();
  return 0;
}
