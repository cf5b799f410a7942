#include "remote.h"

#include <torvex.h>

#include <cstdio>

namespace hub {
namespace {

// CodigoErro's message text: the status record less its 4-byte code.
constexpr std::size_t kMessageBytes = TORVEX_STATUS_SIZE - 4;

bool ValidUtf8(const std::string &s, bool &ascii) {
  ascii = true;
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (n < 0) return false;
    if (n > 0) ascii = false;
    if (s.size() - i <= static_cast<std::size_t>(n)) return false;
    for (int k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n + 1;
  }
  return true;
}

// Replaces the reply's first field when it is the session `from`, written
// as wide as the device wrote it (six digits, "000042"), as a direct call
// returns it.
std::string RewriteFirst(const std::string &retorno, int from, int to) {
  auto bar = retorno.find('|');
  if (bar == std::string::npos || bar == 0 || bar > 9) return retorno;
  long value = 0;
  for (std::size_t i = 0; i < bar; ++i) {
    if (retorno[i] < '0' || retorno[i] > '9') return retorno;
    value = value * 10 + (retorno[i] - '0');
  }
  if (value != from) return retorno;
  std::string field = std::to_string(to);
  if (field.size() < bar) field.insert(0, bar - field.size(), '0');
  return field + retorno.substr(bar);
}

// The reply's first field as a number, or -1.
long FirstNumber(const std::string &retorno) {
  auto bar = retorno.find('|');
  if (bar == std::string::npos || bar == 0 || bar > 9) return -1;
  long value = 0;
  for (std::size_t i = 0; i < bar; ++i) {
    if (retorno[i] < '0' || retorno[i] > '9') return -1;
    value = value * 10 + (retorno[i] - '0');
  }
  return value;
}

// CodigoErro's message for a reply read as ConsultarUltimaSessaoFiscal
// reads it (code in the second field, message in the third), as the
// library makes it: "Codigo: <code>.\n<message>", cut to the record.
std::string ThreeFieldMessage(const std::string &retorno) {
  auto a = retorno.find('|');
  auto b = a == std::string::npos ? a : retorno.find('|', a + 1);
  if (b == std::string::npos) return "";
  auto c = retorno.find('|', b + 1);
  std::string text = "Codigo: " + retorno.substr(a + 1, b - a - 1) + ".\n" +
                     retorno.substr(b + 1, c == std::string::npos ? c : c - b - 1);
  if (text.size() > kMessageBytes - 1) text.resize(kMessageBytes - 1);
  return text;
}

// The device session's number as this till called it, when the till called
// it through the remote endpoint.
std::string MapBack(const SessionBook &book, int till, const std::string &retorno) {
  long device = FirstNumber(retorno);
  if (device < 0) return retorno;
  auto caller = book.CallerSessionOf(till, static_cast<int>(device));
  return caller ? RewriteFirst(retorno, static_cast<int>(device), *caller) : retorno;
}

bool IsUnknownSessionReply(const std::string &retorno) {
  auto bar = retorno.find('|');
  return bar != std::string::npos && retorno.compare(bar + 1, 6, "11003|") == 0;
}

}  // namespace

void PrepareRemote(SessionBook &book, Job &job, const RemotePlan &plan) {
  auto &p = const_cast<RemotePlan &>(plan);
  job.args.session = book.Next(job.till);
  if (job.fn->fiscal) book.SetLastFiscal(job.till, job.args.session);
  if (std::string_view(job.fn->exportName) == "ConsultarNumeroSessao") {
    // A session the till never used here goes to the device as a fresh
    // number of the till's range, which the device does not know.
    auto device = book.DeviceSessionOf(job.till, plan.call.consultedSession);
    p.consultedDevice = device ? *device : book.Next(job.till);
    job.args.ints = {p.consultedDevice};
  }
  book.MapRemote(job.till, plan.call.callerSession, job.args.session);
  if (job.fn->fiscal) {
    // Written before the sale reaches the device: a hub stopped during the
    // call still finds the till's session after a restart.
    std::string error;
    if (!book.Save(error)) std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
  }
}

CallResult FinishRemote(SessionBook &book, const Job &job, const RemotePlan &plan,
                        const CallResult &result, bool &otherTill) {
  CallResult r = result;
  otherTill = false;
  if (std::string_view(job.fn->exportName) == "ConsultarUltimaSessaoFiscal" && r.codigo == 0) {
    // The device answers with its own last sale or cancellation, whichever
    // till made it: the till gets its own, under its own session number.
    long device = FirstNumber(r.retorno);
    int owner = device < 0 ? -1 : TillOfSession(static_cast<int>(device));
    if (owner >= 0 && owner != job.till) {
      const KeptReply *k = book.Kept(job.till, book.LastFiscal(job.till));
      if (k == nullptr || k->result.codigo != 0) {
        otherTill = true;
        return r;
      }
      r.retorno = k->result.retorno;
      r.mensagem = ThreeFieldMessage(r.retorno);
      r.rx = k->result.rx;  // never the other till's sale, not even in the trace
    }
    r.retorno = MapBack(book, job.till, r.retorno);
    return r;
  }
  if (std::string_view(job.fn->exportName) == "ConsultarNumeroSessao") {
    // The device forgets sessions after 100 calls of all tills together;
    // the hub keeps each till's last 100 replies.
    if (r.codigo == 0 && IsUnknownSessionReply(r.retorno)) {
      if (const KeptReply *k = book.Kept(job.till, plan.consultedDevice);
          k != nullptr && k->result.codigo == 0)
        r.retorno = k->result.retorno;
    }
    r.retorno = RewriteFirst(r.retorno, plan.consultedDevice, plan.call.consultedSession);
  }
  r.retorno = RewriteFirst(r.retorno, job.args.session, plan.call.callerSession);
  if (r.codigo != 0) {
    // Texts the library made itself follow the caller's encoding; a
    // device's reply and the message read from it pass as the device sent
    // them, as in a direct call.
    r.retorno = plan.call.latin1 ? Utf8ToLatin1(r.retorno) : Latin1ToUtf8(r.retorno);
    r.mensagem = plan.call.latin1 ? Utf8ToLatin1(r.mensagem) : Latin1ToUtf8(r.mensagem);
  }
  return r;
}

std::string PercentEncode(const std::string &bytes) {
  static const char *hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (unsigned char c : bytes) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::string RemoteReplyBody(const CallResult &r, int deviceSession) {
  return "retorno=" + PercentEncode(r.retorno) + "&codigo=" + std::to_string(r.codigo) +
         "&mensagem=" + PercentEncode(r.mensagem) +
         "&sessao_dispositivo=" + std::to_string(deviceSession) + "&tx=" + PercentEncode(r.tx) +
         "&rx=" + PercentEncode(r.rx);
}

std::string Utf8ToLatin1(const std::string &text) {
  bool ascii;
  if (!ValidUtf8(text, ascii) || ascii) return text;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if ((c >> 5) == 6) {
      unsigned cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
      out.push_back(cp < 256 ? static_cast<char>(cp) : '?');
      i += 1;
    } else {
      out.push_back('?');
      i += (c >> 4) == 14 ? 2 : 3;
    }
  }
  return out;
}

std::string Latin1ToUtf8(const std::string &text) {
  bool ascii;
  if (ValidUtf8(text, ascii)) return text;
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace hub
