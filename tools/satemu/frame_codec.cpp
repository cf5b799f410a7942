#include "frame_codec.h"

namespace satemu {

namespace {

void put_u32le(std::string &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t get_u32le(std::string_view bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) {
    v = (v << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return v;
}

}  // namespace

std::uint8_t byte_sum(std::string_view bytes) {
  std::uint32_t sum = 0;
  for (char c : bytes) sum += static_cast<std::uint8_t>(c);
  return static_cast<std::uint8_t>(sum & 0xFF);
}

std::string encode_command_frame(std::uint8_t sequence, std::string_view payload) {
  std::string out;
  out.reserve(payload.size() + 9);
  out.push_back(static_cast<char>(kFrameData));
  out.push_back(static_cast<char>(sequence));
  out.push_back('\0');
  out.push_back('\0');
  put_u32le(out, static_cast<std::uint32_t>(payload.size()));
  out.append(payload);
  out.push_back(static_cast<char>(byte_sum(std::string_view(out).substr(1))));
  return out;
}

std::string encode_reply_frame(std::uint8_t sequence, std::string_view payload,
                               const ReplyFrameShape &shape) {
  std::string out;
  out.reserve(payload.size() + kReplyHeaderSize + 1);
  out.push_back(static_cast<char>(shape.type));
  out.push_back(static_cast<char>(sequence));
  out.append(3, '\0');  // reply bytes A, B, C
  out.append(4, '\0');  // reply tag
  put_u32le(out, shape.declared_length.value_or(static_cast<std::uint32_t>(payload.size())));
  out.append(payload);
  const int sum = byte_sum(std::string_view(out).substr(1)) + shape.checksum_delta;
  out.push_back(static_cast<char>(static_cast<std::uint8_t>(sum & 0xFF)));
  return out;
}

std::optional<ReplyFrame> parse_reply_frame(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  ReplyFrame f;
  f.type = static_cast<std::uint8_t>(bytes[0]);
  if (f.type == kFrameAck) {
    f.size = 1;
    f.checksum_ok = true;
    return f;
  }
  if (f.type != kFrameData || bytes.size() < kReplyHeaderSize) return std::nullopt;
  const std::uint32_t len = get_u32le(bytes, 9);
  if (bytes.size() - kReplyHeaderSize < static_cast<std::size_t>(len) + 1) return std::nullopt;
  f.sequence = static_cast<std::uint8_t>(bytes[1]);
  f.payload.assign(bytes.substr(kReplyHeaderSize, len));
  f.size = kReplyHeaderSize + len + 1;
  f.checksum_ok = byte_sum(bytes.substr(1, kReplyHeaderSize - 1 + len)) ==
                  static_cast<std::uint8_t>(bytes[kReplyHeaderSize + len]);
  return f;
}

void CommandDecoder::feed(std::string_view bytes, std::vector<DecodeEvent> &events) {
  if (skipping_) {
    skipped_ += bytes.size();
    return;
  }
  buffer_.append(bytes);
  drain(events);
}

void CommandDecoder::drain(std::vector<DecodeEvent> &events) {
  while (!buffer_.empty()) {
    if (static_cast<std::uint8_t>(buffer_[0]) != kFrameData) {
      // Resynchronise on the next byte that can start a frame.
      std::size_t next = buffer_.find(static_cast<char>(kFrameData));
      if (next == std::string::npos) next = buffer_.size();
      DecodeEvent e;
      e.kind = DecodeEvent::Kind::BadStart;
      e.bytes = next;
      events.push_back(std::move(e));
      buffer_.erase(0, next);
      continue;
    }
    if (buffer_.size() < kCommandHeaderSize) return;
    const std::uint32_t len = get_u32le(buffer_, 4);
    if (len > kMaxCommandPayload) {
      DecodeEvent e;
      e.kind = DecodeEvent::Kind::BadLength;
      e.bytes = buffer_.size();
      e.declared = len;
      events.push_back(std::move(e));
      buffer_.clear();
      buffer_.shrink_to_fit();
      skipping_ = true;
      skipped_ = 0;
      return;
    }
    const std::size_t total = kCommandHeaderSize + len + 1;
    if (buffer_.size() < total) return;
    DecodeEvent e;
    e.frame.sequence = static_cast<std::uint8_t>(buffer_[1]);
    e.frame.payload.assign(buffer_, kCommandHeaderSize, len);
    e.expected = byte_sum(std::string_view(buffer_).substr(1, kCommandHeaderSize - 1 + len));
    e.received = static_cast<std::uint8_t>(buffer_[total - 1]);
    e.kind = e.expected == e.received ? DecodeEvent::Kind::Frame : DecodeEvent::Kind::BadChecksum;
    e.bytes = total;
    events.push_back(std::move(e));
    buffer_.erase(0, total);
  }
}

void CommandDecoder::flush_stale(std::vector<DecodeEvent> &events) {
  if (!has_partial()) return;
  DecodeEvent e;
  e.kind = DecodeEvent::Kind::Stale;
  e.bytes = skipping_ ? skipped_ : buffer_.size();
  events.push_back(std::move(e));
  buffer_.clear();
  skipping_ = false;
  skipped_ = 0;
}

SequenceTracker::Verdict SequenceTracker::check(std::uint8_t sequence) {
  const auto previous = last_;
  last_ = sequence;
  if (!previous) return Verdict::First;
  if (static_cast<std::uint8_t>(*previous + 1) == sequence) return Verdict::InOrder;
  if (sequence == 0) return Verdict::Restarted;
  return Verdict::OutOfOrder;
}

}  // namespace satemu
