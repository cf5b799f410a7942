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

namespace torvex::sat {

const char *SubmitSale(std::int32_t session, const char *code, const char *saleData);

// Expands the compressed tail of the sale reply held in ReplyText (with
// ReplyLength bytes received), in place. The result is cut to fit ReplyText.
void ExpandSaleReply();

// The compression and decompression outputs (2 MiB each).
extern std::uint8_t CompressedSale[];
extern char ExpandedReply[];

}  // namespace torvex::sat
