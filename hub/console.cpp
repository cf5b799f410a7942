#include "console.h"

#include <algorithm>
#include <cstdio>

#include "console_text.h"
#include "platform.h"
#include "request.h"
#include "server.h"

namespace hub {
namespace {

using json = nlohmann::json;

constexpr std::string_view kPrefix = "/hub/console/";
constexpr std::string_view kApi = "/hub/console/api/";
constexpr std::size_t kMaxSessions = 64;
constexpr std::time_t kSessionIdle = 12 * 3600;  // a login lasts this long unused
constexpr const char *kCookie = "torvex_console";
constexpr std::size_t kMaxFailures = 10;     // wrong passwords from one address...
constexpr std::time_t kFailureWindow = 600;  // ...within this many seconds
constexpr std::size_t kFailureAddresses = 1024;

std::string Dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

ConsoleReply JsonReply(int status, const json &j) {
  ConsoleReply r;
  r.status = status;
  r.body = Dump(j);
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

ConsoleReply Error(int status, const std::string &erro) {
  return JsonReply(status, {{"erro", erro}});
}

std::string LocalTime(std::time_t t, const char *format = "%Y-%m-%d %H:%M:%S") {
  char out[32] = "";
  if (const std::tm *tm = std::localtime(&t)) std::strftime(out, sizeof out, format, tm);
  return out;
}

int LocalDay(std::time_t t) {
  const std::tm *tm = std::localtime(&t);
  return tm ? (tm->tm_year + 1900) * 1000 + tm->tm_yday : -1;
}

// The value of one cookie in a Cookie header.
std::string CookieValue(const std::string &header, std::string_view name) {
  std::size_t at = 0;
  while (at < header.size()) {
    auto end = header.find(';', at);
    std::string_view part(header.data() + at,
                          (end == std::string::npos ? header.size() : end) - at);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.substr(0, name.size()) == name &&
        part[name.size()] == '=')
      return std::string(part.substr(name.size() + 1));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return "";
}

// A name the person typed at login, kept printable and short for the log.
std::string CleanName(const std::string &in) {
  std::string out;
  for (unsigned char c : in) {
    if (out.size() >= 40) break;
    if (c >= 0x20 && c != 0x7F) out.push_back(static_cast<char>(c));
  }
  return out;
}

}  // namespace

Console::Console(Hub &hub) : hub_(hub) {}

bool Console::Enabled() const { return !hub_.Settings().consoleAdmin.empty(); }

std::string Console::NewSessionId() {
  unsigned char bytes[32];
  if (!RandomBytes(bytes, sizeof bytes)) return "";
  static const char *hex = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id.push_back(hex[b >> 4]);
    id.push_back(hex[b & 15]);
  }
  return id;
}

Console::Role Console::Authenticate(const ConsoleRequest &req, std::string &who) {
  const Config &c = hub_.Settings();
  constexpr std::string_view kBearer = "Bearer ";
  std::string_view auth = req.authorization;
  if (auth.size() > kBearer.size() && auth.substr(0, kBearer.size()) == kBearer) {
    auth.remove_prefix(kBearer.size());
    // Both compared, so that the time taken does not say which matched.
    bool admin = SecretEquals(auth, c.consoleAdmin);
    bool op = !c.consoleOperator.empty() && SecretEquals(auth, c.consoleOperator);
    who = admin ? "administrador (token)" : "operador (token)";
    return admin ? Role::kAdmin : op ? Role::kOperator : Role::kNone;
  }
  std::string id = CookieValue(req.cookie, kCookie);
  if (id.size() != 64) return Role::kNone;
  auto it = sessions_.find(id);
  std::time_t now = std::time(nullptr);
  if (it == sessions_.end()) return Role::kNone;
  if (now - it->second.lastUse > kSessionIdle) {
    sessions_.erase(it);
    return Role::kNone;
  }
  it->second.lastUse = now;
  who = it->second.who;
  return it->second.role;
}

std::optional<ConsoleReply> Console::Throttled(const std::string &client, json &log) {
  auto found = failures_.find(client);
  if (found == failures_.end()) return std::nullopt;
  const std::time_t now = std::time(nullptr);
  auto &failed = found->second;
  while (!failed.empty() && now - failed.front() >= kFailureWindow) failed.pop_front();
  if (failed.size() < kMaxFailures) return std::nullopt;
  log["acesso"] = "tentativas demais de senha do console";
  ConsoleReply r = Error(429, "tentativas demais; aguarde alguns minutos");
  r.headers.emplace_back("Retry-After", std::to_string(kFailureWindow - (now - failed.front())));
  return r;
}

void Console::Failed(const std::string &client) {
  if (failures_.size() > kFailureAddresses) failures_.clear();  // bounded whatever the clients
  failures_[client].push_back(std::time(nullptr));
}

ConsoleReply Console::Login(const ConsoleRequest &req, json &log) {
  if (req.method != "POST") return Error(405, "use o método POST");
  if (!IsFormContentType(req.contentType))
    return Error(415, "o corpo deve ser application/x-www-form-urlencoded");
  Form form;
  if (auto e = ParseForm(req.body, form)) return Error(400, e->erro);
  if (auto refused = Throttled(req.client, log)) return *refused;
  const std::string *senha = form.Find("senha");
  const std::string *usuario = form.Find("usuario");
  const Config &c = hub_.Settings();
  std::string given = senha ? *senha : "";
  bool admin = SecretEquals(given, c.consoleAdmin);
  bool op = !c.consoleOperator.empty() && SecretEquals(given, c.consoleOperator);
  std::string name = usuario ? CleanName(*usuario) : "";
  if (!admin && !op) {
    Failed(req.client);
    log["acesso"] = "senha do console recusada";
    if (!name.empty()) log["usuario"] = name;
    return Error(401, "senha incorreta");
  }
  failures_.erase(req.client);
  std::string id = NewSessionId();
  if (id.empty()) return Error(500, "sem fonte de números aleatórios");
  if (sessions_.size() >= kMaxSessions) {
    auto oldest = std::min_element(
        sessions_.begin(), sessions_.end(),
        [](const auto &a, const auto &b) { return a.second.lastUse < b.second.lastUse; });
    sessions_.erase(oldest);
  }
  Session s;
  s.role = admin ? Role::kAdmin : Role::kOperator;
  s.who = std::string(admin ? "administrador" : "operador") +
          (name.empty() ? "" : " (" + name + ")") + " " + req.client;
  s.lastUse = std::time(nullptr);
  sessions_[id] = s;
  log["console"] = "entrada";
  log["quem"] = s.who;
  ConsoleReply r =
      JsonReply(200, {{"papel", admin ? "administrador" : "operador"}, {"quem", s.who}});
  r.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + id +
                                           "; Path=/hub/console/; HttpOnly; SameSite=Strict");
  return r;
}

ConsoleReply Console::Logout(const ConsoleRequest &req) {
  if (req.method != "POST") return Error(405, "use o método POST");
  sessions_.erase(CookieValue(req.cookie, kCookie));
  ConsoleReply r = JsonReply(200, {{"saiu", true}});
  r.headers.emplace_back(
      "Set-Cookie",
      std::string(kCookie) + "=; Path=/hub/console/; HttpOnly; SameSite=Strict; Max-Age=0");
  return r;
}

std::optional<ConsoleReply> Console::Handle(const ConsoleRequest &req, json &log,
                                            std::function<void(ConsoleReply)> later) {
  if (!Enabled()) return Error(404, "console desligado: configure console-admin no hub");
  const std::string &path = req.path;
  if (path == "/hub/console") {
    ConsoleReply r;
    r.status = 301;
    r.contentType = "text/plain";
    r.headers.emplace_back("Location", "/hub/console/");
    return r;
  }
  if (path.compare(0, kApi.size(), kApi) != 0) {
    if (req.method != "GET") return Error(405, "use o método GET");
    std::string name = path.substr(kPrefix.size());
    if (name.empty()) name = "index.html";
    const ConsoleAsset *a = FindConsoleAsset(name);
    if (a == nullptr) return Error(404, "arquivo do console desconhecido");
    ConsoleReply r;
    r.contentType = a->contentType;
    r.body.assign(reinterpret_cast<const char *>(a->data), a->size);
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    r.headers.emplace_back("Referrer-Policy", "no-referrer");
    return r;
  }
  const std::string api = path.substr(kApi.size());
  if (api == "login") return Login(req, log);
  if (api == "logout") return Logout(req);
  // A password sent as a bearer token counts towards the same limit.
  const bool bearer = req.authorization.compare(0, 7, "Bearer ") == 0;
  if (bearer)
    if (auto refused = Throttled(req.client, log)) return refused;
  std::string who;
  Role role = Authenticate(req, who);
  if (role == Role::kNone) {
    if (bearer) Failed(req.client);
    log["acesso"] = bearer ? "senha do console recusada" : "console sem sessão";
    return Error(401, "entre com a senha do console");
  }
  log["quem"] = who;
  const bool get = req.method == "GET";
  if (api == "sessao") {
    if (!get) return Error(405, "use o método GET");
    return JsonReply(200, {{"papel", role == Role::kAdmin ? "administrador" : "operador"},
                           {"quem", who},
                           {"atualizar_s", hub_.Settings().consoleRefreshS}});
  }
  if (api == "caixas") {
    if (!get) return Error(405, "use o método GET");
    return JsonReply(200, TillsJson());
  }
  if (api == "fila") {
    if (!get) return Error(405, "use o método GET");
    return JsonReply(200, QueueJson());
  }
  if (api == "chamadas") {
    if (!get) return Error(405, "use o método GET");
    return JsonReply(200, CallsJson(req));
  }
  if (api == "status" || api == "logs") {
    if (!get) return Error(405, "use o método GET");
    Form query;
    if (auto e = ParseForm(req.query, query)) return Error(400, e->erro);
    if (api == "status") {
      const std::string *cache = query.Find("cache");
      if (cache && *cache == "1" && !lastStatus_.empty()) {
        ConsoleReply r;
        r.body = lastStatus_;
        return r;
      }
    }
    const std::string *formato = query.Find("formato");
    const bool text = formato && *formato == "txt";
    auto &waiters = api == "status" ? statusWaiters_ : logWaiters_;
    const bool first = waiters.empty();
    waiters.push_back(std::move(later));
    if (!first) return std::nullopt;  // joins the call already queued
    const bool status = api == "status";
    DeviceCall(
        status ? "ConsultarStatusOperacional" : "ExtrairLogs", {},
        [this, status, text](const Job &j, const CallResult &r) {
          json out;
          std::vector<std::string> lines;
          if (status) {
            out = StatusJson(r.retorno);
          } else {
            ReplySummary s = Summarize(r.retorno);
            out["ok"] = DecodeLogs(r.retorno, lines);
            out["codigo"] = s.code;
            out["mensagem"] = s.message;
            out["linhas"] = lines;
          }
          out["tomado_em"] = LocalTime(std::time(nullptr));
          out["fila_ms"] = j.queueSeconds * 1000;
          out["dispositivo_ms"] = j.deviceSeconds * 1000;
          out["sessao"] = j.args.session;
          out["codigo_biblioteca"] = r.codigo;
          out["mensagem_biblioteca"] = r.mensagem;
          if (r.codigo != 0 && out.contains("avisos"))
            out["avisos"].push_back("Biblioteca: " + r.mensagem);
          ConsoleReply reply = JsonReply(200, out);
          if (status) lastStatus_ = reply.body;
          auto waiting = std::move(status ? statusWaiters_ : logWaiters_);
          (status ? statusWaiters_ : logWaiters_).clear();
          for (auto &w : waiting) {
            if (!status && text && out["ok"].get<bool>()) {
              ConsoleReply t;
              t.contentType = "text/plain; charset=utf-8";
              for (const auto &l : lines) t.body += l + "\r\n";
              t.headers.emplace_back("Content-Disposition",
                                     "attachment; filename=\"sat-logs-" +
                                         LocalTime(std::time(nullptr), "%Y%m%d-%H%M%S") + ".txt\"");
              w(std::move(t));
            } else {
              w(reply);
            }
          }
        },
        [this, status] {
          auto waiting = std::move(status ? statusWaiters_ : logWaiters_);
          (status ? statusWaiters_ : logWaiters_).clear();
          for (auto &w : waiting) w(Error(503, "tempo de espera na fila esgotado"));
        });
    return std::nullopt;
  }
  if (api.compare(0, 5, "acao/") == 0) {
    if (req.method != "POST") return Error(405, "use o método POST");
    if (role != Role::kAdmin) {
      log["acesso"] = "ação só para o administrador";
      return Error(403, "só o administrador pode mudar o SAT");
    }
    return Action(api.substr(5), req, who, log, std::move(later));
  }
  return Error(404, "caminho desconhecido no console");
}

std::optional<ConsoleReply> Console::Action(const std::string &name, const ConsoleRequest &req,
                                            const std::string &who, json &log,
                                            std::function<void(ConsoleReply)> later) {
  if (!IsFormContentType(req.contentType))
    return Error(415, "o corpo deve ser application/x-www-form-urlencoded");
  Form form;
  if (auto e = ParseForm(req.body, form)) return Error(400, e->erro);
  const std::string *confirm = form.Find("confirmar");
  if (confirm == nullptr || *confirm != "sim")
    return Error(400, "ação sem confirmação (confirmar=sim)");
  const char *exportName = nullptr;
  CallArgs args;
  std::string newCode;
  if (name == "bloquear") {
    exportName = "BloquearSAT";
  } else if (name == "desbloquear") {
    exportName = "DesbloquearSAT";
  } else if (name == "venda-teste") {
    const std::string *dados = form.Find("dados_venda");
    if (dados == nullptr || dados->empty()) return Error(400, "falta dados_venda");
    if (dados->size() > kMaxCommandText / 2) return Error(413, "dados_venda grande demais");
    exportName = "TesteFimAFim";
    args.texts = {*dados};
  } else if (name == "trocar-codigo") {
    const std::string *novo = form.Find("novo_codigo");
    if (novo == nullptr || novo->size() < 8 || novo->size() > 32)
      return Error(400, "o novo código de ativação tem de 8 a 32 caracteres");
    exportName = "TrocarCodigoDeAtivacao";
    newCode = *novo;
    args.ints = {1};
    args.texts = {newCode, newCode};
  } else {
    return Error(404, "ação desconhecida");
  }
  log["console"] = "acao";
  log["acao"] = name;
  json line = {{"ts", LocalTime(std::time(nullptr))},
               {"console", "acao pedida"},
               {"acao", name},
               {"quem", who}};
  hub_.AccessLog(Dump(line));
  auto respond = std::make_shared<std::function<void(ConsoleReply)>>(std::move(later));
  DeviceCall(
      exportName, args,
      [this, name, who, newCode, respond](const Job &j, const CallResult &r) {
        ReplySummary s = Summarize(r.retorno);
        if (!newCode.empty() && r.codigo == 0 && s.code == "18000") {
          hub_.Book().SetActivationCode(newCode);
          std::string error;
          if (!hub_.Book().Save(error)) std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
        }
        json done = {{"ts", LocalTime(std::time(nullptr))},
                     {"console", "acao feita"},
                     {"acao", name},
                     {"quem", who},
                     {"sessao", j.args.session},
                     {"codigo", s.code},
                     {"mensagem", s.message},
                     {"codigo_biblioteca", r.codigo}};
        hub_.AccessLog(Dump(done));
        (*respond)(JsonReply(200, {{"funcao", j.fn->exportName},
                                   {"retorno", r.retorno},
                                   {"codigo", s.code},
                                   {"mensagem", s.message},
                                   {"erro_sat", s.error},
                                   {"dispositivo_ms", j.deviceSeconds * 1000},
                                   {"mensagem_biblioteca", r.mensagem}}));
      },
      [respond] { (*respond)(Error(503, "tempo de espera na fila esgotado")); });
  return std::nullopt;
}

void Console::DeviceCall(const char *exportName, CallArgs args,
                         std::function<void(const Job &, const CallResult &)> done,
                         std::function<void()> expired) {
  auto job = std::make_shared<Job>();
  job->fn = FindByExport(exportName);
  job->till = hub_.Settings().consoleTill;
  job->args = std::move(args);
  Hub &hub = hub_;
  job->prepare = [&hub](Job &j) {
    j.args.session = hub.Book().Next(j.till);
    if (j.fn->takesActivationCode) j.args.activationCode = hub.ActivationCode();
  };
  job->done = [done = std::move(done)](Job &j, const CallResult &r) { done(j, r); };
  job->expired = [expired = std::move(expired)](Job &) { expired(); };
  hub_.Submit(job);
}

void Console::Record(const Job &job, const CallResult &result) {
  ReplySummary s = Summarize(result.retorno);
  CallRow row;
  row.when = std::time(nullptr);
  row.till = job.till;
  row.function = job.fn->exportName;
  row.session = job.args.session;
  row.deviceMs = job.deviceSeconds * 1000;
  row.queueMs = job.queueSeconds * 1000;
  row.codigo = result.codigo;
  row.code = s.code;
  row.message = result.codigo != 0 && s.code.empty() ? result.mensagem : s.message;
  row.error = result.codigo != 0 || s.error;
  calls_.push_back(row);
  while (calls_.size() > kKeptCalls) calls_.pop_front();
  TillRow &t = tills_[job.till];
  int today = LocalDay(row.when);
  if (t.day != today) {
    t.day = today;
    t.callsToday = t.errorsToday = 0;
  }
  t.last = row.when;
  t.lastFunction = row.function;
  ++t.calls;
  ++t.callsToday;
  if (row.error) {
    ++t.errors;
    ++t.errorsToday;
  }
}

json Console::TillsJson() {
  json list = json::array();
  int today = LocalDay(std::time(nullptr));
  for (auto &[till, t] : tills_) {
    if (t.day != today) t.callsToday = t.errorsToday = 0, t.day = today;
    list.push_back({{"caixa", till},
                    {"console", till == hub_.Settings().consoleTill},
                    {"ultima_chamada", LocalTime(t.last)},
                    {"ultima_funcao", t.lastFunction},
                    {"chamadas_hoje", t.callsToday},
                    {"erros_hoje", t.errorsToday},
                    {"chamadas", t.calls},
                    {"erros", t.errors}});
  }
  return {{"caixas", list}};
}

json Console::QueueJson() const {
  auto now = Clock::now();
  auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  json running = nullptr;
  if (auto r = hub_.Running()) {
    auto started = r->arrived + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(r->queueSeconds));
    running = {{"caixa", r->till},
               {"funcao", r->fn->exportName},
               {"sessao", r->args.session},
               {"no_sat_ms", ms(now - started)}};
  }
  json waiting = json::array();
  for (const auto &j : hub_.Waiting())
    waiting.push_back(
        {{"caixa", j->till}, {"funcao", j->fn->exportName}, {"espera_ms", ms(now - j->arrived)}});
  return {{"em_execucao", running}, {"esperando", waiting}};
}

json Console::CallsJson(const ConsoleRequest &req) const {
  Form query;
  ParseForm(req.query, query);  // a malformed query filters nothing
  const std::string *till = query.Find("caixa");
  const std::string *fn = query.Find("funcao");
  int tillNumber = -1;
  if (till && !till->empty() && !ParseInt32(*till, tillNumber)) tillNumber = -2;
  json list = json::array();
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
    const CallRow &c = *it;
    if (tillNumber != -1 && c.till != tillNumber) continue;
    if (fn && !fn->empty() && c.function != *fn) continue;
    list.push_back({{"hora", LocalTime(c.when)},
                    {"caixa", c.till},
                    {"funcao", c.function},
                    {"sessao", c.session},
                    {"dispositivo_ms", c.deviceMs},
                    {"fila_ms", c.queueMs},
                    {"codigo", c.code},
                    {"mensagem", c.message},
                    {"codigo_biblioteca", c.codigo},
                    {"erro", c.error}});
  }
  json functions = json::array();
  for (const auto &f : Functions())
    if (*f.path) functions.push_back(f.exportName);
  return {{"chamadas", list}, {"funcoes", functions}};
}

}  // namespace hub
