// The shared state of the SAT command path: one instance of each, in static
// storage, living as long as the library is loaded. The library serves one
// command at a time; the only value two threads hand over is StatusCode.
#pragma once
#include <atomic>
#include <cstdint>

#include "clock.h"
#include "satlimits.h"
#include "torvex.h"

namespace torvex::sat {

// Status codes left in the status record.
// The values are those torvex.h publishes.
enum StatusCodes : std::int32_t {
  kStatusOk = TORVEX_STATUS_OK,                  // a reply was received
  kStatusNotReady = TORVEX_STATUS_NOT_READY,     // port not ready, zlib missing, or a refusal
  kStatusChecksum = TORVEX_STATUS_CHECKSUM,      // a data frame with a wrong checksum arrived
  kStatusUnknown = TORVEX_STATUS_UNKNOWN_FRAME,  // a frame with an unknown type byte arrived
  kStatusWaiting = TORVEX_STATUS_TIMEOUT  // sent, no reply yet: a time-out when the wait ends
};

// The last status: a 32-bit code followed by a 100-byte message, copied out
// whole (104 bytes) by CodigoErro. The reader thread stores the code last,
// with release semantics; the waiting command loads it with acquire.
struct StatusRecordType {
  std::atomic<std::int32_t> StatusCode{0};
  char StatusMessage[kStatusMessageSize]{};
};
static_assert(sizeof(std::atomic<std::int32_t>) == 4);

extern StatusRecordType StatusRecord;
extern ReplySignal ReplyArrived;  // notified after every StatusCode store by the reader

// The command buffers: 2 MiB each, plus room for a terminating NUL.
extern char CommandText[kBufSize + 1];
extern char ReplyText[kBufSize + 1];
extern char ResultText[kBufSize + 1];
extern char MessageField[kBufSize + 1];
extern char LastTxText[kBufSize + 1];
extern char LastRxText[kBufSize + 1];
// Number of payload bytes of the last data frame copied into ReplyText (the
// reply may hold NUL bytes, as the sale's compressed tail does).
extern std::size_t ReplyLength;

extern char PortName[kPortNameSize];
extern char LogPath[kLogPathSize];
extern bool LogEnabled;
extern bool PortFound;

// The last 100 session numbers handed out.
struct SessionRingType {
  std::int32_t Numbers[100]{};
  int Next = 0;
};
extern SessionRingType SessionRing;

// Sets the status code and message together (message cut to 99 characters).
void SetStatus(std::int32_t code, const char *message);

}  // namespace torvex::sat
