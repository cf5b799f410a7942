// Vavevi: what the comm and message threads see of the serial component.
//
// The threads reach the component only through this side of it: the port's
// handle, whether the port is still in use, the two counters the comm thread
// paces and judges its waits by, the line event it sets for the waits of
// WaitForBytes and WaitForSignal, the halt it asks for when the port has
// gone, and WinProc for the messages the message thread handles. Made on
// the spot from the component; it holds nothing else.
#pragma once

#include <windows.h>

#include <cstdint>

class TnrCustomComm;

class TCommPortSide {
 public:
  explicit TCommPortSide(TnrCustomComm &comm) : comm_(comm) {}

  HANDLE Handle() const;
  // The port is open.
  bool Open() const;
  // The port is open and no halt or close has begun.
  bool InUse() const;
  // WinProc left received bytes queued (the driver reports them again).
  bool HasUnread() const;
  // Grows around each new event mask: a wait that ended while it changed
  // was ended by the new mask, not by a port that has gone.
  std::uint32_t MaskChanges() const;
  // Wakes the waits for bytes and modem lines: a port event arrived.
  void SignalLine();
  // Closes the port from the comm thread (no message thread to take it).
  void Halt();
  // Has the component handle a comm-event message.
  void HandleMessage(const MSG &message);

 private:
  TnrCustomComm &comm_;
};
