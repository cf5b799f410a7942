// The state of the SAT command path: one object, in static storage, living
// as long as the library is loaded (command_state.cpp owns it). The entry
// points (the exports and the seam's steps, sat_seam.cpp) reach it through
// TheCommandState() and hand each step of a command the parts it reads and
// writes; nothing else in the library names it, and nothing outside sat/
// sees it (the device form goes through seam/sat_seam.h).
//
// The library serves one command at a time (OneCallAtATime); within a
// command, the caller's thread and the port's reader hand over through the
// status code and the reply signal (frame_exchange.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "clock.h"
#include "frame_exchange.h"
#include "remote_config.h"
#include "satlimits.h"
#include "serial_port.h"
#include "session.h"
#include "status.h"
#include "tracelog.h"

namespace torvex::sat {

// The device's port, as the commands know it.
struct KnownPort {
  // The port commands use, always "COM<n>"; empty until a probe or
  // AbreSerialSAT names one.
  char PortName[kPortNameSize] = {};
  // Set when a probe found the port answering; never cleared.
  bool PortFound = false;
};

// The sale's compression and decompression outputs.
struct SaleBuffers {
  std::uint8_t CompressedSale[kBufSize];
  char ExpandedReply[kBufSize + 1];
};

// The 2 MiB arrays have no initializers: static storage starts them as
// zeros, so loading the library writes none of their pages. (A test that
// makes a CommandState of its own value-initializes it: CommandState().)
// Its fields follow one naming rule: PascalCase, for the command's records
// (StatusRecord, CommandText, LastRxText) and the library's own parts (the
// lock, the reply signal, the line) alike.
struct CommandState {
  Lock OneCallAtATime;  // every export holds it for its whole run

  StatusRecordType StatusRecord;
  ReplySignal ReplyArrived{StatusRecord.StatusCode};

  TextBuffer CommandText;   // the command being sent (text, or text and sale block)
  TextBuffer ReplyText;     // the payload of the last data frame received
  std::size_t ReplyLength;  // its length (a sale's reply holds NUL bytes)
  TextBuffer ResultText;    // what a command returns when the port is not ready
  TextBuffer MessageField;  // the message field of the last reply
  TextBuffer LastTxText;    // "<time stamp>=<command>" of the last frame sent
  TextBuffer LastRxText;    // "<time stamp>=<reply or failure>"

  KnownPort Port;
  TraceSettings Trace;
  void *ZlibModule = nullptr;  // the compression library, loaded on first need
  SessionNumbers Sessions;
  SaleBuffers Sale;

  // Remote mode: read at the first command (remote_call.h).
  bool RemoteLoaded = false;
  RemoteSettings Remote;

  SerialPortType SerialPort;  // closed, gap time 35 ms, as PortInit leaves it
  FrameExchange Line{SerialPort, ExchangeParts{StatusRecord, ReplyArrived, ReplyText, ReplyLength,
                                               LastTxText, LastRxText, Trace}};
};

// The library's command state.
CommandState &TheCommandState();

}  // namespace torvex::sat
