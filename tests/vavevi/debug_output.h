// The two debug outputs of the USB component's tests:
//
//  - DebugMonitor collects what this process writes with OutputDebugStringA,
//    as a debug-output viewer does: it serves the system-wide DBWIN buffer
//    and its two events. Only one monitor may run in a Wine session at a
//    time, so the tests that use it run one at a time.
//  - KernelLog reads the DbgPrint texts of drivers from the log that
//    with-kernel-log.sh names in TORVEX_KERNEL_LOG.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class DebugMonitor {
 public:
  DebugMonitor() {
    bufferReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    dataReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    mapping_ =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
    view_ = mapping_ ? static_cast<const char *>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0))
                     : nullptr;
    if (bufferReady_ && dataReady_ && stop_ && view_) thread_ = std::thread([this] { Run(); });
  }
  ~DebugMonitor() {
    if (thread_.joinable()) {
      SetEvent(stop_);
      thread_.join();
    }
    if (view_) UnmapViewOfFile(view_);
    for (HANDLE h : {mapping_, bufferReady_, dataReady_, stop_})
      if (h) CloseHandle(h);
  }
  bool Running() const { return thread_.joinable(); }

  // Every line this process has written so far, in order. A marker line is
  // written and waited for first, so nothing written before the call is
  // still on its way.
  std::vector<std::string> Lines() {
    std::string marker = "debug-monitor-mark-" + std::to_string(++marks_);
    OutputDebugStringA(marker.c_str());
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t n = 0; n < lines_.size(); ++n)
          if (lines_[n] == marker) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(n));
            return lines_;
          }
      }
      Sleep(10);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    Lines();
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  void Run() {
    DWORD self = GetCurrentProcessId();
    for (;;) {
      SetEvent(bufferReady_);
      HANDLE waits[] = {dataReady_, stop_};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
      DWORD pid = 0;
      memcpy(&pid, view_, sizeof pid);
      std::string text(view_ + sizeof pid, strnlen(view_ + sizeof pid, 4096 - sizeof pid));
      if (pid == self) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(text);
      }
    }
  }

  HANDLE bufferReady_ = nullptr, dataReady_ = nullptr, stop_ = nullptr, mapping_ = nullptr;
  const char *view_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  int marks_ = 0;
};

class KernelLog {
 public:
  KernelLog() {
    const char *unixPath = std::getenv("TORVEX_KERNEL_LOG");
    if (!unixPath || !*unixPath) return;
    path_ = std::string("Z:") + unixPath;
    for (char &c : path_)
      if (c == '/') c = '\\';
  }
  bool Available() const { return !path_.empty(); }

  // Forgets the texts written so far.
  void Mark() { seen_ = Texts().size(); }
  // The driver texts written since the last Mark.
  std::vector<std::string> Since() const {
    std::vector<std::string> all = Texts();
    return seen_ < all.size() ? std::vector<std::string>(all.begin() + seen_, all.end())
                              : std::vector<std::string>();
  }
  // Waits (up to 10 s) until text has been written since the last Mark.
  bool WaitFor(const std::string &text) const {
    for (int i = 0; i < 1000; ++i) {
      for (const std::string &t : Since())
        if (t == text) return true;
      Sleep(10);
    }
    return false;
  }

  // Whether any line of the session's log (the driver host's own messages
  // included) holds text.
  bool AnyLineHas(const std::string &text) const {
    std::ifstream in(path_, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  // The texts of the driver host's DbgPrint lines:
  //   "00ec:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: <text>"
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    std::ifstream in(path_, std::ios::binary);
    std::string line;
    const std::string tag = ":debugstr:vDbgPrintExWithPrefix ";
    while (std::getline(in, line)) {
      std::size_t at = line.find(tag);
      if (at == std::string::npos) continue;
      std::size_t text = line.find(": ", at + tag.size());
      if (text == std::string::npos) continue;
      texts.push_back(line.substr(text + 2));
    }
    return texts;
  }

  std::string path_;
  std::size_t seen_ = 0;
};
