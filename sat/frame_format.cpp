#include "frame_format.h"

#include <cstdio>
#include <cstring>

namespace torvex::sat {

void FrameRecord::Clear() {
  type = sequence = spare = commandA = commandB = 0;
  commandLength = 0;
  replyA = replyB = replyC = 0;
  std::memset(replyTag, 0, sizeof replyTag);
  replyLength = 0;
  checksum = 0;
}

namespace {
std::uint32_t ReadLe32(const std::uint8_t *p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::uint8_t Sum(const std::uint8_t *p, std::size_t n, std::uint8_t start = 0) {
  unsigned sum = start;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<std::uint8_t>(sum);
}
}  // namespace

std::size_t BuildFrame(const FrameRecord &record, std::uint8_t *out, std::size_t cap) {
  std::size_t length = record.commandLength;
  if (length > kMaxPayload || length + kFrameOverhead > cap) return 0;
  out[0] = 0x01;
  out[1] = record.sequence;
  out[2] = record.commandA;
  out[3] = record.commandB;
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  std::memcpy(out + 8, record.commandPayload, length);
  out[8 + length] = Sum(out + 1, 7 + length);
  return length + kFrameOverhead;
}

std::size_t FrameExtent(const std::uint8_t *bytes, std::size_t count) {
  if (count == 0) return 0;
  std::size_t size;
  switch (bytes[0]) {
    case 0x01: {
      if (count < kReplyHeader) return 0;
      std::uint32_t length = ReadLe32(bytes + 9);
      if (length > kBufSize) return count;  // cut on reception; the rest is dropped
      size = kReplyHeader + length + 1;
      break;
    }
    case 0x06:
      size = 1;
      break;
    case 0x11:
    case 0x15:
      size = 6;
      break;
    case 0x16:
      size = 2;
      break;
    default:
      return count;
  }
  return size <= count ? size : 0;
}

int ParseFrame(const std::uint8_t *bytes, std::size_t count, FrameRecord &record) {
  record.Clear();
  if (count == 0) {
    std::printf("Codigo Controle n\xc3\xa3o reconhecido %d\n", 0);
    std::fflush(stdout);
    return kFrameUnknown;
  }
  record.type = bytes[0];
  // Bytes past the end of the burst read as 0, never from beyond it.
  auto at = [&](std::size_t i) -> std::uint8_t { return i < count ? bytes[i] : 0; };
  switch (bytes[0]) {
    case 0x01: {
      record.sequence = at(1);
      record.replyA = at(2);
      record.replyB = at(3);
      record.replyC = at(4);
      for (int i = 0; i < 4; ++i) record.replyTag[i] = at(5 + i);
      std::uint8_t lenBytes[4] = {at(9), at(10), at(11), at(12)};
      std::uint32_t length = ReadLe32(lenBytes);
      if (length > kBufSize) {
        std::printf("BUG: Pacote excesivamente grande ser\xc3\xa1 truncado: %d bytes\n",
                    static_cast<int>(length));
        std::fflush(stdout);
        length = kBufSize;
      }
      std::size_t available = count > kReplyHeader ? count - kReplyHeader : 0;
      bool complete = count >= kReplyHeader && available > length;  // payload + checksum
      std::size_t take = length < available ? length : available;
      std::memcpy(record.replyPayload, bytes + (count < kReplyHeader ? count : kReplyHeader), take);
      record.replyLength = static_cast<std::uint32_t>(take);
      if (!complete) return kFrameBadChecksum;
      record.checksum = bytes[kReplyHeader + length];
      std::uint8_t sum = Sum(bytes + 1, kReplyHeader - 1);
      sum = Sum(record.replyPayload, length, sum);
      return sum == record.checksum ? kFrameData : kFrameBadChecksum;
    }
    case 0x06:
      return kFrameAck;
    case 0x11:
    case 0x15:
      record.replyC = at(1);
      for (int i = 0; i < 4; ++i) record.replyTag[i] = at(2 + i);
      return bytes[0] == 0x11 ? kFrameDc1 : kFrameNak;
    case 0x16:
      record.sequence = at(1);
      return kFrameSyn;
    default:
      std::printf("Codigo Controle n\xc3\xa3o reconhecido %d\n", bytes[0]);
      std::fflush(stdout);
      return kFrameUnknown;
  }
}

}  // namespace torvex::sat
