#include "serial_link.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace satemu {

bool set_raw_115200(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

namespace {
std::string errno_text() { return std::strerror(errno); }
}  // namespace

std::optional<SerialLink> SerialLink::create_pty(const std::filesystem::path &link,
                                                 std::string &error) {
  SerialLink l;
  l.fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (l.fd_ < 0 || grantpt(l.fd_) != 0 || unlockpt(l.fd_) != 0) {
    error = "cannot create a pseudo-terminal: " + errno_text();
    return std::nullopt;
  }
  char name[128];
  if (ptsname_r(l.fd_, name, sizeof name) != 0) {
    error = "cannot name the pseudo-terminal: " + errno_text();
    return std::nullopt;
  }
  l.peer_path_ = name;
  l.peer_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (l.peer_fd_ < 0 || !set_raw_115200(l.peer_fd_)) {
    error = "cannot set up " + l.peer_path_ + ": " + errno_text();
    return std::nullopt;
  }
  ::fcntl(l.fd_, F_SETFL, ::fcntl(l.fd_, F_GETFL) | O_NONBLOCK);

  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = link.string() + " exists and is not a symbolic link; not replacing it";
    return std::nullopt;
  }
  std::error_code ec;
  if (link.has_parent_path()) std::filesystem::create_directories(link.parent_path(), ec);
  // Make the link aside and rename it into place: the path never dangles.
  const std::filesystem::path tmp = link.string() + ".satemu-" + std::to_string(::getpid());
  ::unlink(tmp.c_str());
  if (::symlink(name, tmp.c_str()) != 0) {
    error = "cannot create link " + link.string() + ": " + errno_text();
    return std::nullopt;
  }
  if (::rename(tmp.c_str(), link.c_str()) != 0) {
    error = "cannot create link " + link.string() + ": " + errno_text();
    ::unlink(tmp.c_str());
    return std::nullopt;
  }
  l.link_ = link;
  l.origin_ = link;
  l.is_pty_ = true;
  return l;
}

std::optional<SerialLink> SerialLink::open_device(const std::filesystem::path &device,
                                                  std::string &error) {
  SerialLink l;
  l.fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (l.fd_ < 0) {
    error = "cannot open " + device.string() + ": " + errno_text();
    return std::nullopt;
  }
  if (!set_raw_115200(l.fd_)) {
    error = device.string() + " is not a serial device (" + errno_text() + ")";
    return std::nullopt;
  }
  l.peer_path_ = device.string();
  l.origin_ = device;
  return l;
}

SerialLink::SerialLink(SerialLink &&o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      peer_fd_(std::exchange(o.peer_fd_, -1)),
      peer_path_(std::move(o.peer_path_)),
      link_(std::exchange(o.link_, {})),
      origin_(std::exchange(o.origin_, {})),
      is_pty_(o.is_pty_) {}

SerialLink::~SerialLink() { close(); }

void SerialLink::close() {
  if (!link_.empty()) {
    // Remove the link only while it still points at our terminal: another
    // emulator may have taken the name over.
    char target[256];
    const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == peer_path_)
      ::unlink(link_.c_str());
    link_.clear();
  }
  if (peer_fd_ >= 0) ::close(std::exchange(peer_fd_, -1));
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

bool SerialLink::reopen(std::string &error) {
  close();
  std::optional<SerialLink> fresh =
      is_pty_ ? create_pty(origin_, error) : open_device(origin_, error);
  if (!fresh) return false;
  fd_ = std::exchange(fresh->fd_, -1);
  peer_fd_ = std::exchange(fresh->peer_fd_, -1);
  peer_path_ = fresh->peer_path_;
  link_ = std::exchange(fresh->link_, {});
  return true;
}

}  // namespace satemu
