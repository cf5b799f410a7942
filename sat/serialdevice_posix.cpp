#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serialdevice.h"
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

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, int wakeRead, int wakeWrite)
      : fd_(fd), wakeRead_(wakeRead), wakeWrite_(wakeWrite) {}
  ~PosixSerialDevice() override {
    ::close(fd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
  }

  bool Write(const std::uint8_t *bytes, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      ssize_t n = ::write(fd_, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        // The output queue is full: wait until it drains (bounded, like
        // the write time-out of the Windows port: 500 ms plus 1 ms/byte).
        pollfd p{fd_, POLLOUT, 0};
        int limit = 500 + static_cast<int>((count - done) > 100000 ? 100000 : count - done);
        if (::poll(&p, 1, limit) <= 0) return false;
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return false;
      }
    }
    return true;
  }

  std::size_t Read(std::uint8_t *buffer, std::size_t cap) override {
    // A raw terminal with VMIN = VTIME = 0 answers an empty read with 0 (or
    // EAGAIN): nothing is buffered. A failing read means the line is gone.
    ssize_t n = ::read(fd_, buffer, cap);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) lineDown_ = true;
    return 0;
  }

  void WaitInput(std::int32_t ms) override {
    if (lineDown_) {
      // The other end hung up: poll() would report that at once, again and
      // again. Sleep on the wake pipe instead and look at the line again
      // every 20 ms, so a dead line does not turn the reader into a loop.
      pollfd wake{wakeRead_, POLLIN, 0};
      ::poll(&wake, 1, ms < 0 || ms > 20 ? 20 : ms);
      lineDown_ = false;
      return;
    }
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {fd_, POLLIN, 0}};
    ::poll(fds, 2, ms);
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[1].revents & POLLIN))
      lineDown_ = true;
  }

  void Wake() override {
    if (!woken_.exchange(true)) {
      char b = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &b, 1);
    }
  }

 private:
  int fd_;
  int wakeRead_;
  int wakeWrite_;
  bool lineDown_ = false;
  std::atomic<bool> woken_{false};
};

}  // namespace

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

std::unique_ptr<SerialDevice> SerialDevice::Open(const char *name, std::uint32_t baudRate) {
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
  return std::make_unique<PosixSerialDevice>(fd, wake[0], wake[1]);
}

}  // namespace torvex::sat
