// Fuzzes the sale reply as it comes from the device: the expansion of its
// compressed tail (with the real zlib) and the scan of its fields.
//
// Input: the reply payload, as a data frame would carry it.
#include <cstdint>
#include <cstring>

#include "command_road.h"
#include "command_sale.h"
#include "command_state.h"

using namespace torvex::sat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static CommandState &state = *new CommandState();
  static bool zlib = EnsureZlib(state.ZlibModule);
  if (!zlib || size > kBufSize) return 0;
  std::memcpy(state.ReplyText, data, size);
  state.ReplyText[size] = '\0';
  state.ReplyLength = size;
  ExpandSaleReply(state.ZlibModule, state.ReplyText, state.ReplyLength, state.Sale.ExpandedReply);
  if (state.ReplyLength > kBufSize || state.ReplyText[state.ReplyLength] != '\0') __builtin_trap();
  FinishReply(ReplyPattern::kFourFields, state.ReplyText, state.MessageField, state.StatusRecord);
  return 0;
}
