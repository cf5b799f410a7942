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

#include "command_road.h"
#include "command_state.h"

namespace torvex::sat {

// The sale's steps on the command road (its row in command_catalogue.h).

// Composes the sale command (name: EnviarDadosVenda) into state.CommandText. For the device: the
// text part, the compressed length and the compressed sale (refused, code 1, when zlib is missing,
// compression fails or the block does not fit a frame). For the hub, which compresses the sale
// itself: the text part and the sale as text, cut to the buffer, for LastTx and the trace only.
Composed ComposeSale(CommandState &state, Destination to, const char *name, int session,
                     const char *code, const char *saleData);

// After the sale's reply came: its compressed tail expanded in place, and
// LastRx showing the expanded reply.
void AfterSaleReply(CommandState &state);

// Expands, in place, the compressed tail of a sale reply of replyLength
// bytes received in replyText, through zlibModule's uncompress and the
// decompression output expanded. The result is cut to fit replyText, and
// replyLength becomes its length.
void ExpandSaleReply(void *zlibModule, TextBuffer &replyText, std::size_t &replyLength,
                     char (&expanded)[kBufSize + 1]);

}  // namespace torvex::sat
