// torvex-hub: shares one SAT device among the store's tills over HTTP.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "platform.h"
#include "server.h"

namespace {

constexpr const char *kServiceName = "torvex-hub";

int Serve(const hub::Config &config, hub::Hub &hub) {
  std::string error;
  if (!hub.Start(error)) {
    std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "torvex-hub: listening on %s:%u%s\n", config.listenHost.c_str(),
               static_cast<unsigned>(hub.Port()), config.tlsCert.empty() ? "" : " (TLS)");
  hub::ServiceRunning();
  hub.Run();
  return 0;
}

struct ServiceHub {
  hub::Config *config;
  hub::Hub *hub;
};

// The arguments, each quoted for a Windows command line.
std::string Quoted(const std::vector<char *> &args) {
  std::string out;
  for (std::size_t i = 1; i < args.size(); ++i) {
    out += " \"";
    std::size_t backslashes = 0;
    for (const char *p = args[i]; *p != '\0'; ++p) {
      if (*p == '\\') {
        ++backslashes;
        continue;
      }
      // Backslashes are literal except before a quote, where they double.
      out.append(*p == '"' ? 2 * backslashes + 1 : backslashes, '\\');
      out += *p;
      backslashes = 0;
    }
    out.append(2 * backslashes, '\\');
    out += '"';
  }
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  // --service (started by the Windows service manager) and
  // --install-service (register the rest of the command line as one).
  bool service = false, install = false;
  std::vector<char *> args = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--service") {
      service = true;
    } else if (a == "--install-service") {
      install = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  hub::Config config;
  int rc = hub::ParseConfig(static_cast<int>(args.size()), args.data(), config);
  if (rc == 1) return 0;
  if (rc != 0) return 2;
  std::string error;
  if (install) {
    if (!hub::InstallService(kServiceName, "torvex-hub (SAT device hub)", Quoted(args), error)) {
      std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "torvex-hub: service %s installed (start it with: sc start %s)\n",
                 kServiceName, kServiceName);
    return 0;
  }
  hub::IgnoreBrokenPipes();
  // The hub drives the device itself: the library's remote mode, set by
  // these for a till's POS program, would send the calls back to a hub.
  for (const char *name : {"TORVEX_HUB", "TORVEX_TILL", "TORVEX_HUB_TOKEN", "TORVEX_HUB_CA"})
    hub::UnsetEnvironment(name);
  hub::Hub hub(config);
  if (!service) return Serve(config, hub);
  ServiceHub sh{&config, &hub};
  if (!hub::RunAsService(
          kServiceName,
          [](void *p) {
            auto *s = static_cast<ServiceHub *>(p);
            return Serve(*s->config, *s->hub);
          },
          [](void *p) { static_cast<ServiceHub *>(p)->hub->Stop(); }, &sh, error)) {
    std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
