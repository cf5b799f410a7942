// Nrddbasew32: a kernel-mode driver held as a resource, turned into an open
// device handle and back.
//
// Open writes the driver file from the RCDATA resource ResourceName when the
// file DriverFile does not exist (an empty DriverFile becomes the temporary
// directory + ServiceName + ".sys"; when the system gives no temporary
// directory, creating the service fails), registers it as the demand-start
// kernel-driver service ServiceName (a service of that name that exists
// already is adopted), starts it and opens "\\.\" + ServiceName. Close closes
// the device, stops the service and deletes it; the driver file stays.
// A driver file that the object chose itself (the default) is used again only
// while it still holds exactly the resource's bytes, and is written again
// otherwise; a file that the caller named is used as it is.
//
// Failures to create or start the service are fatal errors (code 7, the
// system error as detail): OnFatalError may clear the raise flag, otherwise an
// Exception with the message is raised out of Open. A service that starts but
// whose device does not open gives the invalid handle without an error.
// Nothing goes to the debugger output but the service manager's own refusal
// to open ("OpenSCManager Er <system text>"), ahead of the fatal error.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "nrclasses.h"
#include "nrexport.h"

class VAVEVI_API TnrDriverBase : public TObject {
 public:
  TnrDriverBase();
  ~TnrDriverBase() override;  // closes

  virtual void DoFatalErrors(std::uint32_t code, std::uint32_t detail, const std::string &message);
  // The device handle, or INVALID_HANDLE_VALUE. An open driver gives its
  // handle again without touching the service.
  virtual HANDLE Open();
  // Nothing when closed; otherwise close the device, stop and remove the
  // service, and make the handle invalid.
  virtual void Close();

  // True when the service exists afterwards (created now or before).
  bool CreateService();
  // True when the service could be opened for starting (a service that is
  // running already is fine).
  bool StartService();
  // True when the service could be opened for stopping / for deletion.
  bool StopService();
  bool RemoveService();

  HANDLE GetHandle() const { return handle_; }
  bool GetActive() const { return handle_ != INVALID_HANDLE_VALUE; }

  const TOnFatalErrorEvent &GetOnFatalError() const { return onFatalError_; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { onFatalError_ = handler; }
  const std::string &GetServiceName() const { return serviceName_; }
  void SetServiceName(std::string name) { serviceName_ = std::move(name); }
  const std::string &GetDriverFile() const { return driverFile_; }
  void SetDriverFile(std::string file) {
    driverFile_ = std::move(file);
    ownFile_ = false;
  }
  const std::string &GetResourceName() const { return resourceName_; }
  void SetResourceName(std::string name) { resourceName_ = std::move(name); }

 private:
  TOnFatalErrorEvent onFatalError_;
  std::string serviceName_;
  std::string driverFile_;
  std::string resourceName_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool ownFile_ = false;  // driverFile_ is the default this object chose
};
