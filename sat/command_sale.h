// Sale submission: the sale data travels compressed after the text part of
// the command, and the device's reply carries a compressed tail that is
// expanded before the reply is returned.
//
// Command payload: "%06ld|EnviarDadosVenda|<code>|", then the compressed
// length C (uint32 little-endian), then C bytes of a zlib stream (compress2,
// level 2) of the sale text.
// Reply: six "|"-terminated fields, a length D (uint32 little-endian) and, if
// D is not 0, D bytes of a zlib stream whose text is the rest of the reply.
#pragma once
#include <cstddef>
#include <cstdint>

#include "command_state.h"

namespace torvex::sat {

// EnviarDadosVenda: the command road with the sale's compression and the
// expansion of its reply.
const char *SubmitSale(CommandState &state, std::int32_t session, const char *code,
                       const char *saleData);

// Expands, in place, the compressed tail of a sale reply of replyLength
// bytes received in replyText, through zlibModule's uncompress and the
// decompression output expanded. The result is cut to fit replyText, and
// replyLength becomes its length.
void ExpandSaleReply(void *zlibModule, TextBuffer &replyText, std::size_t &replyLength,
                     char (&expanded)[kBufSize + 1]);

}  // namespace torvex::sat
