// Fuzzes the sale reply as it comes from the device: the expansion of its
// compressed tail (with the real zlib) and the scan of its fields.
//
// Input: the reply payload, as a data frame would carry it.
#include <cstdint>
#include <cstring>

#include "comm.h"
#include "sale.h"
#include "satstate.h"

using namespace torvex::sat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool zlib = EnsureZlib();
  if (!zlib || size > kBufSize) return 0;
  std::memcpy(ReplyText, data, size);
  ReplyText[size] = '\0';
  ReplyLength = size;
  ExpandSaleReply();
  if (ReplyLength > kBufSize || ReplyText[ReplyLength] != '\0') __builtin_trap();
  FinishReply(ReplyPattern::kFourFields);
  return 0;
}
