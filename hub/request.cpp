#include "request.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>
#include <limits>

namespace hub {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one name or value; false on a malformed escape.
bool Decode(std::string_view in, std::string &out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (in.size() - i < 3) return false;
      int hi = HexValue(in[i + 1]);
      int lo = HexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return true;
}

HubError Bad(std::string erro, std::string campo, int status = 400) {
  return HubError{status, std::move(erro), std::move(campo)};
}

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char &c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

}  // namespace

const std::string *Form::Find(std::string_view name) const {
  for (const auto &f : fields)
    if (f.first == name) return &f.second;
  return nullptr;
}

std::optional<HubError> ParseForm(std::string_view body, Form &out) {
  out.fields.clear();
  std::size_t pos = 0;
  while (pos <= body.size()) {
    std::size_t end = body.find('&', pos);
    if (end == std::string_view::npos) end = body.size();
    std::string_view pair = body.substr(pos, end - pos);
    pos = end + 1;
    if (pair.empty()) {
      if (end == body.size()) break;
      continue;
    }
    std::size_t eq = pair.find('=');
    std::string_view rawName = pair.substr(0, eq);
    std::string_view rawValue =
        eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (rawName.size() > kMaxFieldName * 3) return Bad("nome de campo longo demais", "");
    std::string name, value;
    if (!Decode(rawName, name)) return Bad("codificação inválida no nome de um campo", "");
    if (name.empty()) return Bad("campo sem nome", "");
    if (name.size() > kMaxFieldName) return Bad("nome de campo longo demais", "");
    if (!Decode(rawValue, value)) return Bad("codificação inválida no campo", name);
    if (out.Find(name) != nullptr) return Bad("campo repetido", name);
    if (out.fields.size() >= kMaxFormFields) return Bad("campos demais no pedido", "");
    out.fields.emplace_back(std::move(name), std::move(value));
    if (end == body.size()) break;
  }
  return std::nullopt;
}

bool IsFormContentType(std::string_view contentType) {
  std::string ct = Lower(contentType.substr(0, contentType.find(';')));
  while (!ct.empty() && (ct.back() == ' ' || ct.back() == '\t')) ct.pop_back();
  std::size_t start = ct.find_first_not_of(" \t");
  if (start == std::string::npos) return false;
  return ct.substr(start) == "application/x-www-form-urlencoded";
}

bool ParseInt32(std::string_view text, int &value) {
  if (text.empty() || text.size() > 11) return false;
  const char *b = text.data();
  const char *e = b + text.size();
  if (*b == '-' && text.size() == 1) return false;
  for (const char *p = (*b == '-') ? b + 1 : b; p < e; ++p)
    if (*p < '0' || *p > '9') return false;
  long long v = 0;
  auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc() || r.ptr != e) return false;
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return false;
  value = static_cast<int>(v);
  return true;
}

std::optional<HubError> ParseTill(const Form &form, std::optional<std::string_view> header,
                                  int &till) {
  const std::string *field = form.Find("numero_caixa");
  if (field == nullptr && !header) return Bad("numero_caixa ausente", "numero_caixa");
  int fromField = -1, fromHeader = -1;
  auto parse = [](std::string_view t, int &v) {
    return t.size() <= 3 && ParseInt32(t, v) && t[0] != '-' && v >= 0 && v <= 999;
  };
  if (field != nullptr && !parse(*field, fromField))
    return Bad("numero_caixa deve ser um número de 0 a 999", "numero_caixa");
  if (header && !parse(*header, fromHeader))
    return Bad("numero_caixa deve ser um número de 0 a 999", "numero_caixa");
  if (field != nullptr && header && fromField != fromHeader)
    return Bad("numero_caixa do cabeçalho difere do campo", "numero_caixa");
  till = field != nullptr ? fromField : fromHeader;
  return std::nullopt;
}

namespace {

// Reads the function's fields; names maps a function's field to the
// request's field name (the remote endpoint renames one).
std::optional<HubError> ReadFields(const HubFunction &fn, const Form &form, CallArgs &args,
                                   std::size_t fixedText) {
  args.texts.clear();
  args.ints.clear();
  // The command text: name, session, activation code, separators, fields.
  std::size_t total = std::char_traits<char>::length(fn.exportName) + 16 + fixedText;
  for (const FieldDef &f : fn.fields) {
    const std::string *v = form.Find(f.name);
    if (v == nullptr && !f.optional)
      return Bad(std::string("campo obrigatório ausente: ") + f.name, f.name);
    if (f.kind == FieldKind::kText) {
      std::string text = v ? *v : std::string();
      if (text.find('\0') != std::string::npos)
        return Bad(std::string("o campo não pode conter o byte 0: ") + f.name, f.name);
      total += text.size() + 1;
      if (total > kMaxCommandText)
        return Bad(std::string("campo grande demais para a função: ") + f.name, f.name, 413);
      args.texts.push_back(std::move(text));
    } else {
      int value = 0;
      if (v != nullptr && !ParseInt32(*v, value))
        return Bad(std::string("campo deve ser um número inteiro: ") + f.name, f.name);
      if (f.kind == FieldKind::kTwoDigit && (value < 0 || value > 99))
        return Bad(std::string("campo deve ter no máximo dois dígitos: ") + f.name, f.name);
      total += 12;
      args.ints.push_back(value);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<HubError> BuildPublicArgs(const HubFunction &fn, const Form &form, CallArgs &args) {
  return ReadFields(fn, form, args, 64);
}

std::optional<HubError> ParsePublicRequest(std::string_view method, std::string_view function,
                                           std::string_view contentType, std::string_view body,
                                           std::optional<std::string_view> tillHeader,
                                           PublicRequest &out) {
  const HubFunction *fn = FindByPath(function);
  if (fn == nullptr) return Bad("função desconhecida", "funcao", 404);
  if (method != "POST") return Bad("use o método POST", "", 405);
  if (!body.empty() && !IsFormContentType(contentType))
    return Bad("o corpo deve ser application/x-www-form-urlencoded", "", 415);
  Form form;
  if (auto e = ParseForm(body, form)) return e;
  if (auto e = ParseTill(form, tillHeader, out.till)) return e;
  out.fn = fn;
  return BuildPublicArgs(*fn, form, out.args);
}

std::optional<HubError> BuildRemoteCall(const Form &form, RemoteCall &call) {
  const std::string *funcao = form.Find("funcao");
  if (funcao == nullptr) return Bad("campo obrigatório ausente: funcao", "funcao");
  call.fn = FindByExport(*funcao);
  if (call.fn == nullptr) return Bad("função desconhecida", "funcao");
  const std::string *sessao = form.Find("numero_sessao");
  if (sessao == nullptr) return Bad("campo obrigatório ausente: numero_sessao", "numero_sessao");
  if (!ParseInt32(*sessao, call.callerSession))
    return Bad("campo deve ser um número inteiro: numero_sessao", "numero_sessao");
  const std::string *cod = form.Find("codificacao");
  if (cod != nullptr && *cod != "latin1" && *cod != "utf8")
    return Bad("codificacao deve ser latin1 ou utf8", "codificacao");
  call.latin1 = cod != nullptr && *cod == "latin1";
  std::string code;
  if (call.fn->takesActivationCode) {
    const std::string *c = form.Find("codigo_ativacao");
    if (c != nullptr) code = *c;
    if (code.find('\0') != std::string::npos)
      return Bad("o campo não pode conter o byte 0: codigo_ativacao", "codigo_ativacao");
  }
  // ConsultarNumeroSessao's argument travels as numero_sessao_consultada;
  // the function's field of that name is the public API's.
  Form renamed;
  const Form *fields = &form;
  if (std::string_view(call.fn->exportName) == "ConsultarNumeroSessao") {
    const std::string *c = form.Find("numero_sessao_consultada");
    if (c == nullptr)
      return Bad("campo obrigatório ausente: numero_sessao_consultada", "numero_sessao_consultada");
    if (!ParseInt32(*c, call.consultedSession))
      return Bad("campo deve ser um número inteiro: numero_sessao_consultada",
                 "numero_sessao_consultada");
    renamed.fields.emplace_back("numero_sessao", *c);
    fields = &renamed;
  }
  // TrocarCodigoDeAtivacao: the new code and its confirmation travel as
  // novo_codigo_ativacao and confirmacao_codigo (a direct call may pass two
  // different texts, and the device answers that itself).
  const std::string_view name = call.fn->exportName;
  if (name == "TrocarCodigoDeAtivacao" || name == "ArocarCodigoDeAtivacaoSAT") {
    const HubFunction *aroc = FindByExport("ArocarCodigoDeAtivacaoSAT");
    if (auto e = ReadFields(*aroc, form, call.args, code.size())) return e;
  } else if (auto e = ReadFields(*call.fn, *fields, call.args, code.size())) {
    return e;
  }
  call.args.activationCode = std::move(code);
  return std::nullopt;
}

std::string ErrorJson(const HubError &e) {
  nlohmann::json j;
  j["erro"] = e.erro;
  j["campo"] = e.campo;
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace hub
