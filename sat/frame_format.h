// The frame that carries a command to the device and a reply back.
//
// Command frame (L = payload length):
//   0x01 | sequence | 0x00 | 0x00 | L (uint32 LE) | payload | checksum
// Reply data frame:
//   0x01 | sequence | A | B | C | tag[4] | L (uint32 LE) | payload | checksum
// The checksum is the sum, modulo 256, of every byte after the type byte up
// to the end of the payload. There is no end marker: the length alone
// delimits the payload, and the line falls silent after a frame.
// The device may also send the control frames 0x06 (ACK), 0x11, 0x15 and
// 0x16.
#pragma once
#include <cstddef>
#include <cstdint>

#include "satlimits.h"

namespace torvex::sat {

// Results of ParseFrame.
enum FrameResult : int {
  kFrameData = 1,  // data frame, checksum good
  kFrameBadChecksum = -2,
  kFrameUnknown = -1,  // unknown type byte
  kFrameAck = 6,
  kFrameDc1 = 17,
  kFrameNak = 21,
  kFrameSyn = 22,
};

// The in-memory form of a frame, with room for both directions. Payload
// bytes beyond the recorded lengths are not meaningful.
struct FrameRecord {
  std::uint8_t type;
  std::uint8_t sequence;
  std::uint8_t spare;
  std::uint8_t commandA;
  std::uint8_t commandB;
  std::uint32_t commandLength;
  std::uint8_t commandPayload[kBufSize];
  std::uint8_t replyA, replyB, replyC;
  std::uint8_t replyTag[4];
  std::uint32_t replyLength;
  std::uint8_t replyPayload[kBufSize];
  std::uint8_t checksum;

  // Clears every field; the payload bytes are left as they are, since the
  // lengths (now 0) say that none of them is meaningful.
  void Clear();
};

// Writes the frame of an outgoing record into out. Returns its length
// (commandLength + 9), or 0 if it does not fit in cap bytes.
std::size_t BuildFrame(const FrameRecord &record, std::uint8_t *out, std::size_t cap);

// The length of the frame at the start of the count received bytes: 0 when
// its type says more bytes belong to it than have arrived (a data frame
// whose payload is still on its way), count for a frame whose end cannot be
// known (an unknown type byte, a data frame declaring more than 2 MiB).
std::size_t FrameExtent(const std::uint8_t *bytes, std::size_t count);

// Unpacks the frame at the start of the count received bytes into record
// (cleared first) and returns its FrameResult. Never reads past count bytes:
// a data frame whose declared length runs past the bytes received is
// reported as a bad checksum, with the payload bytes that did arrive. A
// declared length over 2 MiB is cut to 2 MiB after a warning on stdout.
int ParseFrame(const std::uint8_t *bytes, std::size_t count, FrameRecord &record);

}  // namespace torvex::sat
