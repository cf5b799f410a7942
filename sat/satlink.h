// Sending a command frame and receiving the device's reply.
#pragma once
#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace torvex::sat {

// Sends a NUL-terminated command text (the payload is the text without its
// NUL). Presets the waiting state (StatusCode 32768 with the time-out text)
// before the frame is written, records LastTxText and the trace lines.
// Returns false, without sending or changing the status, when the text is
// longer than a frame can carry (2 MiB - 9 bytes).
bool EnviaComando(const char *text);
// The same for a command block of count bytes that may hold NUL bytes.
bool EnviaComandoBinario(const std::uint8_t *bytes, std::size_t count);

// The reception handler: runs on the reader thread for every burst. Unpacks
// the frame at the start of the burst, stores a data frame's payload in
// ReplyText (NUL-terminated right after the payload), records LastRxText and
// the trace lines, and stores StatusCode last: 0 for a good data frame, 3
// for a bad checksum, 4 for an unknown frame, unchanged for ACK and the
// other control frames.
void RxThread(const std::uint8_t *bytes, std::size_t count);

// Writes LastRxText as "<time stamp>=<text>" (text cut to fit).
void RecordLastRx(const char *text);

// The two frame records and the frame buffer (for tests).
extern FrameRecord OutgoingFrame;
extern FrameRecord ReceivedFrame;
extern std::uint8_t FrameBuffer[kBufSize];
extern std::size_t FrameLength;  // bytes of the last frame built

}  // namespace torvex::sat
