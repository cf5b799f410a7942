#include "sat_seam.h"

#include "command_road.h"
#include "command_state.h"
#include "status.h"
#include "text.h"
#include "timestamp.h"
#include "tracelog.h"

namespace torvex::sat {

bool ClearStatusAndLoadZlib() {
  CommandState &state = TheCommandState();
  Locked lock(state.OneCallAtATime);
  ClearStatus(state.StatusRecord);
  bool zlib = EnsureZlib(state.ZlibModule);
  if (!zlib) SetStatus(state.StatusRecord, kStatusNotReady, kZlibMissingText);
  return zlib;
}

void RecordComponentFatalError(const char *reporter, const char *message) {
  CommandState &state = TheCommandState();
  Locked lock(state.OneCallAtATime);
  StatusRecordType &status = state.StatusRecord;
  TraceFile trace(state.Trace);  // opened only while the trace log is on
  Timestamp stamp{};
  if (trace.IsOpen()) stamp = MakeTimestamp();
  SetStatus(status, kStatusNotReady, message);
  trace.Printf("S@T:%s %s %ld %s\n", stamp.text, OrEmpty(reporter),
               static_cast<long>(status.Code()), status.StatusMessage);
}

}  // namespace torvex::sat
