// Vavevi: the serial component's types. The line settings and trace states
// as enumerations (with their names for forms), the handler types of the
// component's events, the elapsed-time counter the waits use, and the two
// registered messages that carry port events between its threads.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "nrclasses.h"

enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TStopBits { sbOne, sbOneAndHalf, sbTwo };
enum TStreamProtocol { spNone, spXonXoff, spHardware };
enum TTerminalUsage { tuNone, tuSend, tuReceive, tuBoth };
enum TModemSignal { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = TSet<TModemSignal>;
enum TTraceState {
  tsRxChar,
  tsRxFlag,
  tsTxEmpty,
  tsCTS,
  tsDSR,
  tsRLSD,
  tsBreak,
  tsErr,
  tsRing,
  tsRx80Full,
  tsEvent1,
  tsEvent2
};
using TTraceStates = TSet<TTraceState, std::uint16_t>;
// The line-status flags of the Win32 communication status (COMSTAT).
enum TComStateFlag { fCtsHold, fDsrHold, fRlsdHold, fXoffHold, fXoffSent, fEof, fTxim };
using TComStateFlags = TSet<TComStateFlag>;
// COM1 to COM8, and cpCOMxx for any other port number.
enum TComPort { cpCOM1, cpCOM2, cpCOM3, cpCOM4, cpCOM5, cpCOM6, cpCOM7, cpCOM8, cpCOMxx };

template <>
struct EnumNames<TParity> {
  static constexpr std::array<std::string_view, 5> names{"pNone", "pOdd", "pEven", "pMark",
                                                         "pSpace"};
};
template <>
struct EnumNames<TStopBits> {
  static constexpr std::array<std::string_view, 3> names{"sbOne", "sbOneAndHalf", "sbTwo"};
};
template <>
struct EnumNames<TStreamProtocol> {
  static constexpr std::array<std::string_view, 3> names{"spNone", "spXonXoff", "spHardware"};
};
template <>
struct EnumNames<TTerminalUsage> {
  static constexpr std::array<std::string_view, 4> names{"tuNone", "tuSend", "tuReceive", "tuBoth"};
};
template <>
struct EnumNames<TTraceState> {
  static constexpr std::array<std::string_view, 12> names{
      "tsRxChar", "tsRxFlag", "tsTxEmpty", "tsCTS",      "tsDSR",    "tsRLSD",
      "tsBreak",  "tsErr",    "tsRing",    "tsRx80Full", "tsEvent1", "tsEvent2"};
};
template <>
struct EnumNames<TComPort> {
  static constexpr std::array<std::string_view, 9> names{
      "cpCOM1", "cpCOM2", "cpCOM3", "cpCOM4", "cpCOM5", "cpCOM6", "cpCOM7", "cpCOM8", "cpCOMxx"};
};

// (Com, EventNo, Buffer, Received, flHandled): a watched sequence was seen.
// Buffer holds the sequence followed by the rest of the received block;
// setting flHandled keeps the block from OnAfterReceive.
using TOnListEvent = Handler<void(TObject *Com, int EventNo, const std::uint8_t *Buffer,
                                  int Received, bool &flHandled)>;
using TOnTraceEvent = Handler<void(TObject *Com, TTraceStates Event)>;
// (Com, CommCode: the line-error bits, SysError, State, flFlashBuffers):
// setting flFlashBuffers purges both directions and cancels pending I/O.
using TOnCommErrorEvent = Handler<void(TObject *Com, std::uint32_t CommCode, std::uint32_t SysError,
                                       TComStateFlags State, bool &flFlashBuffers)>;

// Milliseconds passed since it was made, counted in 64 bits from the 32-bit
// tick count (read at least once every 49 days).
class TnrElapsed {
 public:
  TnrElapsed() : last_(GetTickCount()) {}
  std::uint64_t Ms() {
    DWORD now = GetTickCount();
    total_ += now - last_;
    last_ = now;
    return total_;
  }
  // Whether a time-out of ms (INFINITE: none) has passed.
  bool Passed(DWORD ms) { return ms != INFINITE && Ms() > ms; }

 private:
  DWORD last_;
  std::uint64_t total_ = 0;
};

// The registered messages, registered when the library is loaded: the
// comm-event message ("vaVeviMsgComEvent", the port's event bits in its
// first parameter) and the quit message ("vaVeviMsgQuitComEvent").
VAVEVI_API UINT CommEventMessage();
VAVEVI_API UINT QuitCommEventMessage();
