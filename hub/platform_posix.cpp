// The hub's platform parts on Linux: std::thread, POSIX files.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <cstdlib>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform.h"

namespace hub {

PlatformThread::~PlatformThread() { Join(); }

bool PlatformThread::Start(void (*fn)(void *), void *arg) {
  handle_ = new std::thread(fn, arg);
  return true;
}

void PlatformThread::Join() {
  auto *t = static_cast<std::thread *>(handle_);
  if (t == nullptr) return;
  if (t->joinable()) t->join();
  delete t;
  handle_ = nullptr;
}

bool ReadStateFile(const std::string &path, std::string &text, std::string &error) {
  text.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return true;
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

bool WriteStateFile(const std::string &path, const std::string &text, std::string &error) {
  const std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot write " + tmp + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "cannot write " + tmp + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = "cannot flush " + tmp + ": " + std::strerror(errno);
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + tmp + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

void UnsetEnvironment(const char *name) { unsetenv(name); }

bool RunAsService(const char *, int (*)(void *), void (*)(void *), void *, std::string &error) {
  error = "--service is for Windows; on Linux run the hub under systemd (docs/hub.md)";
  return false;
}

void ServiceRunning() {}

bool InstallService(const char *, const char *, const std::string &, std::string &error) {
  error = "--install-service is for Windows; on Linux run the hub under systemd (docs/hub.md)";
  return false;
}

bool RandomBytes(unsigned char *buf, std::size_t n) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  close(fd);
  return got == n;
}

}  // namespace hub
