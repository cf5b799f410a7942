#include "nrclasses.h"

#include "rtexcept.h"

void TnrCustomLogFile::DoFatalErrors(std::uint32_t code, std::uint32_t detail,
                                     const std::string &message) {
  bool raise = true;
  if (onFatalError_) onFatalError_(this, code, detail, message, raise);
  if (raise) throw Exception(message);
}

void TnrCustomLogFile::Save() { AbstractError(); }
void TnrCustomLogFile::Clear() { AbstractError(); }
void TnrCustomLogFile::Add(const std::string &) { AbstractError(); }
void TnrCustomLogFile::AddSysInfo() { AbstractError(); }
void TnrCustomLogFile::AddLog(TDetailLevel, const std::string &) { AbstractError(); }
void TnrCustomLogFile::AddFmt(const std::string &, const FmtArgs &) { AbstractError(); }
void TnrCustomLogFile::AddLogFmt(TDetailLevel, const std::string &, const FmtArgs &) {
  AbstractError();
}
