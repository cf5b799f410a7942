// Support for the serial port component's tests: a log that records its
// lines, a recorder of notifications and fatal errors, and (with the cable
// of comm_support.h) a plug-and-play device on the far end of the cable.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nrclasses.h"
#include "rtformat.h"
#include "rtproperties.h"

// A log that keeps "<level>:<text>" for every entry.
class RecordingLog : public TnrCustomLogFile {
 public:
  explicit RecordingLog(TComponent *owner) : TnrCustomLogFile(owner) {}
  void AddLog(TDetailLevel level, const std::string &text) override {
    std::lock_guard guard(lock_);
    lines_.push_back(std::to_string(level) + ":" + text);
  }
  void AddLogFmt(TDetailLevel level, const std::string &format, const FmtArgs &args) override {
    AddLog(level, Format(format, args));
  }
  void AddSysInfo() override {}
  std::vector<std::string> Lines() {
    std::lock_guard guard(lock_);
    return lines_;
  }
  bool Has(const std::string &line) {
    for (const std::string &l : Lines())
      if (l == line) return true;
    return false;
  }
  void Clear() override {
    std::lock_guard guard(lock_);
    lines_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

inline const TComponentClassRegistrar<RecordingLog> g_recordingLogClass{"TRecordingLog"};

// Notification codes and fatal errors of a component.
struct Recorder {
  std::mutex lock;
  std::vector<int> codes;
  std::vector<std::string> fatal;
  bool cancelFatal = true;

  void Notify(TObject *, std::int32_t code) {
    std::lock_guard guard(lock);
    codes.push_back(code);
  }
  void Fatal(TObject *, std::uint32_t code, std::uint32_t detail, const std::string &message,
             bool &raise) {
    std::lock_guard guard(lock);
    fatal.push_back(std::to_string(code) + "," + std::to_string(detail) + "," + message);
    raise = !cancelFatal;
  }
  std::vector<int> Notifications() {
    std::lock_guard guard(lock);
    return codes;
  }
  std::vector<std::string> Fatals() {
    std::lock_guard guard(lock);
    return fatal;
  }
  void Clear() {
    std::lock_guard guard(lock);
    codes.clear();
    fatal.clear();
  }
};
