#include "commdrv.h"

#include <windows.h>

#include <cstring>

#include "comm.h"
#include "satstate.h"
#include "text.h"
#include "timestamp.h"
#include "tracelog.h"

TCommDrv *CommDrv = nullptr;

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

void DeviceFormCreated() {
  StatusRecord.StatusCode.store(0, std::memory_order_release);
  std::memset(StatusRecord.StatusMessage, 0, sizeof StatusRecord.StatusMessage);
  if (EnsureZlib())
    ShowDeviceFormMessage(kZlibFoundText);
  else
    SetStatus(kStatusNotReady, kZlibMissingText);
}

void DeviceFormFatalError(const char *message) {
  TraceFile trace;  // opened only while the trace log is on
  Timestamp stamp{};
  if (trace.IsOpen()) stamp = MakeTimestamp();
  SetStatus(kStatusNotReady, message);
  trace.Printf("S@T:%s %s %ld %s\n", stamp.text, kFatalErrorTraceName,
               static_cast<long>(StatusRecord.StatusCode.load(std::memory_order_relaxed)),
               StatusRecord.StatusMessage);
}

void DeviceFormCommError() { ShowDeviceFormMessage(kCommErrorText); }

}  // namespace torvex::sat
