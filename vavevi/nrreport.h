// Nrreport: the one road on which the components report a failure they
// cannot handle themselves (docs/failures.md has the table of which failure
// takes which road).
//
// nrReportFatal is the fatal-error report, in this order:
//   1. OnFatalError, when set, sees (sender, code, detail, message) with its
//      raise flag set and may clear the flag;
//   2. the component's log, when it has one, gets
//      "Fatal Error: <code>, <detail>, <message>" at dlSimple, whatever the
//      handler did (a log reporting on itself passes no log);
//   3. with the flag still set, the end the caller chose: raised as
//      Exception(message) to the caller, handed to the standard error
//      display (a message box) and the caller goes on, or kept (nothing
//      more: a component that a form is loading).
// An error raised by the handler or by the log itself goes to the caller.
//
// At an edge nothing may cross (a thread's body, a window procedure, a
// destructor, a close that must complete) the component's report runs
// through nrReportAtEdge: whatever it raises stays at the edge. Its own
// raise is the report's answer and ends there; anything else (a failing
// handler or log) takes the last road, the debugger output.
#pragma once

#include <cstdint>
#include <string>

#include "nrclasses.h"

// What happens to a report whose raise flag is still set.
enum class TnrFatalEnd {
  kRaise,  // Exception(message) to the caller
  kShow,   // the standard error display; the caller goes on
  kKeep,   // nothing more
};

// The parties of one component's report: the component, its OnFatalError
// handler and its log (none: nullptr).
struct TnrFatalRoad {
  TObject *sender;
  const TOnFatalErrorEvent &handler;
  TnrCustomLogFile *log;
};

void nrReportFatal(const TnrFatalRoad &road, std::uint32_t code, std::uint32_t detail,
                   const std::string &message, TnrFatalEnd end);

// Inside a catch block: the text of the exception being handled (what() of
// a standard exception), or unknown for anything else.
std::string nrCaughtText(const char *unknown);

// The last road, for a failure no component can take: the debugger output,
// "<where>: <text>". Never raises.
void nrDebugReport(const char *where, const std::string &text) noexcept;

namespace nr_detail {
// Inside a catch block: whether the exception is the report's own raise of
// message.
bool IsOwnRaise(const std::string &message) noexcept;
}  // namespace nr_detail

// Runs report (a call of a component's fatal-error report of message) at
// an edge: nothing it raises leaves here.
template <class Report>
void nrReportAtEdge(const char *where, const std::string &message, Report &&report) noexcept {
  try {
    report();
  } catch (...) {
    if (!nr_detail::IsOwnRaise(message)) nrDebugReport(where, nrCaughtText("unknown error"));
  }
}
