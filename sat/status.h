// The status record: the outcome of the last operation, which every layer
// above the serial port writes and CodigoErro copies out whole.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>

#include "satlimits.h"
#include "text.h"
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

// A 32-bit code followed by a 100-byte message, copied out whole (104
// bytes) by CodigoErro. The reader thread stores the code last, with release
// semantics; the waiting command loads it with acquire.
struct StatusRecordType {
  std::atomic<std::int32_t> StatusCode{0};
  char StatusMessage[kStatusMessageSize]{};

  std::int32_t Code() const { return StatusCode.load(std::memory_order_acquire); }
};
static_assert(sizeof(std::atomic<std::int32_t>) == 4);

// Clears the whole record: code 0 and all 100 bytes of the message zero.
inline void ClearStatus(StatusRecordType &status) {
  std::memset(status.StatusMessage, 0, sizeof status.StatusMessage);
  status.StatusCode.store(kStatusOk, std::memory_order_release);
}

// Sets the code and the message together (the message cut to 99
// characters); the code is stored last.
inline void SetStatus(StatusRecordType &status, std::int32_t code, const char *message) {
  CopyText(status.StatusMessage, sizeof status.StatusMessage, message);
  status.StatusCode.store(code, std::memory_order_release);
}

// Replaces the message alone (cut to 99 characters); the code stays as it
// is: the reply scan's "Codigo: ..." text after the reply's code 0, or an
// empty message while a send presets the record.
inline void SetStatusMessage(StatusRecordType &status, const char *message) {
  CopyText(status.StatusMessage, sizeof status.StatusMessage, message);
}

}  // namespace torvex::sat
