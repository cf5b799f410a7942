#include "console_text.h"

#include <array>
#include <cctype>

namespace hub {
namespace {

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

long Number(std::string_view s) {
  long v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, long m, long d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool ParseDate(std::string_view s, long &days) {
  if (s.size() < 8 || !AllDigits(s.substr(0, 8))) return false;
  long y = Number(s.substr(0, 4)), m = Number(s.substr(4, 2)), d = Number(s.substr(6, 2));
  static constexpr std::array<int, 12> kMonth = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1 || d > kMonth[static_cast<std::size_t>(m - 1)]) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (m == 2 && d == 29 && !leap) return false;
  days = DaysFromCivil(y, m, d);
  return true;
}

// "20261210143005" -> "10/12/2026 14:30:05", "20261210" -> "10/12/2026";
// anything else as it came.
std::string FormatStamp(const std::string &s) {
  if ((s.size() != 8 && s.size() != 14) || !AllDigits(s)) return s;
  std::string out = s.substr(6, 2) + "/" + s.substr(4, 2) + "/" + s.substr(0, 4);
  if (s.size() == 14) out += " " + s.substr(8, 2) + ":" + s.substr(10, 2) + ":" + s.substr(12, 2);
  return out;
}

}  // namespace

std::vector<std::string> SplitReply(const std::string &retorno) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    auto bar = retorno.find('|', start);
    out.push_back(
        retorno.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return out;
}

ReplySummary Summarize(const std::string &retorno) {
  ReplySummary r;
  auto f = SplitReply(retorno);
  if (f.size() < 2 || f[1].size() != 5 || !AllDigits(f[1])) {
    r.error = true;
    r.message = retorno.substr(0, 200);
    return r;
  }
  r.code = f[1];
  std::size_t m = 2;
  if (f.size() > 3 && f[2].size() == 4 && AllDigits(f[2])) m = 3;  // CCCC first
  if (f.size() > m) r.message = f[m];
  const std::string outcome = r.code.substr(2);
  r.error = !(outcome == "000" || r.code == "04006");
  return r;
}

bool DaysBetween(std::string_view from, std::string_view to, long &days) {
  long a = 0, b = 0;
  if (!ParseDate(from, a) || !ParseDate(to, b)) return false;
  days = b - a;
  return true;
}

nlohmann::json StatusJson(const std::string &retorno) {
  static const char *const kNames[] = {
      "nserie",    "tipo_lan",  "lan_ip",       "lan_mac",         "lan_mask",       "lan_gw",
      "lan_dns_1", "lan_dns_2", "status_lan",   "nivel_bateria",   "mt_total",       "mt_usada",
      "dh_atual",  "ver_sb",    "ver_layout",   "ultimo_cf_e_sat", "lista_inicial",  "lista_final",
      "dh_cfe",    "dh_ultima", "cert_emissao", "cert_vencimento", "estado_operacao"};
  constexpr std::size_t kCount = sizeof kNames / sizeof kNames[0];
  nlohmann::json j;
  auto f = SplitReply(retorno);
  ReplySummary s = Summarize(retorno);
  j["codigo"] = s.code;
  j["mensagem"] = s.message;
  if (s.code != "10000" || f.size() < 5 + kCount) {
    j["ok"] = false;
    j["avisos"] = nlohmann::json::array({"O SAT não respondeu com o status: " +
                                         (s.message.empty() ? retorno.substr(0, 200) : s.message)});
    return j;
  }
  j["ok"] = true;
  nlohmann::json campos = nlohmann::json::object();
  for (std::size_t i = 0; i < kCount; ++i) {
    const std::string &v = f[5 + i];
    std::string_view name = kNames[i];
    bool stamp = name.substr(0, 3) == "dh_" || name.substr(0, 5) == "cert_";
    campos[kNames[i]] = stamp ? FormatStamp(v) : v;
  }
  nlohmann::json avisos = nlohmann::json::array();
  const std::string &estado = f[5 + 22];
  const char *estadoTexto = estado == "0"   ? "Desbloqueado"
                            : estado == "1" ? "Bloqueado pela SEFAZ"
                            : estado == "2" ? "Bloqueado pelo contribuinte"
                                            : nullptr;
  campos["estado_operacao_texto"] = estadoTexto ? estadoTexto : "Desconhecido (" + estado + ")";
  if (estado != "0")
    avisos.push_back(std::string("SAT bloqueado: ") +
                     campos["estado_operacao_texto"].get<std::string>());
  long left = 0;
  if (DaysBetween(f[5 + 12], f[5 + 21], left)) {
    campos["cert_dias_restantes"] = left;
    if (left < 0)
      avisos.push_back("Certificado digital vencido há " + std::to_string(-left) + " dia(s)");
    else if (left <= 30)
      avisos.push_back("Certificado digital vence em " + std::to_string(left) + " dia(s)");
  } else {
    avisos.push_back("Validade do certificado ilegível: " + f[5 + 21]);
  }
  if (f[5 + 8] != "CONECTADO") avisos.push_back("Rede do SAT: " + f[5 + 8]);
  j["campos"] = campos;
  j["avisos"] = avisos;
  return j;
}

bool Base64Decode(std::string_view in, std::string &out) {
  out.clear();
  out.reserve(in.size() / 4 * 3);
  unsigned acc = 0;
  int bits = 0;
  bool padding = false;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=') {
      padding = true;
      continue;
    } else if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
      continue;
    else
      return false;
    if (padding) return false;  // data after '='
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return bits < 6;  // a lone sixth of a byte is not base64
}

bool DecodeLogs(const std::string &retorno, std::vector<std::string> &lines) {
  lines.clear();
  auto f = SplitReply(retorno);
  if (f.size() < 6 || Summarize(retorno).code != "15000") return false;
  std::string text;
  if (!Base64Decode(f[5], text)) return false;
  std::size_t start = 0;
  while (start < text.size()) {
    auto nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return true;
}

bool SecretEquals(std::string_view given, std::string_view want) {
  unsigned char diff = given.size() == want.size() ? 0 : 1;
  for (std::size_t i = 0; i < want.size(); ++i)
    diff |= static_cast<unsigned char>(want[i] ^ (i < given.size() ? given[i] : 0));
  return diff == 0;
}

}  // namespace hub
