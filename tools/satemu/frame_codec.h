// Frames on the serial line between the library and the device.
//
// Command frame (library -> device):
//   0x01, sequence, 0x00, 0x00, length L (uint32 LE), L payload bytes, checksum
// Reply data frame (device -> library):
//   0x01, sequence, A, B, C, tag[4], length L (uint32 LE), L payload bytes, checksum
// The checksum is the low byte of the sum of every byte after the type byte
// up to the end of the payload. The length field alone delimits a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace satemu {

inline constexpr std::uint8_t kFrameData = 0x01;
inline constexpr std::uint8_t kFrameAck = 0x06;
inline constexpr std::size_t kFrameBufferSize = 2 * 1024 * 1024;
// Largest command payload the library can frame (its frame buffer is 2 MiB).
inline constexpr std::size_t kMaxCommandPayload = kFrameBufferSize - 9;
inline constexpr std::size_t kCommandHeaderSize = 8;
inline constexpr std::size_t kReplyHeaderSize = 13;

// Low byte of the sum of the bytes.
std::uint8_t byte_sum(std::string_view bytes);

// A command frame as the library builds it (used by test clients).
std::string encode_command_frame(std::uint8_t sequence, std::string_view payload);

// How a reply frame deviates from a well-formed one (for fault injection).
struct ReplyFrameShape {
  std::uint8_t type = kFrameData;
  std::optional<std::uint32_t> declared_length;  // default: payload size
  int checksum_delta = 0;                        // added to the true checksum
};

std::string encode_reply_frame(std::uint8_t sequence, std::string_view payload,
                               const ReplyFrameShape &shape = {});

// A reply frame as read back by a client (tests).
struct ReplyFrame {
  std::uint8_t type = 0;
  std::uint8_t sequence = 0;
  std::string payload;
  bool checksum_ok = false;
  std::size_t size = 0;  // bytes the frame occupies
};

// Parses the frame at the start of `bytes`: a data frame, or a one-byte ACK.
// Returns nothing while the frame is incomplete or the type is unknown.
std::optional<ReplyFrame> parse_reply_frame(std::string_view bytes);

struct CommandFrame {
  std::uint8_t sequence = 0;
  std::string payload;
};

// What the decoder found in the bytes received from the library.
struct DecodeEvent {
  enum class Kind {
    Frame,        // a good command frame
    BadChecksum,  // a whole frame whose checksum does not match
    BadStart,     // bytes that cannot start a frame were skipped
    BadLength,    // a declared length beyond the limit; input ignored until silence
    Stale,        // a partial frame dropped after silence
  };
  Kind kind = Kind::Frame;
  CommandFrame frame;          // Frame and BadChecksum
  std::size_t bytes = 0;       // bytes the event consumed
  std::uint8_t expected = 0;   // BadChecksum: computed checksum
  std::uint8_t received = 0;   // BadChecksum: checksum byte received
  std::uint32_t declared = 0;  // BadLength: the declared length
};

// Splits the byte stream from the library into command frames. Bytes can
// arrive in any pieces; a frame is complete when its declared length and the
// checksum byte have arrived.
class CommandDecoder {
 public:
  void feed(std::string_view bytes, std::vector<DecodeEvent> &events);
  // Called after a silence: drops a partial frame (or ends skipping after a
  // bad length). Emits a Stale event when something was dropped.
  void flush_stale(std::vector<DecodeEvent> &events);
  bool has_partial() const { return !buffer_.empty() || skipping_; }

 private:
  void drain(std::vector<DecodeEvent> &events);
  std::string buffer_;
  bool skipping_ = false;
  std::size_t skipped_ = 0;
};

// Follows the sequence bytes of successive commands.
class SequenceTracker {
 public:
  enum class Verdict { First, InOrder, Restarted, OutOfOrder };
  Verdict check(std::uint8_t sequence);
  std::optional<std::uint8_t> last() const { return last_; }

 private:
  std::optional<std::uint8_t> last_;
};

}  // namespace satemu
