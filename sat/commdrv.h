// The device form of torvex.dll (Windows): the exported form variable and
// what the form does with the library's state.
//
// TCommDrv is a form (rtforms.h) built by its constructor from the resource
// "TCOMMDRV" (resources/commdrv.form): one USB component (vaRaz1), one
// serial component (vaVevi1) and one log component (nrLogFile1), configured
// there, with the form's two methods vaVevi1FatalError and vaVevi1CommError
// assigned to the serial component's OnFatalError and OnCommError. After
// building its components the constructor calls DeviceFormCreated; the two
// methods end in DeviceFormFatalError and DeviceFormCommError.
//
// Nothing in the library creates a device form: CommDrv is empty from load
// to unload. A program that uses the component library may create one.
#pragma once

#include "torvex.h"

class TCommDrv;

// The library's device-form variable, exported under its plain name.
extern "C" TORVEX_API TCommDrv *CommDrv;

namespace torvex::sat {

inline constexpr char kZlibFoundText[] = "Achou  zlib";  // two blanks
inline constexpr char kCommErrorText[] = "error";
inline constexpr char kFatalErrorTraceName[] = "TCommDrv::vaVevi1FatalError";

// The end of a device form's construction: the whole status record cleared,
// the compression library loaded when it is not; then, when it is loaded, the
// message "Achou  zlib" (the call returns when the user has closed it);
// otherwise code 1 with "TORVEX.dll necessita zlib.dll". Raises nothing.
void DeviceFormCreated();

// A fatal error of the form's serial component: code 1 whatever the
// component's code, with its message (cut to 99 characters), and with the
// trace log on the line "S@T:<time stamp> TCommDrv::vaVevi1FatalError 1
// <message>". The caller keeps the component from raising the error.
void DeviceFormFatalError(const char *message);

// A line error of the form's serial component: the message "error";
// nothing is recorded.
void DeviceFormCommError();

// The form's message box: the text, an OK button, no icon, modal for the
// calling thread, centred on the screen, with the host program's name as
// its caption. Returns when the user has closed it.
void ShowDeviceFormMessage(const char *text);

}  // namespace torvex::sat
