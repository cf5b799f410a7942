#include "nrreport.h"

#include <windows.h>

#include <exception>

#include "rtapplication.h"
#include "rtexcept.h"

namespace {
constexpr const char *kFatalErrorFormat = "Fatal Error: %u, %u, %s";
}  // namespace

void nrReportFatal(const TnrFatalRoad &road, std::uint32_t code, std::uint32_t detail,
                   const std::string &message, TnrFatalEnd end) {
  bool raise = true;
  if (road.handler) road.handler(road.sender, code, detail, message, raise);
  if (road.log) road.log->AddLogFmt(dlSimple, kFatalErrorFormat, {code, detail, message});
  if (!raise) return;
  switch (end) {
    case TnrFatalEnd::kRaise:
      throw Exception(message);
    case TnrFatalEnd::kShow:
      ShowException(Exception(message));
      break;
    case TnrFatalEnd::kKeep:
      break;
  }
}

std::string nrCaughtText(const char *unknown) {
  try {
    throw;
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return unknown;
  }
}

void nrDebugReport(const char *where, const std::string &text) noexcept {
  try {
    OutputDebugStringA((std::string(where) + ": " + text).c_str());
  } catch (...) {
    // No memory for the text: the bare place is all that can still be said.
    OutputDebugStringA(where);
  }
}

bool nr_detail::IsOwnRaise(const std::string &message) noexcept {
  try {
    throw;
  } catch (const Exception &e) {
    return e.Message() == message;
  } catch (...) {
    return false;
  }
}
