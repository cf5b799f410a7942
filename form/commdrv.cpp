#include "commdrv.h"

#include <windows.h>

#include <cstring>

#include "sat_seam.h"

TCommDrv *CommDrv = nullptr;

TCommDrv::TCommDrv(TComponent *owner) : TForm(owner) {
  InitFromResource("TCommDrv");
  vaRaz1 = &Field<TnrUsb>("vaRaz1");
  vaVevi1 = &Field<TvaVevi>("vaVevi1");
  nrLogFile1 = &Field<TnrLogFile>("nrLogFile1");
  torvex::form::DeviceFormCreated();
}

void TCommDrv::vaVevi1FatalError(TObject *, std::uint32_t, std::uint32_t,
                                 const std::string &ErrorMsg, bool &RaiseException) {
  RaiseException = false;
  torvex::form::DeviceFormFatalError(ErrorMsg.c_str());
}

void TCommDrv::vaVevi1CommError(TObject *, std::uint32_t, std::uint32_t, TComStateFlags, bool &) {
  torvex::form::DeviceFormCommError();
}

std::any TCommDrv::MethodAddress(std::string_view name) const {
  static const TMethodTable<TCommDrv> methods =
      TMethodTable<TCommDrv>()
          .Add<&TCommDrv::vaVevi1FatalError>("vaVevi1FatalError")
          .Add<&TCommDrv::vaVevi1CommError>("vaVevi1CommError");
  return methods.Find(name, const_cast<TCommDrv *>(this));
}

namespace torvex::form {

namespace {
// The host program's file name without its folder and extension.
void HostProgramName(char *name, std::size_t cap) {
  char path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (cap == 0) return;
  name[0] = '\0';
  if (n == 0 || n >= MAX_PATH) return;
  const char *base = path;
  for (const char *p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') base = p + 1;
  std::size_t len = std::strlen(base);
  if (len >= cap) len = cap - 1;
  std::memcpy(name, base, len);
  name[len] = '\0';
  if (char *dot = std::strrchr(name, '.')) *dot = '\0';
}
}  // namespace

void ShowDeviceFormMessage(const char *text) {
  char caption[MAX_PATH + 1];
  HostProgramName(caption, sizeof caption);
  MessageBoxA(nullptr, text ? text : "", caption, MB_OK | MB_TASKMODAL);
}

// The form's steps act on the SAT path's state through its seam, which holds
// the exports' lock while it does (a SAT call on another thread waits
// meanwhile); the message boxes are shown with the lock released.

void DeviceFormCreated() {
  if (torvex::sat::ClearStatusAndLoadZlib()) ShowDeviceFormMessage(kZlibFoundText);
}

void DeviceFormFatalError(const char *message) {
  torvex::sat::RecordComponentFatalError(kFatalErrorTraceName, message);
}

void DeviceFormCommError() { ShowDeviceFormMessage(kCommErrorText); }

}  // namespace torvex::form
