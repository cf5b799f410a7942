// Fuzzes what the device sends back: bursts of bytes handed to the
// reception handler as the reader hands them (bytes it leaves are handed
// over again with the next burst), then the scan of the reply fields.
//
// Input: byte 0 chooses which sessions the command accepts and the reply
// pattern; then bursts, each a 2-byte little-endian length and its bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "command_road.h"
#include "command_state.h"
#include "serial_reader.h"

using namespace torvex::sat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static std::vector<std::uint8_t> buffer(kReceiveBufferSize);
  static CommandState &state = *new CommandState();
  if (size < 1) return 0;
  SendOptions options;
  options.accept = static_cast<ReplySession>(data[0] % 3);
  options.writeLimitMs = 0;
  ReplyPattern pattern = data[0] & 4 ? ReplyPattern::kFourFields : ReplyPattern::kThreeFields;
  state.Line.EnviaComando("000042|ConsultarNumeroSessao|12345678|17", options);  // not written

  std::size_t count = 0;
  std::size_t at = 1;
  while (at + 2 <= size) {
    std::size_t length = data[at] | std::size_t{data[at + 1]} << 8;
    at += 2;
    if (length > size - at) length = size - at;
    std::size_t room = buffer.size() - count;
    std::size_t take = length < room ? length : room;
    std::memcpy(buffer.data() + count, data + at, take);
    count += take;
    at += length;
    std::size_t used = state.Line.Received(buffer.data(), count);
    if (used > count) __builtin_trap();
    std::memmove(buffer.data(), buffer.data() + used, count - used);
    count -= used;
  }
  if (state.ReplyLength > kBufSize || state.ReplyText[state.ReplyLength] != '\0') __builtin_trap();
  if (state.StatusRecord.Code() == kStatusOk)
    FinishReply(pattern, state.ReplyText, state.MessageField, state.StatusRecord);
  return 0;
}
