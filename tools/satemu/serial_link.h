// The device's end of the serial line: either a pseudo-terminal pair whose
// other end is published under a path (a symbolic link to /dev/pts/N), or an
// existing serial device. Both are set to raw 115200 8N1.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace satemu {

class SerialLink {
 public:
  // Creates a pseudo-terminal pair and points `link` at its library end,
  // replacing an existing symbolic link there (never another kind of file).
  static std::optional<SerialLink> create_pty(const std::filesystem::path &link,
                                              std::string &error);
  // Opens an existing serial device.
  static std::optional<SerialLink> open_device(const std::filesystem::path &device,
                                               std::string &error);

  SerialLink(SerialLink &&other) noexcept;
  SerialLink &operator=(SerialLink &&) = delete;
  ~SerialLink();

  // Non-blocking descriptor to read commands from and write replies to.
  int fd() const { return fd_; }
  // Where the library opens the line (e.g. /dev/pts/5).
  const std::string &peer_path() const { return peer_path_; }
  // Closes both ends and removes the link: the device is gone.
  void close();
  // Makes the line anew where it was (a new pseudo-terminal behind the same
  // link, or the device opened again): the device was plugged back in.
  bool reopen(std::string &error);

 private:
  SerialLink() = default;
  int fd_ = -1;       // pty master or the device
  int peer_fd_ = -1;  // our own descriptor of the pty slave: keeps the pair up
  std::string peer_path_;
  std::filesystem::path link_;    // empty for a device
  std::filesystem::path origin_;  // the link or the device, kept across close()
  bool is_pty_ = false;
};

// Sets raw mode 115200 8N1, no flow control, on a terminal descriptor.
bool set_raw_115200(int fd);

}  // namespace satemu
