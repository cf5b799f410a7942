// satemu: an emulated SAT-CF-e fiscal device on a serial line.
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>

#include "console_log.h"
#include "device_store.h"
#include "emulator.h"
#include "options.h"
#include "sat_device.h"
#include "serial_link.h"

namespace {

// A descriptor closed when it goes out of scope.
struct OwnedFd {
  int fd = -1;
  ~OwnedFd() {
    if (fd >= 0) ::close(fd);
  }
};

// A temporary state directory, removed at exit.
struct TempDir {
  std::filesystem::path path;
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

int main(int argc, char **argv) {
  using namespace satemu;
  std::string error;
  const auto options = parse_options(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    std::fprintf(stderr, "satemu: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  ConsoleLog log(options->verbose);

  // Termination signals arrive through a descriptor the main loop polls.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const OwnedFd stop{signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK)};
  if (stop.fd < 0) {
    std::fprintf(stderr, "satemu: cannot watch for signals\n");
    return 1;
  }

  TempDir temp;
  std::filesystem::path state_dir = options->state;
  if (state_dir.empty()) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "satemu-state-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
      std::fprintf(stderr, "satemu: cannot create a temporary state directory\n");
      return 1;
    }
    temp.path = state_dir = tmpl;
  }
  auto store = DeviceStore::open(state_dir, error);
  if (!store) {
    std::fprintf(stderr, "satemu: %s\n", error.c_str());
    return 1;
  }
  if (store->fresh()) {
    DeviceState &s = store->state();
    s.sat_serial = options->serial;
    s.emergency_code = options->serial;
    if (options->activated) {
      s.activated = true;
      s.activation_code = options->codigo;
      s.cnpj = options->cnpj;
      s.cuf = options->cuf;
      char when[16];
      const std::time_t now = std::time(nullptr);
      std::tm tm{};
      localtime_r(&now, &tm);
      std::strftime(when, sizeof when, "%Y%m%d%H%M%S", &tm);
      s.activated_at = when;
    }
    store->save_state();
  }

  const std::uint32_t seed = options->seed.value_or(std::random_device{}());
  SatDevice device(
      *store, [] { return std::time(nullptr); }, seed);
  std::optional<std::filesystem::path> control;
  if (!options->control.empty()) control = options->control;
  FaultPlan faults(options->faults, control);

  auto link = options->link.empty() ? SerialLink::open_device(options->device, error)
                                    : SerialLink::create_pty(options->link, error);
  if (!link) {
    std::fprintf(stderr, "satemu: %s\n", error.c_str());
    return 1;
  }
  const DeviceState &s = store->state();
  log.notice("device " + s.sat_serial +
             (s.activated ? " (activated, CNPJ " + s.cnpj + ")" : " (not activated)") + " on " +
             link->peer_path() + (options->link.empty() ? "" : " linked at " + options->link) +
             ", state in " +
             (temp.path.empty() ? state_dir.string() : state_dir.string() + " (temporary)"));

  Emulator emulator(*link, device, faults, log, stop.fd, seed);
  const int rc = emulator.run();
  link->close();
  log.detail(rc == 0 ? "stopped" : "stopped on error");
  return rc;
}
