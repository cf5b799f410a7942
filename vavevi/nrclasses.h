// Nrclasses: the types shared by the communication components and the
// abstract log that every component writes to.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "rtcomponent.h"
#include "rtformat.h"
#include "rthandler.h"
#include "rtproperties.h"

// The level of a log message; a log writes a message whose level is not
// above its DetailLevel.
enum TDetailLevel { dlSimple, dlDetail, dlDebug };

template <>
struct EnumNames<TDetailLevel> {
  static constexpr std::array<std::string_view, 3> names{"dlSimple", "dlDetail", "dlDebug"};
};

// (Sender, ErrorCode, Detail, ErrorMsg, RaiseException): a handler may clear
// RaiseException to keep the error from being raised.
using TOnFatalErrorEvent =
    Handler<void(TObject *Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                 const std::string &ErrorMsg, bool &RaiseException)>;
using TNotifyEvent = Handler<void(TObject *Sender)>;

// The log interface that components hold in their Log property. It owns the
// fatal-error report; everything else is for the concrete log to provide.
class VAVEVI_API TnrCustomLogFile : public TComponent {
 public:
  explicit TnrCustomLogFile(TComponent *owner) : TComponent(owner) {}

  const TOnFatalErrorEvent &GetOnFatalError() const { return onFatalError_; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { onFatalError_ = handler; }

  // Offers the error to OnFatalError, which may clear the raise flag; raises
  // Exception(message) when the flag is still set.
  virtual void DoFatalErrors(std::uint32_t code, std::uint32_t detail, const std::string &message);
  // The rest raise the abstract-call error unless a subclass provides them.
  virtual void Save();
  virtual void Clear();
  virtual void Add(const std::string &text);
  virtual void AddSysInfo();
  virtual void AddLog(TDetailLevel level, const std::string &text);
  virtual void AddFmt(const std::string &format, const FmtArgs &args);
  virtual void AddLogFmt(TDetailLevel level, const std::string &format, const FmtArgs &args);

 private:
  TOnFatalErrorEvent onFatalError_;
};
