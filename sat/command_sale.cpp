#include "command_sale.h"

#include <cstring>

#include "command_road.h"
#include "platform.h"
#include "text.h"
#include "tracelog.h"

namespace torvex::sat {

namespace {
// zlib's entry points are looked up by name in the loaded module at each
// use, and called through CallCompress2/CallUncompress (platform.h).
constexpr int kLevel = 2;
constexpr int kZOk = 0;
constexpr int kZMemError = -4;
constexpr int kZBufError = -5;

const char kSaleTooLarge[] = "Dados da venda excedem o tamanho maximo do comando";

// The text of a compress2 failure: one that says the output did not fit is
// about size; any other is a failure of the compression itself.
void CompressionFailure(int code, char *text, std::size_t cap) {
  if (code == kZMemError)
    CopyText(text, cap, "Erro ao compactar os dados da venda: memoria insuficiente");
  else
    FormatText(text, cap, "Erro ao compactar os dados da venda (zlib %d)", code);
}

void PutLe32(std::uint8_t *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
}  // namespace

void ExpandSaleReply(void *zlibModule, TextBuffer &replyText, std::size_t &replyLength,
                     char (&expanded)[kBufSize + 1]) {
  expanded[0] = '\0';
  // Find the sixth "|" within the text part of the reply.
  char *bar = replyText;
  for (int i = 0; i < 6; ++i) {
    bar = std::strchr(i == 0 ? bar : bar + 1, '|');
    if (bar == nullptr) return;  // fewer than six fields: returned as received
  }
  std::size_t tailStart = static_cast<std::size_t>(bar + 1 - replyText);
  if (tailStart + 4 > replyLength) return;  // no length field: as received
  const auto *tail = reinterpret_cast<const std::uint8_t *>(replyText) + tailStart;
  std::uint32_t d = std::uint32_t{tail[0]} | std::uint32_t{tail[1]} << 8 |
                    std::uint32_t{tail[2]} << 16 | std::uint32_t{tail[3]} << 24;
  if (d == 0) return;  // nothing compressed: as received

  void *uncompress = FindModuleSymbol(zlibModule, "uncompress");
  if (uncompress != nullptr) {
    // Only the bytes that actually arrived are handed to zlib; the output is
    // bounded by the 2 MiB decompression buffer, so a stream that would
    // inflate further (a decompression bomb) is cut there. The buffer is
    // cleared first, and on a failure the length zlib reports is not
    // trusted (older builds leave it as it was passed in): only the text it
    // really produced, up to its first NUL, is used, never bytes of an
    // earlier sale's expansion.
    std::memset(expanded, 0, sizeof expanded);
    std::size_t available = replyLength - tailStart - 4;
    unsigned long sourceLen = d < available ? d : static_cast<unsigned long>(available);
    unsigned long destLen = kBufSize;
    int rc = CallUncompress(uncompress, reinterpret_cast<std::uint8_t *>(expanded), &destLen,
                            tail + 4, sourceLen);
    std::size_t produced = rc == kZOk && destLen <= kBufSize ? destLen : kBufSize;
    expanded[strnlen(expanded, produced)] = '\0';
  }
  // End the reply after the sixth "|" and append the expanded text (cut to
  // what ReplyText can hold). A corrupt stream appends what zlib produced
  // before it failed, possibly nothing.
  replyText[tailStart] = '\0';
  CopyText(replyText + tailStart, sizeof replyText - tailStart, expanded);
  replyLength = std::strlen(replyText);
}

void AfterSaleReply(CommandState &state) {
  ExpandSaleReply(state.ZlibModule, state.ReplyText, state.ReplyLength, state.Sale.ExpandedReply);
  RecordLastRx(state.LastRxText, state.ReplyText);
}

Composed ComposeSale(CommandState &state, Destination to, const char *name, int session,
                     const char *code, const char *saleData) {
  code = OrEmpty(code);
  saleData = OrEmpty(saleData);
  StatusRecordType &status = state.StatusRecord;
  TextWriter text(state.CommandText, sizeof state.CommandText, kMaxPayload);
  // The text part: "%06ld|EnviarDadosVenda|<code>|".
  auto putTextPart = [&] { text.Put("%06ld|%s|%s|", static_cast<long>(session), name, code); };
  if (to == Destination::kHub) {
    // Shown only: the sale goes to the hub as text.
    putTextPart();
    if (text.Fits())
      CopyText(state.CommandText + text.Length(), sizeof state.CommandText - text.Length(),
               saleData);
    return {.length = std::strlen(state.CommandText)};
  }

  // Never call into a compression library that is not there.
  void *compress2 = FindModuleSymbol(state.ZlibModule, "compress2");
  if (compress2 == nullptr) return {.refusal = Refuse(status, kZlibMissingText)};

  std::uint8_t *compressed = state.Sale.CompressedSale;
  unsigned long compressedLen = kBufSize;
  std::size_t saleLen = std::strlen(saleData);
  if (saleLen > 0xffffffffu)  // beyond zlib's lengths
    return {.refusal = Refuse(status, kSaleTooLarge)};
  int rc = CallCompress2(compress2, compressed, &compressedLen,
                         reinterpret_cast<const std::uint8_t *>(saleData),
                         static_cast<unsigned long>(saleLen), kLevel);
  if (rc == kZBufError || (rc == kZOk && compressedLen > kBufSize))
    return {.refusal = Refuse(status, kSaleTooLarge)};
  if (rc != kZOk) {
    char failure[kStatusMessageSize];
    CompressionFailure(rc, failure, sizeof failure);
    return {.refusal = Refuse(status, failure)};
  }

  // The compressed length and data follow the text part.
  putTextPart();
  if (!text.Fits() || text.Length() + 4 + compressedLen > kMaxPayload) {
    state.CommandText[0] = '\0';
    return {.refusal = Refuse(status, kSaleTooLarge)};
  }
  auto *payload = reinterpret_cast<std::uint8_t *>(state.CommandText);
  std::size_t textLen = text.Length();
  PutLe32(payload + textLen, static_cast<std::uint32_t>(compressedLen));
  std::memcpy(payload + textLen + 4, compressed, compressedLen);
  std::size_t payloadLen = textLen + 4 + compressedLen;
  payload[payloadLen] = 0;
  return {.length = payloadLen, .binary = true};
}

}  // namespace torvex::sat
