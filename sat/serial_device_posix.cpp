#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "serial_device.h"
#include "text.h"

namespace torvex::sat {
namespace {

speed_t SpeedOf(std::uint32_t baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    default:
      return B115200;
  }
}

std::int64_t MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The port is non-blocking; the reader blocks in poll() on the port and a
// wake pipe. A line whose other end is gone shows as a hang-up in poll()
// (POLLHUP, often with POLLIN) while read() brings nothing, or as a read
// error such as EIO: either is a lost line. An empty read alone is not: a
// raw terminal with VMIN = VTIME = 0 answers 0 when nothing is buffered.
class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, int wakeRead, int wakeWrite)
      : fd_(fd), wakeRead_(wakeRead), wakeWrite_(wakeWrite) {}
  ~PosixSerialDevice() override {
    // Output the device never took (it stopped reading) is discarded, so
    // that closing does not wait for it to drain.
    ::tcflush(fd_, TCOFLUSH);
    ::close(fd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
  }

  bool Write(const std::uint8_t *bytes, std::size_t count, std::int64_t limitMs) override {
    std::int64_t deadline = MonotonicMs() + (limitMs > 0 ? limitMs : 0);
    std::size_t done = 0;
    while (done < count) {
      ssize_t n = ::write(fd_, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        // The output queue is full: wait until it drains, up to the limit.
        std::int64_t left = deadline - MonotonicMs();
        if (left <= 0) return false;
        pollfd p{fd_, POLLOUT, 0};
        int rc = ::poll(&p, 1, static_cast<int>(left > 60000 ? 60000 : left));
        if (rc < 0 && errno != EINTR) return false;
        if (rc > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLOUT))
          return false;
      } else {
        return false;
      }
    }
    return true;
  }

  ReadResult ReadWait(std::uint8_t *buffer, std::size_t cap, std::int32_t ms) override {
    ReadResult r = ReadNow(buffer, cap);
    if (r.count > 0 || r.lineLost || woken_.load(std::memory_order_acquire)) return r;
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {fd_, POLLIN, 0}};
    if (::poll(fds, 2, ms) <= 0) return r;
    if (fds[0].revents & POLLIN) return r;  // woken
    r = ReadNow(buffer, cap);
    // Poll said the line has news, yet it brought nothing: a hang-up.
    if (r.count == 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) r.lineLost = true;
    return r;
  }

  void WaitWake(std::int32_t ms) override {
    pollfd wake{wakeRead_, POLLIN, 0};
    ::poll(&wake, 1, ms);
  }

  void Wake() override {
    if (!woken_.exchange(true)) {
      char b = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &b, 1);
    }
  }

 private:
  ReadResult ReadNow(std::uint8_t *buffer, std::size_t cap) {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, cap);
      if (n > 0) return {static_cast<std::size_t>(n), false, false};
      if (n < 0 && errno == EINTR) continue;
      return {0, n < 0 && errno != EAGAIN, false};
    }
  }

  int fd_;
  int wakeRead_;
  int wakeWrite_;
  std::atomic<bool> woken_{false};
};

class PosixReaderThread final : public ReaderThread {
 public:
  PosixReaderThread(Body body, void *context) : thread_(body, context) {}
  ~PosixReaderThread() override { thread_.join(); }

 private:
  std::thread thread_;
};

}  // namespace

std::unique_ptr<ReaderThread> ReaderThread::Start(Body body, void *context) {
  return std::make_unique<PosixReaderThread>(body, context);
}

bool SerialDevice::DevicePath(const char *name, char *out, std::size_t cap) {
  name = OrEmpty(name);
  const char *dir = std::getenv("TORVEX_PORT_DIR");
  struct stat st {};
  if (dir != nullptr && *dir != '\0' && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) {
    int n = FormatText(out, cap, "%s/%s", dir, name);
    return n >= 0 && static_cast<std::size_t>(n) < cap;
  }
  // COMn is the n-th USB CDC device, /dev/ttyACM<n-1>.
  if (std::strncmp(name, "COM", 3) != 0) return false;
  char *end = nullptr;
  long n = std::strtol(name + 3, &end, 10);
  if (end == name + 3 || *end != '\0' || n < 1) return false;
  int len = FormatText(out, cap, "/dev/ttyACM%ld", n - 1);
  return len >= 0 && static_cast<std::size_t>(len) < cap;
}

std::unique_ptr<SerialDevice> SerialDevice::Open(const char *name, std::uint32_t baudRate,
                                                 std::uint32_t /*quietMs*/) {
  char path[512];
  if (!DevicePath(name, path, sizeof path)) return nullptr;
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Exclusive, like the Windows share mode 0: a second opener fails.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
    ::close(fd);
    return nullptr;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    return nullptr;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, SpeedOf(baudRate));
  ::cfsetospeed(&tio, SpeedOf(baudRate));
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    return nullptr;
  }
  // The library does not assert DTR or RTS (a pseudo-terminal has no modem
  // lines, so a failure here is expected there and ignored).
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &lines);
  ::tcflush(fd, TCIFLUSH);  // discard pending input
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  try {
    return std::make_unique<PosixSerialDevice>(fd, wake[0], wake[1]);
  } catch (...) {
    ::close(wake[0]);
    ::close(wake[1]);
    ::close(fd);  // a port that is not ours to use is not kept held
    throw;
  }
}

}  // namespace torvex::sat
