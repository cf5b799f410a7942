// Nrlogfile: the size-limited log file component.
//
// Entries are stamped, their control characters escaped, collected in memory
// and appended to a text file that is kept at most SizeLimit bytes long (it
// may end exactly at the limit) by dropping its oldest bytes. Each entry is CR LF, the stamp, the
// message: a file written from the start begins with an empty line.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "nrclasses.h"
#include "rtcontrols.h"
#include "rtset.h"

enum TLogOption { loSafeMode, loAutoFileName, loSharedLogFile, loDate, loTime, loMSec, loDebugOut };
using TLogOptions = TSet<TLogOption>;

template <>
struct EnumNames<TLogOption> {
  static constexpr std::array<std::string_view, 7> names{
      "loSafeMode", "loAutoFileName", "loSharedLogFile", "loDate",
      "loTime",     "loMSec",         "loDebugOut"};
};

class VAVEVI_API TnrLogFile : public TnrCustomLogFile {
 public:
  explicit TnrLogFile(TComponent *owner);
  // Waits up to a second for a running save, then saves what is pending
  // (without loSafeMode). A failing final save is dropped: a destructor
  // cannot report it.
  ~TnrLogFile() override;

  // Properties.
  std::uint32_t GetSizeLimit() const { return sizeLimit_; }
  void SetSizeLimit(std::uint32_t limit) { sizeLimit_ = limit; }
  const std::string &GetFileName() const { return fileName_; }
  void SetFileName(std::string name);  // blanks at both ends are removed
  TCustomEdit *GetVisualOut() const { return visualOut_; }
  void SetVisualOut(TCustomEdit *edit);
  TDetailLevel GetDetailLevel() const { return detailLevel_; }
  void SetDetailLevel(TDetailLevel level) { detailLevel_ = level; }
  TLogOptions GetOptions() const { return options_; }
  void SetOptions(TLogOptions options) { options_ = options; }
  const TNotifyEvent &GetOnReachLimit() const { return onReachLimit_; }
  void SetOnReachLimit(TNotifyEvent handler) { onReachLimit_ = handler; }

  void Save() override;
  void Clear() override;
  void Add(const std::string &text) override;
  void AddSysInfo() override;
  void AddLog(TDetailLevel level, const std::string &text) override;
  void AddFmt(const std::string &format, const FmtArgs &args) override;
  void AddLogFmt(TDetailLevel level, const std::string &format, const FmtArgs &args) override;

  // The file a save writes: the host executable's path with ".log" under
  // loAutoFileName; otherwise FileName, placed in the executable's directory
  // when it has no directory of its own; "" when FileName is empty.
  std::string GetTrueFileName() const;
  // True when no save is running; sleeps once for ms when one is.
  bool WaitUnLock(std::uint32_t ms);

  // Entries added but not yet saved.
  const std::string &PendingText() const { return pending_; }

  const TPropertyTable &Published() const override;

 protected:
  void Notification(TComponent *component, TOperation operation) override;

 private:
  bool AddStringToFile(const std::string &text);
  std::string MakeStamp() const;

  std::uint32_t sizeLimit_ = 20480;
  std::string fileName_ = "vavevilib.log";
  TCustomEdit *visualOut_ = nullptr;
  TDetailLevel detailLevel_ = dlSimple;
  TLogOptions options_{loSafeMode, loAutoFileName, loDate, loTime, loDebugOut};
  TNotifyEvent onReachLimit_;

  std::string pending_;
  std::atomic<bool> saving_{false};
  bool firstEntry_ = true;
};

// The text the log puts at the head of its first entry.
inline constexpr const char *kLogSysInfoPrefix = "vaVevi Lib v6.69 ";
