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
// zlib's entry points, looked up by name in the loaded module at each use.
using Compress2Fn = int (*)(std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                            unsigned long sourceLen, int level);
using UncompressFn = int (*)(std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                             unsigned long sourceLen);
constexpr int kLevel = 2;
constexpr int kZOk = 0;

const char kSaleTooLarge[] = "Dados da venda excedem o tamanho maximo do comando";

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

  auto uncompress = reinterpret_cast<UncompressFn>(FindModuleSymbol(ZlibModule, "uncompress"));
  if (uncompress != nullptr) {
    // Only the bytes that actually arrived are handed to zlib; the output is
    // bounded by the 2 MiB decompression buffer, so a stream that would
    // inflate further (a decompression bomb) is cut there.
    std::size_t available = ReplyLength - tailStart - 4;
    unsigned long sourceLen = d < available ? d : static_cast<unsigned long>(available);
    unsigned long destLen = kBufSize;
    uncompress(reinterpret_cast<std::uint8_t *>(ExpandedReply), &destLen, tail + 4, sourceLen);
    if (destLen > kBufSize) destLen = kBufSize;
    ExpandedReply[destLen] = '\0';
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
  auto compress2 = reinterpret_cast<Compress2Fn>(FindModuleSymbol(ZlibModule, "compress2"));
  if (compress2 == nullptr) return Refuse(kZlibMissingText);

  unsigned long compressedLen = kBufSize;
  std::size_t saleLen = std::strlen(saleData);
  if (compress2(CompressedSale, &compressedLen, reinterpret_cast<const std::uint8_t *>(saleData),
                static_cast<unsigned long>(saleLen), kLevel) != kZOk ||
      compressedLen > kBufSize)
    return Refuse(kSaleTooLarge);

  CommandText[0] = '\0';
  int n = FormatText(CommandText, sizeof CommandText, "%06ld|EnviarDadosVenda|%s|",
                     static_cast<long>(session), code);
  if (n < 0 || static_cast<std::size_t>(n) + 4 + compressedLen > kMaxPayload) {
    CommandText[0] = '\0';
    return Refuse(kSaleTooLarge);
  }
  auto *payload = reinterpret_cast<std::uint8_t *>(CommandText);
  std::size_t textLen = static_cast<std::size_t>(n);
  PutLe32(payload + textLen, static_cast<std::uint32_t>(compressedLen));
  std::memcpy(payload + textLen + 4, CompressedSale, compressedLen);
  std::size_t payloadLen = textLen + 4 + compressedLen;
  payload[payloadLen] = 0;

  ReplyText[0] = '\0';
  // The trace shows the command as text: the text part and whatever bytes
  // precede the first NUL of the binary block.
  TraceCommand(kEnviarDadosVenda.logName, CommandText);

  if (!Exchange(payload, payloadLen, kEnviarDadosVenda.waitSeconds)) return NotReady(kNotReadyText);
  if (const char *failed = FailedExchange(kEnviarDadosVenda.lastRxOnFailure)) return failed;
  ExpandSaleReply();
  RecordLastRx(ReplyText);
  return FinishReply(kEnviarDadosVenda.pattern);
}

}  // namespace torvex::sat
