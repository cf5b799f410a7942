// Vavevi: the event-driven serial communication component, one header per
// class, all of them included here:
//
//   vavevi_types.h       the enumerations, handler types and registered
//                        messages of the component
//   vavevi_eventlist.h   TEventList, the watched byte sequences
//   vavevi_commthread.h  TCommThread, which waits on the port
//   vavevi_msgthread.h   TMsgThread, which has WinProc handle port events
//   vavevi_comm.h        TnrCustomComm, the serial core
//   vavevi_serialcomm.h  TnrCustomSerialComm, the core on a numbered COM port
//
// and TvaVevi, the concrete class that forms build by name.
#pragma once

#include "vavevi_comm.h"
#include "vavevi_commthread.h"
#include "vavevi_eventlist.h"
#include "vavevi_msgthread.h"
#include "vavevi_serialcomm.h"
#include "vavevi_types.h"

class VAVEVI_API TvaVevi : public TnrCustomSerialComm {
 public:
  explicit TvaVevi(TComponent *owner) : TnrCustomSerialComm(owner) {}
  ~TvaVevi() override;

  const TPropertyTable &Published() const override;
};
