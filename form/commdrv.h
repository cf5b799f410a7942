// The device form of torvex.dll (Windows): TCommDrv, the exported form
// variable, and what the form does with the SAT path's state. The form
// reaches that state only through the SAT path's seam (sat/seam/sat_seam.h).
//
// TCommDrv is a form (rtforms.h) built by its constructor from the resource
// "TCOMMDRV" (resources/commdrv.form): one USB component (vaRaz1), one
// serial component (vaVevi1) and one log component (nrLogFile1), configured
// there, none linked to another, with the form's two methods
// vaVevi1FatalError and vaVevi1CommError assigned to the serial component's
// OnFatalError and OnCommError. After building its components the
// constructor calls DeviceFormCreated; the two methods end in
// DeviceFormFatalError and DeviceFormCommError. The form has no work of its
// own at destruction: its components go with it.
//
// The methods run on whatever thread the serial component reports on (the
// thread that opens it, or its message thread). The status record and the
// trace log they write belong to the SAT functions, whose seam takes the
// lock every export holds: a fatal error reported while a SAT call runs is
// recorded when that call has ended. No message box is shown while the lock
// is held.
//
// Nothing in the library creates a device form: CommDrv is empty from load
// to unload. A program that uses the component library may create one.
#pragma once

#include <any>
#include <cstdint>
#include <string>
#include <string_view>

#include "nrlogfile.h"
#include "rtforms.h"
#include "torvex.h"
#include "varaz.h"
#include "vavevi.h"

class TORVEX_API TCommDrv : public TForm {
 public:
  // Builds the form and its components from the resource "TCOMMDRV", then
  // DeviceFormCreated (which may show a message box and returns once it is
  // closed). A resource that does not fit the components raises
  // EResourceError.
  explicit TCommDrv(TComponent *owner);

  TnrUsb *vaRaz1 = nullptr;
  TvaVevi *vaVevi1 = nullptr;
  TnrLogFile *nrLogFile1 = nullptr;

  // vaVevi1's OnFatalError: keeps the component from raising the error and
  // records it as code 1 with its text (DeviceFormFatalError).
  void vaVevi1FatalError(TObject *Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                         const std::string &ErrorMsg, bool &RaiseException);
  // vaVevi1's OnCommError: the message box "error"; the codes are not
  // recorded and flFlashBuffers is left as it came.
  void vaVevi1CommError(TObject *Com, std::uint32_t CommCode, std::uint32_t SysError,
                        TComStateFlags State, bool &flFlashBuffers);

  // The two methods above, by name, for the resource.
  std::any MethodAddress(std::string_view name) const override;
};

// The library's device-form variable, exported under its plain name.
extern "C" TORVEX_API TCommDrv *CommDrv;

namespace torvex::form {

inline constexpr char kZlibFoundText[] = "Achou  zlib";  // two blanks
inline constexpr char kCommErrorText[] = "error";
inline constexpr char kFatalErrorTraceName[] = "TCommDrv::vaVevi1FatalError";

// The end of a device form's construction: the whole status record cleared
// and the compression library loaded when it is not (ClearStatusAndLoadZlib);
// then, when it is loaded, the message "Achou  zlib" (the call returns when
// the user has closed it); otherwise code 1 with "TORVEX.dll necessita
// zlib.dll". Raises nothing.
void DeviceFormCreated();

// A fatal error of the form's serial component (RecordComponentFatalError):
// code 1 whatever the component's code, with its message (cut to 99
// characters), and with the trace log on the line "S@T:<time stamp>
// TCommDrv::vaVevi1FatalError 1 <message>". The caller keeps the component
// from raising the error.
void DeviceFormFatalError(const char *message);

// A line error of the form's serial component: the message "error";
// nothing is recorded.
void DeviceFormCommError();

// The form's message box: the text, an OK button, no icon, modal for the
// calling thread, centred on the screen, with the host program's name as
// its caption. Returns when the user has closed it.
void ShowDeviceFormMessage(const char *text);

}  // namespace torvex::form
