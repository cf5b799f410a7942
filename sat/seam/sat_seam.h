// What the SAT path offers the rooms beside it (the device form, form/):
// two steps on the library's command state, each taken under the lock every
// export holds, so that a step asked for while a SAT call runs waits until
// that call has ended. Nothing else of the command state is reachable from
// outside sat/.
#pragma once

namespace torvex::sat {

// Clears the whole status record (code 0, all 100 bytes of the message
// zero) and loads the compression library when it is not loaded; when it
// cannot be loaded, code 1 with "TORVEX.dll necessita zlib.dll". Returns
// whether the compression library is loaded. Raises nothing.
bool ClearStatusAndLoadZlib();

// Records a component's fatal error: code 1 whatever the component's code,
// with its message (cut to 99 characters), and, while the trace log is on,
// the line "S@T:<time stamp> <reporter> 1 <message>". Raises nothing.
void RecordComponentFatalError(const char *reporter, const char *message);

}  // namespace torvex::sat
