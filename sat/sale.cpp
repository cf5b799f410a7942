#include "sale.h"

#include <cstring>

#include "catalogue.h"
#include "comm.h"
#include "platform.h"
#include "satlink.h"
#include "satstate.h"
#include "text.h"
#include "tracelog.h"

namespace torvex::sat {

std::uint8_t CompressedSale[kBufSize];
char ExpandedReply[kBufSize + 1];

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

void ExpandSaleReply() {
  ExpandedReply[0] = '\0';
  // Find the sixth "|" within the text part of the reply.
  char *bar = ReplyText;
  for (int i = 0; i < 6; ++i) {
    bar = std::strchr(i == 0 ? bar : bar + 1, '|');
    if (bar == nullptr) return;  // fewer than six fields: returned as received
  }
  std::size_t tailStart = static_cast<std::size_t>(bar + 1 - ReplyText);
  if (tailStart + 4 > ReplyLength) return;  // no length field: as received
  const auto *tail = reinterpret_cast<const std::uint8_t *>(ReplyText) + tailStart;
  std::uint32_t d = std::uint32_t{tail[0]} | std::uint32_t{tail[1]} << 8 |
                    std::uint32_t{tail[2]} << 16 | std::uint32_t{tail[3]} << 24;
  if (d == 0) return;  // nothing compressed: as received

  void *uncompress = FindModuleSymbol(ZlibModule, "uncompress");
  if (uncompress != nullptr) {
    // Only the bytes that actually arrived are handed to zlib; the output is
    // bounded by the 2 MiB decompression buffer, so a stream that would
    // inflate further (a decompression bomb) is cut there. The buffer is
    // cleared first, and on a failure the length zlib reports is not
    // trusted (older builds leave it as it was passed in): only the text it
    // really produced, up to its first NUL, is used, never bytes of an
    // earlier sale's expansion.
    std::memset(ExpandedReply, 0, kBufSize + 1);
    std::size_t available = ReplyLength - tailStart - 4;
    unsigned long sourceLen = d < available ? d : static_cast<unsigned long>(available);
    unsigned long destLen = kBufSize;
    int rc = CallUncompress(uncompress, reinterpret_cast<std::uint8_t *>(ExpandedReply), &destLen,
                            tail + 4, sourceLen);
    std::size_t produced = rc == kZOk && destLen <= kBufSize ? destLen : kBufSize;
    ExpandedReply[strnlen(ExpandedReply, produced)] = '\0';
  }
  // End the reply after the sixth "|" and append the expanded text (cut to
  // what ReplyText can hold). A corrupt stream appends what zlib produced
  // before it failed, possibly nothing.
  ReplyText[tailStart] = '\0';
  CopyText(ReplyText + tailStart, sizeof ReplyText - tailStart, ExpandedReply);
  ReplyLength = std::strlen(ReplyText);
}

const char *SubmitSale(std::int32_t session, const char *code, const char *saleData) {
  code = OrEmpty(code);
  saleData = OrEmpty(saleData);
  if (!ProbePort()) return NotReady(kNotReadyText);

  // Never call into a compression library that is not there.
  void *compress2 = FindModuleSymbol(ZlibModule, "compress2");
  if (compress2 == nullptr) return Refuse(kZlibMissingText);

  unsigned long compressedLen = kBufSize;
  std::size_t saleLen = std::strlen(saleData);
  if (saleLen > 0xffffffffu) return Refuse(kSaleTooLarge);  // beyond what zlib's lengths hold
  int rc = CallCompress2(compress2, CompressedSale, &compressedLen,
                         reinterpret_cast<const std::uint8_t *>(saleData),
                         static_cast<unsigned long>(saleLen), kLevel);
  if (rc == kZBufError || (rc == kZOk && compressedLen > kBufSize)) return Refuse(kSaleTooLarge);
  if (rc != kZOk) {
    char text[kStatusMessageSize];
    CompressionFailure(rc, text, sizeof text);
    return Refuse(text);
  }

  // The text part: "%06ld|EnviarDadosVenda|<code>|"; the compressed length
  // and data follow it.
  TextWriter text(CommandText, sizeof CommandText, kMaxPayload);
  text.Put("%06ld|%s|%s|", static_cast<long>(session), kEnviarDadosVenda.name, code);
  if (!text.Fits() || text.Length() + 4 + compressedLen > kMaxPayload) {
    CommandText[0] = '\0';
    return Refuse(kSaleTooLarge);
  }
  auto *payload = reinterpret_cast<std::uint8_t *>(CommandText);
  std::size_t textLen = text.Length();
  PutLe32(payload + textLen, static_cast<std::uint32_t>(compressedLen));
  std::memcpy(payload + textLen + 4, CompressedSale, compressedLen);
  std::size_t payloadLen = textLen + 4 + compressedLen;
  payload[payloadLen] = 0;

  ReplyText[0] = '\0';
  // The trace shows the command as text: the text part and whatever bytes
  // precede the first NUL of the binary block.
  const CommandRow &row = kEnviarDadosVenda.row;
  TraceCommand(row.logName, CommandText);

  switch (Exchange(payload, payloadLen, true, row.waitSeconds, row.accept)) {
    case Exchanged::kPortNotReady:
      return NotReady(kNotReadyText);
    case Exchanged::kNoReply:
      return NoReply(row.lastRxOnFailure);
    case Exchanged::kReply:
      break;
  }
  ExpandSaleReply();
  RecordLastRx(ReplyText);
  return FinishReply(row.pattern);
}

}  // namespace torvex::sat
