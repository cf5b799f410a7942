#include "sat_device.h"

#include <cstdio>

#include "access_key.h"
#include "base64.h"
#include "cfe_document.h"
#include "console_log.h"
#include "xml_scan.h"
#include "zlib_stream.h"

namespace satemu {

namespace {

struct FunctionInfo {
  const char *name;
  int number;
  int text_args;  // text fields after the name; the last one takes the rest
};

constexpr FunctionInfo kFunctions[] = {
    {"AtivarSAT", 4, 4},
    {"ComunicarCertificadoICPBRASIL", 5, 2},
    {"EnviarDadosVenda", 6, 1},
    {"CancelarUltimaVenda", 7, 3},
    {"ConsultarSAT", 8, 0},
    {"TesteFimAFim", 9, 2},
    {"ConsultarStatusOperacional", 10, 1},
    {"ConsultarNumeroSessao", 11, 2},
    {"ConfigurarInterfaceDeRede", 12, 2},
    {"AssociarAssinatura", 13, 3},
    {"AtualizarSoftwareSAT", 14, 1},
    {"ExtrairLogs", 15, 1},
    {"BloquearSAT", 16, 1},
    {"DesbloquearSAT", 17, 1},
    {"TrocarCodigoDeAtivacaoSAT", 18, 4},
    {"TrocarCodigoDeAtivacao", 18, 4},
    {"ConsultarUltimaSessaoFiscal", 19, 1},
};

const FunctionInfo *find_function(std::string_view name) {
  for (const auto &f : kFunctions) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

constexpr char kBusy[] = "SAT em processamento. Tente novamente.";
constexpr char kCodeInvalid[] = "Código de ativação inválido.";
constexpr char kNotActivated[] = "SAT ainda não ativado.";

std::string eeeee(int fn, int outcome) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d%03d", fn % 100, outcome % 1000);
  return buf;
}

// numeroSessao|EEEEE|mensagem|cod|mensagemSEFAZ
Answer basic(const Command &c, int fn, int outcome, std::string_view message) {
  Answer a;
  a.text = c.session + "|" + eeeee(fn, outcome) + "|" + std::string(message) + "||";
  a.wire = a.text;
  return a;
}

// numeroSessao|EEEEE|CCCC|mensagem|cod|mensagemSEFAZ
Answer with_cccc(const Command &c, int fn, int outcome, std::string_view cccc,
                 std::string_view message) {
  Answer a;
  a.text = c.session + "|" + eeeee(fn, outcome) + "|" + std::string(cccc) + "|" +
           std::string(message) + "||";
  a.wire = a.text;
  return a;
}

// The functions whose replies carry CCCC, and AtivarSAT, whose replies always
// end with the certificate request field.
Answer failure(const Command &c, int fn, int outcome, std::string_view message) {
  if (fn == 6 || fn == 7 || fn == 13) return with_cccc(c, fn, outcome, "0000", message);
  Answer a = basic(c, fn, outcome, message);
  if (fn == 4) {
    a.text += "|";
    a.wire = a.text;
  }
  return a;
}

bool valid_uf(int cuf) {
  static constexpr int kCodes[] = {11, 12, 13, 14, 15, 16, 17, 21, 22, 23, 24, 25, 26, 27,
                                   28, 29, 31, 32, 33, 35, 41, 42, 43, 50, 51, 52, 53};
  for (int c : kCodes) {
    if (c == cuf) return true;
  }
  return false;
}

bool parse_small_int(std::string_view s, long &out) {
  if (s.empty() || s.size() > 9 || !all_digits(s)) return false;
  out = std::stol(std::string(s));
  return true;
}

// "10.0.0.5" or "010.000.000.005" -> "010.000.000.005"; empty when invalid.
std::string padded_ip(std::string_view ip) {
  int parts[4];
  int n = 0;
  std::size_t from = 0;
  while (n < 4) {
    std::size_t dot = ip.find('.', from);
    const std::string_view part =
        ip.substr(from, dot == std::string_view::npos ? ip.npos : dot - from);
    long v = 0;
    if (part.size() > 3 || !parse_small_int(part, v) || v > 255) return {};
    parts[n++] = static_cast<int>(v);
    if (dot == std::string_view::npos) break;
    from = dot + 1;
  }
  if (n != 4 || ip.find('.', from) != std::string_view::npos) return {};
  char buf[20];
  std::snprintf(buf, sizeof buf, "%03d.%03d.%03d.%03d", parts[0], parts[1], parts[2], parts[3]);
  return buf;
}

void put_u32le(std::string &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

int function_number(std::string_view name) {
  const auto *f = find_function(name);
  return f ? f->number : 0;
}

Command parse_command(std::string_view payload) {
  Command c;
  auto next_field = [&](std::string &out) {
    const std::size_t bar = payload.find('|');
    out.assign(payload.substr(0, bar));
    payload = bar == std::string_view::npos ? std::string_view{} : payload.substr(bar + 1);
    return bar != std::string_view::npos;
  };
  const bool more = next_field(c.session);
  // A session number is a few digits; a longer first field is junk and is not
  // echoed whole.
  if (c.session.size() > 32) c.session.resize(32);
  long n = 0;
  if (parse_small_int(c.session, n)) c.session_number = n;
  if (!more) return c;
  const bool has_args = next_field(c.name);
  const FunctionInfo *f = find_function(c.name);
  if (!has_args) return c;
  if (f && f->number == 6) {
    // code|, then the binary block: length and zlib stream.
    std::string code;
    if (next_field(code)) c.block.assign(payload);
    c.args.push_back(code);
    return c;
  }
  const int wanted = f ? f->text_args : 64;
  for (int i = 0; i < wanted; ++i) {
    if (i == wanted - 1) {
      c.args.emplace_back(payload);
      break;
    }
    std::string field;
    const bool again = next_field(field);
    c.args.push_back(std::move(field));
    if (!again) break;
  }
  return c;
}

SatDevice::SatDevice(DeviceStore &store, Clock clock, std::uint32_t seed)
    : store_(store), clock_(std::move(clock)), rng_(seed) {}

std::string SatDevice::stamp(const char *format) const {
  std::tm tm{};
  localtime_r(&now_, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

void SatDevice::log(std::string_view level, std::string_view text) {
  store_.log_event(stamp("%Y%m%d%H%M%S"), "SAT", level, text);
}

int SatDevice::peek_number() const {
  const int last = store_.state().last_number;
  return last >= 999999 || last < 0 ? 1 : last + 1;
}

Answer SatDevice::busy(const Command &c) const {
  const int fn = function_number(c.name);
  return failure(c, fn ? fn : 99, 98, kBusy);
}

Answer SatDevice::handle(const Command &c) {
  now_ = clock_();
  const int fn = function_number(c.name);
  Answer a = dispatch(c, fn);
  if (c.session_number >= 0 && fn != 11) store_.put_session(c.session_number, a.text);
  if (a.fiscal) store_.set_last_fiscal(a.text);
  return a;
}

Answer SatDevice::dispatch(const Command &c, int fn) {
  if (fn == 0) {
    Answer a;
    a.text = c.session + "|99999|Comando não reconhecido: " + c.name.substr(0, 64) + "||";
    a.wire = a.text;
    return a;
  }
  // Functions 12 to 18 check the session number itself.
  if (fn >= 12 && fn <= 18 && (c.session_number < 0 || c.session_number > 999999)) {
    return failure(c, fn, 97, "Número de sessão inválido.");
  }
  switch (fn) {
    case 4:
      return ativar(c);
    case 5:
      return comunicar_certificado(c);
    case 6:
      return enviar_venda(c);
    case 7:
      return cancelar(c);
    case 8:
      return basic(c, 8, 0, "SAT em Operação");
    case 9:
      return teste_fim_a_fim(c);
    case 10:
      return status_operacional(c);
    case 11:
      return numero_sessao(c);
    case 12:
      return configurar_rede(c);
    case 13:
      return associar(c);
    case 14:
      return atualizar(c);
    case 15:
      return extrair_logs(c);
    case 16:
      return bloquear(c);
    case 17:
      return desbloquear(c);
    case 18:
      return trocar_codigo(c);
    case 19:
      return ultima_sessao_fiscal(c);
    default:
      return failure(c, fn, 99, "Erro desconhecido.");
  }
}

std::optional<Answer> SatDevice::refuse_code(const Command &c, int fn,
                                             std::string_view code) const {
  const auto &s = store_.state();
  if (!s.activated) {
    if (fn == 6 || fn == 9 || fn == 11) return failure(c, fn, 2, kNotActivated);
    return failure(c, fn, 1, kCodeInvalid);
  }
  if (code != s.activation_code) return failure(c, fn, 1, kCodeInvalid);
  return std::nullopt;
}

namespace {
std::string arg(const Command &c, std::size_t i) {
  return i < c.args.size() ? c.args[i] : std::string();
}
}  // namespace

Answer SatDevice::ativar(const Command &c) {
  auto &s = store_.state();
  long sub = 0;
  long cuf = 0;
  const std::string code = arg(c, 1);
  const std::string cnpj = arg(c, 2);
  if (!parse_small_int(arg(c, 0), sub) || sub < 1 || sub > 3) {
    return failure(c, 4, 99, "Erro desconhecido na ativação: subcomando inválido.");
  }
  if (sub == 3) {
    // Renewal of the ICP-Brasil certificate on an activated device.
    if (auto r = refuse_code(c, 4, code))
      return failure(c, 4, 99,
                     "Erro desconhecido na ativação: SAT não ativado ou código inválido.");
  } else if (s.activated) {
    return failure(c, 4, 3, "SAT já ativado.");
  }
  if (code.size() < 8 || code.size() > 32) {
    return failure(
        c, 4, 99,
        "Erro desconhecido na ativação: o código de ativação deve ter de 8 a 32 caracteres.");
  }
  if (!cnpj_valid(cnpj)) return failure(c, 4, 2, "SEFAZ não reconhece este SAT (CNPJ inválido).");
  if (!parse_small_int(arg(c, 3), cuf) || !valid_uf(static_cast<int>(cuf))) {
    return failure(c, 4, 99, "Erro desconhecido na ativação: código de UF inválido.");
  }
  if (sub != 3 && s.cnpj.size() == 14 && s.certificate_pending && s.cnpj != cnpj) {
    return failure(c, 4, 2, "SEFAZ não reconhece este SAT (CNPJ inválido).");
  }
  const std::string csr =
      base64_encode("-----BEGIN CERTIFICATE REQUEST-----\n" +
                    pseudo_signature("csr" + cnpj + s.sat_serial).substr(0, 256) +
                    "\n-----END CERTIFICATE REQUEST-----\n");
  s.activation_code = code;
  s.cnpj = cnpj;
  s.cuf = static_cast<int>(cuf);
  if (s.emergency_code.empty()) s.emergency_code = s.sat_serial;
  Answer a;
  if (sub == 1) {
    s.activated = true;
    s.certificate_pending = false;
    s.activated_at = stamp("%Y%m%d%H%M%S");
    a = basic(c, 4, 0, "Ativado corretamente");
    log("INFO", "SAT ativado para o CNPJ " + cnpj);
  } else {
    if (sub == 2) s.certificate_pending = true;
    a = basic(c, 4, 6, "CSR ICP-BRASIL criado com sucesso");
    log("INFO", "CSR ICP-BRASIL gerado para o CNPJ " + cnpj);
  }
  store_.save_state();
  a.text += "|" + csr;
  a.wire = a.text;
  return a;
}

Answer SatDevice::comunicar_certificado(const Command &c) {
  auto &s = store_.state();
  const std::string code = arg(c, 0);
  const std::string cert = arg(c, 1);
  if (!s.certificate_pending && !s.activated) {
    return failure(c, 5, 99, "Erro desconhecido: nenhum certificado foi solicitado.");
  }
  if (code != s.activation_code) return failure(c, 5, 1, kCodeInvalid);
  if (cert.empty() || !base64_decode(cert)) return failure(c, 5, 2, "Certificado inválido.");
  if (s.certificate_pending) {
    s.certificate_pending = false;
    s.activated = true;
    s.activated_at = stamp("%Y%m%d%H%M%S");
  }
  store_.save_state();
  log("INFO", "Certificado ICP-BRASIL registrado");
  return basic(c, 5, 0, "Certificado transmitido com sucesso");
}

Answer SatDevice::enviar_venda(const Command &c) {
  auto &s = store_.state();
  if (auto r = refuse_code(c, 6, arg(c, 0))) return *r;
  if (s.operation_state == 1) return failure(c, 6, 7, "SAT bloqueado pela SEFAZ.");
  if (s.operation_state != 0) return failure(c, 6, 6, "SAT bloqueado pelo contribuinte.");
  const auto invalid = [&](const std::string &why) {
    return with_cccc(c, 6, 10, "1999", "Erro de validação do conteúdo: " + why);
  };
  if (c.block.size() < 4) return invalid("dados de venda ausentes.");
  std::uint32_t len = 0;
  for (int i = 3; i >= 0; --i)
    len = (len << 8) | static_cast<std::uint8_t>(c.block[static_cast<std::size_t>(i)]);
  if (len > c.block.size() - 4) return invalid("dados de venda incompletos.");
  const Inflated xml = zlib_inflate(std::string_view(c.block).substr(4, len), kMaxSaleSize);
  if (xml.error == InflateError::TooLarge) {
    return with_cccc(c, 6, 5, "0000", "Tamanho do CF-e-SAT superior a 1.500KB.");
  }
  if (xml.error != InflateError::None) return invalid("dados de venda comprimidos inválidos.");
  Answer a = issue_sale(c, xml.data);
  a.note = "sale data: " + std::to_string(len) + " compressed bytes, " +
           std::to_string(xml.data.size()) + " bytes of XML: " + printable(xml.data, 400);
  return a;
}

Answer SatDevice::issue_sale(const Command &c, std::string_view xml) {
  auto &s = store_.state();
  const auto invalid = [&](const std::string &why) {
    return with_cccc(c, 6, 10, "1999", "Erro de validação do conteúdo: " + why);
  };
  const SaleParse parsed = parse_sale(xml);
  if (!parsed.sale) return invalid(parsed.error + ".");
  const Sale &sale = *parsed.sale;
  if (!sale.issuer_cnpj.empty() && sale.issuer_cnpj != s.cnpj) {
    return invalid("CNPJ do emitente difere do contribuinte ativado.");
  }
  if (!s.link_cnpjs.empty() &&
      (sale.software_house_cnpj + s.cnpj != s.link_cnpjs || sale.sign_ac != s.link_signature)) {
    return with_cccc(c, 6, 4, "0000", "Vinculação do AC não confere.");
  }
  auto issued = open_issue(true);
  if (!issued) return failure(c, 6, 99, "Erro desconhecido na emissão.");
  IssueContext &ctx = *issued;
  const std::string total = format_decimal(sale.total, 2);
  ctx.qr_signature =
      pseudo_signature(ctx.key + "|" + ctx.date + ctx.time + "|" + total + "|" + sale.buyer_id());
  const std::string cfe = build_sale_cfe(sale, ctx);
  const std::string when = ctx.date + ctx.time;
  const std::string head = c.session + "|06000|0000|Emitido com sucesso + conteúdo notas.|||";
  const std::string tail = base64_encode(cfe) + "|" + when + "|CFe" + ctx.key + "|" + total + "|" +
                           sale.buyer_id() + "|" + ctx.qr_signature;
  s.sale_key = ctx.key;
  s.sale_total = sale.total;
  s.sale_buyer_cpf = sale.buyer_cpf;
  s.sale_buyer_cnpj = sale.buyer_cpf.empty() ? sale.buyer_cnpj : std::string();
  s.sale_date = ctx.date;
  s.sale_time = ctx.time;
  s.sale_cancelled = false;
  if (s.first_key.empty()) s.first_key = ctx.key;
  s.last_key = ctx.key;
  s.last_cfe_at = when;
  store_.save_state();
  log("INFO", "CF-e-SAT emitido: CFe" + ctx.key + " valor " + total);
  Answer a;
  a.text = head + tail;
  const std::string stream = zlib_compress(tail);
  a.wire = head;
  put_u32le(a.wire, static_cast<std::uint32_t>(stream.size()));
  a.wire += stream;
  a.fiscal = true;
  return a;
}

// The context of a new CF-e: the device's identity, the time, a fresh cNF and
// the next CF-e number, with its access key. A fiscal document takes up that
// number (use_number); a test document does not.
std::optional<IssueContext> SatDevice::open_issue(bool use_number) {
  auto &s = store_.state();
  IssueContext ctx;
  ctx.cuf = s.cuf;
  ctx.sat_serial = s.sat_serial;
  ctx.issuer_cnpj = s.cnpj;
  ctx.date = stamp("%Y%m%d");
  ctx.time = stamp("%H%M%S");
  ctx.cnf = std::uniform_int_distribution<int>(0, 999999)(rng_);
  ctx.ncf = peek_number();
  std::tm tm{};
  localtime_r(&now_, &tm);
  const auto key = make_access_key(
      {s.cuf, tm.tm_year + 1900, tm.tm_mon + 1, s.cnpj, s.sat_serial, ctx.ncf, ctx.cnf});
  if (!key) return std::nullopt;
  ctx.key = *key;
  if (use_number) s.last_number = ctx.ncf;
  return ctx;
}

Answer SatDevice::cancelar(const Command &c) {
  auto &s = store_.state();
  if (!s.activated) return failure(c, 7, 1, kCodeInvalid);
  if (auto r = refuse_code(c, 7, arg(c, 0))) return *r;
  if (s.operation_state == 1) return failure(c, 7, 4, "SAT bloqueado pela SEFAZ.");
  if (s.operation_state != 0) return failure(c, 7, 3, "SAT bloqueado pelo contribuinte.");
  const std::string key = arg(c, 1);
  if (s.sale_key.empty() || s.sale_cancelled || key != "CFe" + s.sale_key) {
    return with_cccc(c, 7, 2, "1999", "Cupom inválido: só a última venda pode ser cancelada.");
  }
  std::string error;
  const auto req = parse_cancel(arg(c, 2), error);
  if (!req) return with_cccc(c, 7, 7, "1999", "Erro de validação do conteúdo: " + error + ".");
  if (!req->cancelled_key.empty() && req->cancelled_key != key) {
    return with_cccc(c, 7, 7, "1999",
                     "Erro de validação do conteúdo: chCanc difere da chave informada.");
  }
  auto issued = open_issue(true);
  if (!issued) return failure(c, 7, 99, "Erro desconhecido no cancelamento.");
  IssueContext &ctx = *issued;
  CancelledSale sale{s.sale_key,        s.sale_total, s.sale_buyer_cpf,
                     s.sale_buyer_cnpj, s.sale_date,  s.sale_time};
  const std::string total = format_decimal(s.sale_total, 2);
  const std::string buyer = s.sale_buyer_cpf.empty() ? s.sale_buyer_cnpj : s.sale_buyer_cpf;
  ctx.qr_signature =
      pseudo_signature(ctx.key + "|" + ctx.date + ctx.time + "|" + total + "|" + buyer);
  const std::string cfe = build_cancel_cfe(*req, sale, ctx);
  const std::string when = ctx.date + ctx.time;
  Answer a;
  a.text = c.session + "|07000|0000|Cupom cancelado com sucesso + conteúdo CF-e-SAT cancelado.|||" +
           base64_encode(cfe) + "|" + when + "|CFe" + ctx.key + "|" + total + "|" + buyer + "|" +
           ctx.qr_signature;
  a.wire = a.text;
  a.fiscal = true;
  s.sale_cancelled = true;
  s.last_key = ctx.key;
  s.last_cfe_at = when;
  store_.save_state();
  log("INFO", "CF-e-SAT cancelado: CFe" + sale.key + " pelo CFe" + ctx.key);
  return a;
}

Answer SatDevice::teste_fim_a_fim(const Command &c) {
  if (auto r = refuse_code(c, 9, arg(c, 0))) return *r;
  const SaleParse parsed = parse_sale(arg(c, 1));
  if (!parsed.sale) return failure(c, 9, 99, "Erro desconhecido: " + parsed.error + ".");
  // A test document takes the next number without using it up.
  auto issued = open_issue(false);
  if (!issued) return failure(c, 9, 99, "Erro desconhecido.");
  IssueContext &ctx = *issued;
  ctx.qr_signature = pseudo_signature(ctx.key);
  char number[8];
  std::snprintf(number, sizeof number, "%06d", ctx.ncf);
  Answer a = basic(c, 9, 0, "Emitido com sucesso");
  a.text += "|" + base64_encode(build_sale_cfe(*parsed.sale, ctx)) + "|" + ctx.date + ctx.time +
            "|" + number + "|CFe" + ctx.key;
  a.wire = a.text;
  log("INFO", "Teste fim a fim executado");
  return a;
}

Answer SatDevice::status_operacional(const Command &c) {
  const auto &s = store_.state();
  if (auto r = refuse_code(c, 10, arg(c, 0))) return *r;
  const std::string now = stamp("%Y%m%d%H%M%S");
  const std::string none(44, '0');
  const std::string since =
      s.activated_at.size() == 14 && all_digits(s.activated_at) ? s.activated_at : now;
  // The certificate is issued at activation and valid for five years.
  const std::string cert_issued = since.substr(0, 8);
  const std::string cert_expires =
      std::to_string(std::stoi(since.substr(0, 4)) + 5) + since.substr(4, 4);
  const std::vector<std::string> fields = {
      s.sat_serial,                                   // NSERIE
      s.network.lan_type,                             // TIPO_LAN
      s.network.ip,                                   // LAN_IP
      "00:1A:2B:3C:4D:5E",                            // LAN_MAC
      s.network.mask,                                 // LAN_MASK
      s.network.gateway,                              // LAN_GW
      s.network.dns1,                                 // LAN_DNS_1
      s.network.dns2,                                 // LAN_DNS_2
      "CONECTADO",                                    // STATUS_LAN
      "ALTO",                                         // NIVEL_BATERIA
      "4 GB",                                         // MT_TOTAL
      "12 MB",                                        // MT_USADA
      now,                                            // DH_ATUAL
      "01.00.00",                                     // VER_SB
      "00.08",                                        // VER_LAYOUT
      s.last_key.empty() ? none : s.last_key,         // ULTIMO_CF_E_SAT
      s.first_key.empty() ? none : s.first_key,       // LISTA_INICIAL
      s.last_key.empty() ? none : s.last_key,         // LISTA_FINAL
      s.last_cfe_at.empty() ? since : s.last_cfe_at,  // DH_CFE
      now,                                            // DH_ULTIMA
      cert_issued,                                    // CERT_EMISSAO
      cert_expires,                                   // CERT_VENCIMENTO
      std::to_string(s.operation_state),              // ESTADO_OPERACAO
  };
  Answer a = basic(c, 10, 0, "Resposta com Sucesso.");
  for (const auto &f : fields) a.text += "|" + f;
  a.wire = a.text;
  return a;
}

Answer SatDevice::numero_sessao(const Command &c) {
  if (auto r = refuse_code(c, 11, arg(c, 0))) return *r;
  long wanted = 0;
  if (parse_small_int(arg(c, 1), wanted)) {
    if (auto stored = store_.find_session(wanted)) {
      Answer a;
      a.text = *stored;
      a.wire = *stored;
      return a;
    }
  }
  return failure(c, 11, 3, "Sessão não existe.");
}

Answer SatDevice::configurar_rede(const Command &c) {
  auto &s = store_.state();
  if (auto r = refuse_code(c, 12, arg(c, 0))) return *r;
  const std::string xml = arg(c, 1);
  const auto config = xml_find(xml, "config");
  if (!config) return failure(c, 12, 2, "Dados fora do padrão a ser informado.");
  NetworkSettings n = s.network;
  std::string lan = xml_text(config->inner, "tipoLan");
  if (lan.empty()) lan = "DHCP";
  if (lan != "DHCP" && lan != "IPFIX" && lan != "PPPoE") {
    return failure(c, 12, 2, "Dados fora do padrão a ser informado.");
  }
  n.lan_type = lan;
  if (lan == "IPFIX") {
    const std::string ip = padded_ip(xml_text(config->inner, "lanIP"));
    const std::string mask = padded_ip(xml_text(config->inner, "lanMask"));
    const std::string gw = padded_ip(xml_text(config->inner, "lanGW"));
    if (ip.empty() || mask.empty() || gw.empty()) {
      return failure(c, 12, 2, "Dados fora do padrão a ser informado.");
    }
    n.ip = ip;
    n.mask = mask;
    n.gateway = gw;
    const std::string d1 = padded_ip(xml_text(config->inner, "lanDNS1"));
    const std::string d2 = padded_ip(xml_text(config->inner, "lanDNS2"));
    if (!d1.empty()) n.dns1 = d1;
    if (!d2.empty()) n.dns2 = d2;
  } else {
    n = NetworkSettings{};
    n.lan_type = lan;
  }
  s.network = n;
  store_.save_state();
  log("INFO", "Interface de rede configurada: " + lan);
  return basic(c, 12, 0, "Rede Configurada com Sucesso");
}

Answer SatDevice::associar(const Command &c) {
  auto &s = store_.state();
  if (auto r = refuse_code(c, 13, arg(c, 0))) return *r;
  const std::string cnpjs = arg(c, 1);
  const std::string sign = arg(c, 2);
  if (cnpjs.size() != 28 || !all_digits(cnpjs) || cnpjs.substr(14) != s.cnpj) {
    return with_cccc(c, 13, 4, "0000",
                     "CNPJ da Software House + CNPJ do emitente assinado no campo signAC difere do "
                     "informado no campo CNPJvalue.");
  }
  if (sign.empty() || !base64_decode(sign))
    return with_cccc(c, 13, 3, "0000", "Assinatura fora do padrão informado.");
  s.link_cnpjs = cnpjs;
  s.link_signature = sign;
  store_.save_state();
  log("INFO", "Assinatura do AC registrada para a software house " + cnpjs.substr(0, 14));
  return with_cccc(c, 13, 0, "0000", "Assinatura do AC Registrada");
}

Answer SatDevice::atualizar(const Command &c) {
  if (auto r = refuse_code(c, 14, arg(c, 0))) return *r;
  log("INFO", "Software básico atualizado");
  return basic(c, 14, 0, "Software Atualizado com Sucesso");
}

Answer SatDevice::extrair_logs(const Command &c) {
  if (auto r = refuse_code(c, 15, arg(c, 0))) return *r;
  log("INFO", "Logs extraídos");
  Answer a = basic(c, 15, 0, "Transferência completa");
  a.text += "|" + base64_encode(store_.events());
  a.wire = a.text;
  return a;
}

Answer SatDevice::bloquear(const Command &c) {
  auto &s = store_.state();
  if (auto r = refuse_code(c, 16, arg(c, 0))) return *r;
  if (s.operation_state != 0) return basic(c, 16, 2, "Equipamento SAT já está bloqueado.");
  s.operation_state = 2;
  store_.save_state();
  log("INFO", "SAT bloqueado pelo contribuinte");
  return basic(c, 16, 0, "Equipamento SAT bloqueado com sucesso.");
}

Answer SatDevice::desbloquear(const Command &c) {
  auto &s = store_.state();
  if (auto r = refuse_code(c, 17, arg(c, 0))) return *r;
  if (s.operation_state == 1) return basic(c, 17, 2, "SAT bloqueado pela SEFAZ.");
  if (s.operation_state == 0) return basic(c, 17, 3, "SAT não está bloqueado.");
  s.operation_state = 0;
  store_.save_state();
  log("INFO", "SAT desbloqueado pelo contribuinte");
  return basic(c, 17, 0, "Equipamento SAT desbloqueado com sucesso.");
}

Answer SatDevice::trocar_codigo(const Command &c) {
  auto &s = store_.state();
  const std::string code = arg(c, 0);
  long option = 0;
  if (!s.activated) return basic(c, 18, 1, kCodeInvalid);
  if (!parse_small_int(arg(c, 1), option) || (option != 1 && option != 2)) {
    return basic(c, 18, 99, "Erro desconhecido: opção inválida.");
  }
  if (option == 1 && code != s.activation_code) return basic(c, 18, 1, kCodeInvalid);
  if (option == 2 && code != s.emergency_code) {
    return basic(c, 18, 2, "Código de ativação de emergência incorreto.");
  }
  const std::string fresh = arg(c, 2);
  if (fresh != arg(c, 3))
    return basic(c, 18, 3, "Novo código de ativação e confirmação não conferem.");
  if (fresh.size() < 8 || fresh.size() > 32) {
    return basic(c, 18, 3, "Novo código de ativação inválido: use de 8 a 32 caracteres.");
  }
  s.activation_code = fresh;
  store_.save_state();
  log("INFO", "Código de ativação alterado");
  return basic(c, 18, 0, "Código de ativação alterado com sucesso.");
}

Answer SatDevice::ultima_sessao_fiscal(const Command &c) {
  if (auto r = refuse_code(c, 19, arg(c, 0))) return *r;
  if (auto stored = store_.last_fiscal()) {
    Answer a;
    a.text = *stored;
    a.wire = *stored;
    return a;
  }
  return basic(c, 19, 3, "Nenhuma sessão fiscal encontrada.");
}

}  // namespace satemu
