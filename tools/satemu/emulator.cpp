#include "emulator.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "transmit_plan.h"

namespace satemu {

namespace {
using SteadyClock = std::chrono::steady_clock;

int ms_since(SteadyClock::time_point t) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t).count());
}
}  // namespace

Emulator::Emulator(SerialLink &link, SatDevice &device, FaultPlan &faults, ConsoleLog &log,
                   int stop_fd, std::uint32_t seed)
    : link_(link), device_(device), faults_(faults), log_(log), stop_fd_(stop_fd), rng_(seed) {}

bool Emulator::stop_requested() {
  pollfd p{stop_fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

Emulator::Flow Emulator::pause(int ms) {
  const auto start = SteadyClock::now();
  while (true) {
    const int left = ms - ms_since(start);
    if (left <= 0) return Flow::Go;
    pollfd p{stop_fd_, POLLIN, 0};
    const int rc = ::poll(&p, 1, left);
    if (rc > 0) return Flow::Stop;
  }
}

Emulator::Flow Emulator::write_all(std::string_view bytes) {
  auto last_progress = SteadyClock::now();
  while (!bytes.empty()) {
    const ssize_t n = ::write(link_.fd(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      last_progress = SteadyClock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      log_.warning(std::string("write to the line failed: ") + std::strerror(errno));
      return Flow::Go;
    }
    const int left = kWriteStallMs - ms_since(last_progress);
    if (left <= 0) {
      log_.warning("the library is not reading; dropped " + std::to_string(bytes.size()) +
                   " bytes");
      return Flow::Go;
    }
    pollfd p[2] = {{link_.fd(), POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(p, 2, left) > 0 && (p[1].revents & POLLIN)) return Flow::Stop;
  }
  return Flow::Go;
}

Emulator::Flow Emulator::answer(const CommandFrame &frame) {
  const Command cmd = parse_command(frame.payload);
  std::vector<std::string> warnings;
  const std::optional<FaultRule> fault = faults_.take(cmd.name, warnings);
  for (const auto &w : warnings) log_.warning(w);

  std::string payload;
  if (fault && fault->kind == FaultKind::Busy) {
    payload = device_.busy(cmd).wire;
  } else if (fault && (fault->kind == FaultKind::Reply || fault->kind == FaultKind::SaleReply)) {
    payload = fault_payload(*fault, cmd.session);
  } else if (!fault || !fault_replaces_answer(*fault)) {
    Answer a = device_.handle(cmd);
    if (!a.note.empty()) log_.detail(a.note);
    payload = std::move(a.wire);
  }
  if (fault) {
    log_.detail("fault " + fault->with_count(1) + " applied to " +
                (cmd.name.empty() ? "?" : cmd.name) +
                (fault->count == 0  ? " (for ever)"
                 : fault->count > 1 ? " (" + std::to_string(fault->count - 1) + " more)"
                                    : ""));
  }
  const TransmitPlan plan = plan_transmission(fault, frame.sequence, payload, rng_);
  if (plan.vanish) {
    log_.notice("vanishing: closing the line in the middle of " + cmd.name);
    return Flow::Vanish;
  }
  if (plan.unplug_ms >= 0) {
    log_.notice("unplugged in the middle of " + cmd.name + "; back in " +
                std::to_string(plan.unplug_ms) + " ms");
    unplug_ms_ = plan.unplug_ms;
    return Flow::Unplug;
  }
  if (plan.stall_ms > 0) {
    log_.detail("-> no reply, and not reading the line for " + std::to_string(plan.stall_ms) +
                " ms");
    return pause(plan.stall_ms);
  }
  if (plan.steps.empty()) log_.detail("-> no reply");
  const char *what = fault ? fault_name(fault->kind) : "reply";
  for (const auto &step : plan.steps) {
    if (step.delay_ms > 0 && pause(step.delay_ms) == Flow::Stop) return Flow::Stop;
    if (write_all(step.bytes) == Flow::Stop) return Flow::Stop;
    log_.sent(step.bytes, what);
  }
  return Flow::Go;
}

int Emulator::run() {
  auto last_rx = SteadyClock::now();
  std::vector<char> buf(65536);
  std::vector<DecodeEvent> events;
  while (true) {
    int timeout = -1;
    if (decoder_.has_partial()) timeout = std::max(0, kStaleMs - ms_since(last_rx));
    pollfd p[2] = {{link_.fd(), POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int rc = ::poll(p, 2, timeout);
    if (rc < 0 && errno != EINTR) {
      log_.warning(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (p[1].revents & POLLIN) return 0;
    events.clear();
    if (rc == 0) {
      decoder_.flush_stale(events);
    } else if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::read(link_.fd(), buf.data(), buf.size());
      if (n > 0) {
        last_rx = SteadyClock::now();
        decoder_.feed(std::string_view(buf.data(), static_cast<std::size_t>(n)), events);
      } else {
        // Nothing to read although poll said so: only a hang-up or an error
        // explains that, and waiting again would spin.
        const bool transient =
            n < 0 && (errno == EAGAIN || errno == EINTR) && !(p[0].revents & (POLLHUP | POLLERR));
        if (!transient) {
          log_.warning("the serial line went away");
          return 1;
        }
      }
    }
    bool replugged = false;
    for (const auto &e : events) {
      if (replugged) break;
      switch (e.kind) {
        case DecodeEvent::Kind::Frame: {
          log_.received(e.frame.sequence, e.frame.payload, true);
          switch (sequence_.check(e.frame.sequence)) {
            case SequenceTracker::Verdict::Restarted:
              log_.detail("sequence restarted at 0 (library reloaded)");
              break;
            case SequenceTracker::Verdict::OutOfOrder:
              log_.warning("unexpected sequence byte " + std::to_string(e.frame.sequence));
              break;
            default:
              break;
          }
          const Flow f = answer(e.frame);
          if (f == Flow::Stop) return 0;
          if (f == Flow::Vanish) {
            link_.close();
            return 0;
          }
          if (f == Flow::Unplug) {
            link_.close();
            if (pause(unplug_ms_) == Flow::Stop) return 0;
            std::string error;
            if (!link_.reopen(error)) {
              log_.warning("cannot plug the line back in: " + error);
              return 1;
            }
            decoder_ = CommandDecoder{};
            log_.notice("plugged back in at " + link_.peer_path());
            replugged = true;  // what else came on the old line is gone with it
          }
          break;
        }
        case DecodeEvent::Kind::BadChecksum:
          log_.received(e.frame.sequence, e.frame.payload, false, e.expected, e.received);
          log_.detail("bad checksum: frame ignored, no reply");
          break;
        case DecodeEvent::Kind::BadStart:
          log_.detail("skipped " + std::to_string(e.bytes) + " bytes that do not start a frame");
          break;
        case DecodeEvent::Kind::BadLength:
          log_.detail(
              "frame declares " + std::to_string(e.declared) +
              " payload bytes, more than a frame can hold: input ignored until the line is quiet");
          break;
        case DecodeEvent::Kind::Stale:
          log_.detail("dropped " + std::to_string(e.bytes) +
                      " bytes of an incomplete frame after " + std::to_string(kStaleMs) +
                      " ms of silence");
          break;
      }
    }
  }
}

}  // namespace satemu
