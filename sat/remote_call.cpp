#include "remote_call.h"

#include <cstring>

#include "clock.h"
#include "command_road.h"
#include "frame_exchange.h"
#include "platform.h"
#include "remote_http.h"
#include "text.h"
#include "timestamp.h"
#include "tracelog.h"

namespace torvex::sat {

namespace {

const char kCallTarget[] = "/hub/remote/v1/call";

bool Unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes [p, end) into out ("+" is a space); false on a bad escape or when
// the text would pass max bytes.
bool Decode(const char *p, const char *end, std::size_t max, std::string &out) {
  out.clear();
  for (; p < end; ++p) {
    char c = *p;
    if (c == '%') {
      if (end - p < 3) return false;
      int hi = HexValue(p[1]), lo = HexValue(p[2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      p += 2;
    } else if (c == '+') {
      c = ' ';
    }
    if (out.size() >= max) return false;
    out.push_back(c);
  }
  return true;
}

bool ParseCode(const std::string &text, int &code) {
  static const int kCodes[] = {kStatusOk, kStatusNotReady, kStatusChecksum, kStatusUnknown,
                               kStatusWaiting};
  for (int c : kCodes) {
    char digits[16];
    FormatText(digits, sizeof digits, "%d", c);
    if (text == digits) {
      code = c;
      return true;
    }
  }
  return false;
}

// "<time stamp>=<text> [<note>]", cut to the buffer.
void RecordWithNote(TextBuffer &buffer, const char *text, const char *note) {
  Timestamp ts = MakeTimestamp();
  std::size_t n = CopyText(buffer, sizeof buffer, ts.text);
  n += CopyText(buffer + n, sizeof buffer - n, "=");
  n += CopyText(buffer + n, sizeof buffer - n, text);
  n += CopyText(buffer + n, sizeof buffer - n, " [");
  n += CopyText(buffer + n, sizeof buffer - n, note);
  CopyText(buffer + n, sizeof buffer - n, "]");
}

const char *OutcomeName(HttpOutcome outcome) {
  switch (outcome) {
    case HttpOutcome::kReplied:
      return "resposta";
    case HttpOutcome::kCannotConnect:
      return "sem conexao";
    case HttpOutcome::kTimedOut:
      return "sem resposta no prazo";
    case HttpOutcome::kLost:
      return "conexao perdida";
    case HttpOutcome::kTooLarge:
      return "resposta invalida";
  }
  return "?";
}

}  // namespace

void RemoteForm::Add(const char *name, const char *value) {
  static const char kDigits[] = "0123456789ABCDEF";
  value = OrEmpty(value);
  if (!body_.empty()) body_.push_back('&');
  body_.append(name);
  body_.push_back('=');
  std::size_t length = std::strlen(value);
  body_.reserve(body_.size() + length * 3);
  for (std::size_t i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(value[i]);
    if (Unreserved(c)) {
      body_.push_back(static_cast<char>(c));
    } else {
      body_.push_back('%');
      body_.push_back(kDigits[c >> 4]);
      body_.push_back(kDigits[c & 15]);
    }
  }
}

void RemoteForm::AddInt(const char *name, int value) {
  char digits[16];
  FormatText(digits, sizeof digits, "%d", value);
  Add(name, digits);
}

bool ParseRemoteReply(const std::string &body, RemoteReply &reply) {
  reply = RemoteReply{};
  bool haveRetorno = false, haveCodigo = false;
  const char *p = body.data();
  const char *end = p + body.size();
  std::string value;
  while (p < end) {
    const char *amp = static_cast<const char *>(std::memchr(p, '&', end - p));
    const char *pairEnd = amp ? amp : end;
    const char *eq = static_cast<const char *>(std::memchr(p, '=', pairEnd - p));
    const char *nameEnd = eq ? eq : pairEnd;
    std::string name(p, nameEnd);
    const char *valueStart = eq ? eq + 1 : pairEnd;
    if (name == "retorno") {
      if (!Decode(valueStart, pairEnd, kBufSize, reply.retorno)) return false;
      haveRetorno = true;
    } else if (name == "codigo") {
      if (!Decode(valueStart, pairEnd, 15, value) || !ParseCode(value, reply.codigo)) return false;
      haveCodigo = true;
    } else if (name == "mensagem") {
      if (!Decode(valueStart, pairEnd, kBufSize, reply.mensagem)) return false;
    } else if (name == "sessao_dispositivo") {
      if (!Decode(valueStart, pairEnd, 32, reply.sessao)) return false;
    } else if (name == "tx") {
      if (!Decode(valueStart, pairEnd, kBufSize, reply.tx)) return false;
    } else if (name == "rx") {
      if (!Decode(valueStart, pairEnd, kBufSize, reply.rx)) return false;
    }  // other fields: a later hub's, passed over
    p = pairEnd + (amp ? 1 : 0);
  }
  return haveRetorno && haveCodigo;
}

void JsonErrorText(const std::string &body, char *out, std::size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  std::size_t key = body.find("\"erro\"");
  if (key == std::string::npos) return;
  std::size_t i = key + 6;
  while (i < body.size() && (body[i] == ' ' || body[i] == ':' || body[i] == '\t')) ++i;
  if (i >= body.size() || body[i] != '"') return;
  std::size_t n = 0;
  for (++i; i < body.size() && body[i] != '"' && n + 1 < cap; ++i) {
    char c = body[i];
    if (c == '\\' && i + 1 < body.size()) {
      c = body[++i];
      if (c == 'n' || c == 't' || c == 'r') c = ' ';
      if (c == 'u') {  // kept as it came: \uXXXX
        out[n++] = '\\';
      }
    }
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    out[n++] = c;
  }
  out[n] = '\0';
}

bool RemoteEnabled(CommandState &state) {
  if (!state.RemoteLoaded) {
    LoadRemoteSettings(state.Remote);
    state.RemoteLoaded = true;
  }
  return state.Remote.enabled;
}

const char *RemoteCall(CommandState &state, const CommandRow &row, int session, RemoteForm &form) {
  const RemoteSettings &remote = state.Remote;
  StatusRecordType &status = state.StatusRecord;
  const char *url = remote.hub.url;
  state.MessageField[0] = '\0';
  if (remote.problem[0] != '\0') {
    SetStatus(status, kStatusNotReady, remote.problem);
    return status.StatusMessage;
  }

  char note[kHubUrlSize + 64];
  FormatText(note, sizeof note, "hub %s caixa %d", url, remote.till);
  TraceCommand(state.Trace, row.logName, state.CommandText);
  RecordWithNote(state.LastTxText, state.CommandText, note);

  form.Add("funcao", row.logName);
  form.AddInt("numero_caixa", remote.till);
  form.AddInt("numero_sessao", session);
  form.Add("codificacao", kTextEncoding);

  HttpPostRequest request;
  request.hub = &remote.hub;
  request.target = kCallTarget;
  request.token = remote.token;
  request.caFile = remote.caFile;
  request.till = remote.till;
  request.body = &form.Body();
  request.connectTimeoutMs = remote.connectTimeoutMs;
  request.limitMs =
      static_cast<std::int64_t>(row.waitSeconds + remote.queueAllowanceSeconds) * 1000;
  HttpPostReply http;
  std::uint32_t started = TickMs();
  HttpOutcome outcome = HttpPost(request, http);
  std::uint32_t tookMs = TickMs() - started;

  RemoteReply reply;
  char message[kStatusMessageSize];
  std::int32_t code = kStatusNotReady;
  bool replied = false;
  switch (outcome) {
    case HttpOutcome::kCannotConnect:
      FormatText(message, sizeof message, "Hub SAT inacessivel em %s", url);
      break;
    case HttpOutcome::kTimedOut:
      code = kStatusWaiting;
      FormatText(message, sizeof message, "Sem resposta do hub SAT %s no prazo", url);
      break;
    case HttpOutcome::kLost:
      code = kStatusWaiting;
      FormatText(message, sizeof message, "Conexao com o hub SAT %s perdida", url);
      break;
    case HttpOutcome::kTooLarge:
      FormatText(message, sizeof message, "Resposta invalida do hub SAT %s", url);
      break;
    case HttpOutcome::kReplied:
      if (http.status == 200) {
        if (ParseRemoteReply(http.body, reply))
          replied = true;
        else
          FormatText(message, sizeof message, "Resposta invalida do hub SAT %s", url);
      } else if (http.status == 401) {
        FormatText(message, sizeof message, "Hub SAT %s recusou o token do caixa %d", url,
                   remote.till);
      } else if (http.status == 403) {
        FormatText(message, sizeof message, "Hub SAT %s recusou o acesso deste caixa", url);
      } else if (http.status == 404) {
        FormatText(message, sizeof message, "Hub SAT %s nao fala o protocolo v1", url);
      } else if (http.status == 503) {
        code = kStatusWaiting;
        CopyText(message, sizeof message, kTimeoutText);
      } else if (http.status == 409) {
        FormatText(message, sizeof message,
                   "Hub SAT %s: a ultima sessao fiscal do SAT e de outro caixa", url);
      } else if (http.status == 400) {
        JsonErrorText(http.body, message, sizeof message);
        if (message[0] == '\0')
          FormatText(message, sizeof message, "Hub SAT %s recusou o pedido", url);
      } else {
        FormatText(message, sizeof message, "Hub SAT %s respondeu HTTP %d", url, http.status);
      }
      break;
  }

  const char *result;
  if (replied) {
    CopyText(state.ReplyText, sizeof state.ReplyText, reply.retorno.c_str());
    state.ReplyLength = std::strlen(state.ReplyText);
    SetStatus(status, reply.codigo, reply.mensagem.c_str());
    result = state.ReplyText;
    FormatText(note, sizeof note, "hub %s sessao %s", url, reply.sessao.c_str());
  } else {
    SetStatus(status, code, message);
    result = status.StatusMessage;
    FormatText(note, sizeof note, "hub %s", url);
  }
  RecordWithNote(state.LastRxText, result, note);

  if (state.Trace.LogEnabled) {
    TraceFile trace(state.Trace);
    Timestamp ts = MakeTimestamp();
    trace.Printf(
        "S@T:%s %s hub %s caixa %d: %s HTTP %d codigo %ld sessao_dispositivo %s %lu ms%s%s\n",
        ts.text, row.logName, url, remote.till, OutcomeName(outcome), http.status,
        static_cast<long>(status.Code()), reply.sessao.c_str(), static_cast<unsigned long>(tookMs),
        http.detail[0] ? " " : "", http.detail);
    if (!reply.tx.empty()) trace.Printf("S@T:%s hub tx %s\n", ts.text, reply.tx.c_str());
    if (!reply.rx.empty()) trace.Printf("S@T:%s hub rx %s\n", ts.text, reply.rx.c_str());
    trace.Printf("@@@@@S@T:%s %s RXDATA:\n%s\n", ts.text, row.logName, result);
  }
  return result;
}

}  // namespace torvex::sat
