#include "commdrv.h"

#include <windows.h>

#include <cstring>

#include "command_road.h"
#include "command_state.h"
#include "text.h"
#include "timestamp.h"
#include "tracelog.h"

TCommDrv *CommDrv = nullptr;

TCommDrv::TCommDrv(TComponent *owner) : TForm(owner) {
  InitFromResource("TCommDrv");
  vaRaz1 = &Field<TnrUsb>("vaRaz1");
  vaVevi1 = &Field<TvaVevi>("vaVevi1");
  nrLogFile1 = &Field<TnrLogFile>("nrLogFile1");
  torvex::sat::DeviceFormCreated();
}

void TCommDrv::vaVevi1FatalError(TObject *, std::uint32_t, std::uint32_t,
                                 const std::string &ErrorMsg, bool &RaiseException) {
  RaiseException = false;
  torvex::sat::DeviceFormFatalError(ErrorMsg.c_str());
}

void TCommDrv::vaVevi1CommError(TObject *, std::uint32_t, std::uint32_t, TComStateFlags, bool &) {
  torvex::sat::DeviceFormCommError();
}

std::any TCommDrv::MethodAddress(std::string_view name) const {
  static const TMethodTable<TCommDrv> methods =
      TMethodTable<TCommDrv>()
          .Add<&TCommDrv::vaVevi1FatalError>("vaVevi1FatalError")
          .Add<&TCommDrv::vaVevi1CommError>("vaVevi1CommError");
  return methods.Find(name, const_cast<TCommDrv *>(this));
}

namespace torvex::sat {

namespace {
// The host program's file name without its folder and extension.
void HostProgramName(char *name, std::size_t cap) {
  char path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    CopyText(name, cap, "");
    return;
  }
  const char *base = path;
  for (const char *p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') base = p + 1;
  CopyText(name, cap, base);
  if (char *dot = std::strrchr(name, '.')) *dot = '\0';
}
}  // namespace

void ShowDeviceFormMessage(const char *text) {
  char caption[MAX_PATH + 1];
  HostProgramName(caption, sizeof caption);
  MessageBoxA(nullptr, OrEmpty(text), caption, MB_OK | MB_TASKMODAL);
}

// The form's steps act on the library's command state, each holding its
// lock while it does (a SAT call on another thread waits meanwhile); the
// message boxes are shown with the lock released.

void DeviceFormCreated() {
  CommandState &state = TheCommandState();
  bool zlib;
  {
    Locked lock(state.oneCallAtATime);
    StatusRecordType &status = state.StatusRecord;
    ClearStatus(status);
    zlib = EnsureZlib(state.ZlibModule);
    if (!zlib) SetStatus(status, kStatusNotReady, kZlibMissingText);
  }
  if (zlib) ShowDeviceFormMessage(kZlibFoundText);
}

void DeviceFormFatalError(const char *message) {
  CommandState &state = TheCommandState();
  Locked lock(state.oneCallAtATime);
  StatusRecordType &status = state.StatusRecord;
  TraceFile trace(state.trace);  // opened only while the trace log is on
  Timestamp stamp{};
  if (trace.IsOpen()) stamp = MakeTimestamp();
  SetStatus(status, kStatusNotReady, message);
  trace.Printf("S@T:%s %s %ld %s\n", stamp.text, kFatalErrorTraceName,
               static_cast<long>(status.Code()), status.StatusMessage);
}

void DeviceFormCommError() { ShowDeviceFormMessage(kCommErrorText); }

}  // namespace torvex::sat
