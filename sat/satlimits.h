// Sizes shared by the SAT command path.
#pragma once
#include <cstddef>
#include <cstdint>

namespace torvex::sat {

// Every command and reply buffer holds up to 2 MiB of text or bytes, plus a
// terminating NUL so that a full buffer is still a valid C string.
inline constexpr std::size_t kBufSize = 2u * 1024u * 1024u;
using TextBuffer = char[kBufSize + 1];

// A frame is 9 bytes of envelope plus its payload, built in a 2 MiB buffer.
inline constexpr std::size_t kFrameOverhead = 9;
inline constexpr std::size_t kMaxPayload = kBufSize - kFrameOverhead;

// Header of a data frame from the device: type, sequence, three reply bytes,
// a 4-byte tag and the 4-byte payload length; one checksum byte follows the
// payload.
inline constexpr std::size_t kReplyHeader = 13;

// The status message holds 99 characters and its NUL.
inline constexpr std::size_t kStatusMessageSize = 100;
inline constexpr std::size_t kPortNameSize = 100;
// The serial port object keeps its name in 10 bytes: at most 9 characters.
inline constexpr std::size_t kSerialNameSize = 10;
inline constexpr std::size_t kLogPathSize = 300;

// Every command runs the port at 115200 baud, 8N1.
inline constexpr std::uint32_t kBaudRate = 115200;

}  // namespace torvex::sat
