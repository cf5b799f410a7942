// One HTTP connection: reads requests under a time limit, answers the
// hub's pages at once and queues device calls, watching the connection
// while a call waits so that a till that leaves is dropped from the queue.
#include <boost/asio/dispatch.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "console.h"
#include "remote.h"
#include "request.h"
#include "server.h"
#include "stream.h"

namespace hub {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kHeaderLimit = 16 * 1024;
// Bytes read ahead while a call waits (a pipelined next request); past
// this the connection is no longer watched.
constexpr std::size_t kWatchLimit = 64 * 1024;

std::string Json(const nlohmann::json &j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The first field of a reply text, as a session number (or -1).
int FirstFieldSession(const std::string &retorno) {
  int s = -1;
  auto bar = retorno.find('|');
  if (bar == std::string::npos || bar > 11) return -1;
  return ParseInt32(std::string_view(retorno).substr(0, bar), s) ? s : -1;
}

std::string Field(const std::string &retorno, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = retorno.find('|', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return retorno.substr(start, retorno.find('|', start) - start);
}

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Hub &hub, tcp::socket socket) : hub_(hub), stream_(std::move(socket), hub.Tls()) {
    boost::system::error_code ec;
    auto ep = stream_.socket().remote_endpoint(ec);
    if (!ec) client_ = ep.address();
    allowed_ = !ec && hub_.AccessRules().AddressAllowed(client_);
    hub_.SessionOpened();
  }
  ~HttpSession() { hub_.SessionClosed(); }

  void Start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Handshake(); });
  }

 private:
  // A TLS handshake must end within the read limit too; a client that
  // fails it (plain HTTP on a TLS port) is closed without a reply.
  void Handshake() {
    if (!stream_.IsTls()) return Read();
    stream_.expires_after(std::chrono::milliseconds(hub_.Settings().readTimeoutMs));
    stream_.Handshake([self = shared_from_this()](const boost::system::error_code &ec) {
      if (ec) return self->Close();
      self->Read();
    });
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(hub_.Settings().bodyLimit);
    // One limit for the whole request, headers and body: a client that
    // trickles its request is cut off however steadily it sends.
    stream_.expires_after(std::chrono::milliseconds(hub_.Settings().readTimeoutMs));
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    t0_ = Clock::now();
    log_ = nlohmann::json::object();
    if (ec == http::error::end_of_stream || ec == net::error::eof ||
        ec == net::error::connection_reset || ec == beast::error::timeout ||
        ec == net::error::operation_aborted) {
      if (ec == beast::error::timeout && parser_->got_some()) {
        log_["erro"] = "pedido incompleto no prazo";
        LogOnly(408);
      }
      return Close();
    }
    if (ec == http::error::body_limit) {
      keepAlive_ = false;
      return SendError({413, "corpo do pedido maior que o limite configurado", ""});
    }
    if (ec == http::error::header_limit) {
      keepAlive_ = false;
      return SendError({431, "cabeçalhos grandes demais", ""});
    }
    if (ec && ec.category() != http::make_error_code(http::error::bad_target).category())
      return Close();  // the connection failed (a TLS error, a reset): nobody to answer
    if (ec) {
      keepAlive_ = false;
      return SendError({400, "pedido HTTP malformado", ""});
    }
    const auto &req = parser_->get();
    keepAlive_ = req.keep_alive();
    method_ = std::string(req.method_string());
    target_ = std::string(req.target());
    log_["metodo"] = method_;
    log_["caminho"] = target_;
    if (!allowed_) {
      log_["acesso"] = "endereço fora da lista";
      keepAlive_ = false;
      return SendError({403, "endereço de origem não permitido", ""});
    }
    Route();
  }

  void Route() {
    const auto &req = parser_->get();
    std::string_view path = target_;
    path = path.substr(0, path.find('?'));
    constexpr std::string_view kApi = "/hub/v1/";
    constexpr std::string_view kRemote = "/hub/remote/";
    if (path == "/hub/v1/health") {
      if (req.method() != http::verb::get) return SendError({405, "use o método GET", ""});
      return Send(200, "application/json", hub_.HealthJson());
    }
    if (path == "/metrics") {
      if (req.method() != http::verb::get) return SendError({405, "use o método GET", ""});
      return Send(200, "text/plain; version=0.0.4", hub_.MetricsText());
    }
    if (path.substr(0, kApi.size()) == kApi) return PublicCall(path.substr(kApi.size()));
    if (path == "/hub/remote/v1/call") return RemoteCallRequest();
    if (path == "/hub/console" || path.substr(0, 13) == "/hub/console/") return ConsoleCall();
    if (path.substr(0, kRemote.size()) == kRemote)
      return SendError({404, "versão do protocolo remoto desconhecida", ""});
    return SendError({404, "caminho desconhecido", ""});
  }

  std::optional<std::string_view> TillHeader() const {
    const auto &req = parser_->get();
    auto it = req.find("numero_caixa");
    if (it == req.end()) return std::nullopt;
    return std::string_view(it->value().data(), it->value().size());
  }

  // 401 when the till has a token and the request does not carry it.
  bool TokenRefused(int till) {
    const auto &req = parser_->get();
    auto it = req.find(http::field::authorization);
    std::string_view auth = it == req.end()
                                ? std::string_view()
                                : std::string_view(it->value().data(), it->value().size());
    if (hub_.AccessRules().TokenAccepted(till, auth)) return false;
    log_["acesso"] = "token recusado";
    SendError({401, "token ausente ou errado para esta caixa", "Authorization"});
    return true;
  }

  void PublicCall(std::string_view function) {
    const auto &req = parser_->get();
    auto ct = req.find(http::field::content_type);
    std::string_view contentType = ct == req.end()
                                       ? std::string_view()
                                       : std::string_view(ct->value().data(), ct->value().size());
    PublicRequest pr;
    if (auto e = ParsePublicRequest(method_, function, contentType, req.body(), TillHeader(), pr))
      return SendError(*e);
    log_["numero_caixa"] = pr.till;
    log_["funcao"] = pr.fn->exportName;
    if (TokenRefused(pr.till)) return;
    auto job = std::make_shared<Job>();
    job->fn = pr.fn;
    job->till = pr.till;
    job->args = std::move(pr.args);
    const std::string_view name = pr.fn->exportName;
    SessionBook &book = hub_.Book();
    if (name == "ConsultarNumeroSessao") {
      int n = job->args.ints[0];
      if (!InRange(pr.till, n))
        return SendError({400, "numero_sessao não pertence à faixa desta caixa", "numero_sessao"});
      // A reply the hub kept is answered from the hub: the device keeps
      // only its last 100 sessions, for all tills together.
      if (const KeptReply *k = book.Kept(pr.till, n); k != nullptr && k->result.codigo == 0)
        return SendReply(pr.fn->exportName, k->result.retorno, n, "hub");
    }
    if (name == "ConsultarUltimaSessaoFiscal") {
      int last = book.LastFiscal(pr.till);
      if (const KeptReply *k = book.Kept(pr.till, last); k != nullptr && k->result.codigo == 0)
        return SendReply(pr.fn->exportName, k->result.retorno, last, "hub");
      if (last != 0) {
        // The till's last sale or cancellation reached the device but its
        // reply did not reach the hub: ask the device for that session.
        job->fn = FindByExport("ConsultarNumeroSessao");
        job->args.ints = {last};
      }
    }
    if (name == "TrocarCodigoDeAtivacao") {
      // Fields: new code, option, emergency code. Option 2 authorises the
      // change with the emergency code instead of the activation code.
      std::string novo = job->args.texts[0];
      std::string emergency = job->args.texts[1];
      job->args.texts = {novo, novo};
      job->args.activationCode = job->args.ints[0] == 2 ? emergency : std::string();
    }
    const bool emergency = name == "TrocarCodigoDeAtivacao" && job->args.ints[0] == 2;
    const bool askedLastFiscal = name == "ConsultarUltimaSessaoFiscal";
    const std::string exportName = pr.fn->exportName;
    Hub &hub = hub_;
    job->prepare = [&hub, emergency](Job &j) {
      j.args.session = hub.Book().Next(j.till);
      if (!emergency && j.fn->takesActivationCode) j.args.activationCode = hub.ActivationCode();
      if (j.fn->fiscal) {
        // Written before the sale reaches the device (see PrepareRemote).
        hub.Book().SetLastFiscal(j.till, j.args.session);
        std::string error;
        if (!hub.Book().Save(error)) std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
      }
    };
    std::weak_ptr<HttpSession> weak = shared_from_this();
    job->done = [weak, &hub, exportName, askedLastFiscal](Job &j, const CallResult &r) {
      if (exportName == "TrocarCodigoDeAtivacao" && r.codigo == 0 &&
          Field(r.retorno, 1) == "18000") {
        hub.Book().SetActivationCode(j.args.texts[0]);
        std::string error;
        hub.Book().Save(error);
      }
      auto self = weak.lock();
      if (!self) return;  // the till left while its call ran: the reply is kept
      if (askedLastFiscal && r.codigo == 0 && j.fn->exportName == exportName) {
        int s = FirstFieldSession(r.retorno);
        if (s >= 100000 && !InRange(j.till, s))
          return self->EndWait([self] {
            self->SendError({409, "a última venda ou cancelamento do aparelho é de outra caixa",
                             "numero_caixa"});
          });
      }
      self->EndWait([self, exportName, r, &j] {
        self->SendReply(exportName, r.retorno, j.args.session, "dispositivo", &j);
      });
    };
    job->expired = [weak](Job &) {
      if (auto self = weak.lock())
        self->EndWait([self] { self->SendError({503, "tempo de espera na fila esgotado", ""}); });
    };
    Queue(job);
  }

  void RemoteCallRequest() {
    const auto &req = parser_->get();
    if (req.method() != http::verb::post) return SendError({405, "use o método POST", ""});
    auto ct = req.find(http::field::content_type);
    if (!req.body().empty() && (ct == req.end() || !IsFormContentType(std::string_view(
                                                       ct->value().data(), ct->value().size()))))
      return SendError({415, "o corpo deve ser application/x-www-form-urlencoded", ""});
    Form form;
    if (auto e = ParseForm(req.body(), form)) return SendError(*e);
    int till = 0;
    if (auto e = ParseTill(form, TillHeader(), till)) return SendError(*e);
    RemoteCall call;
    if (auto e = BuildRemoteCall(form, call)) return SendError(*e);
    log_["numero_caixa"] = till;
    log_["funcao"] = call.fn->exportName;
    if (TokenRefused(till)) return;
    auto job = std::make_shared<Job>();
    job->fn = call.fn;
    job->till = till;
    job->args = call.args;
    auto plan = std::make_shared<RemotePlan>(call);
    Hub &hub = hub_;
    job->prepare = [&hub, plan](Job &j) { PrepareRemote(hub.Book(), j, *plan); };
    std::weak_ptr<HttpSession> weak = shared_from_this();
    job->done = [weak, &hub, plan](Job &j, const CallResult &r) {
      bool otherTill = false;
      CallResult answer = FinishRemote(hub.Book(), j, *plan, r, otherTill);
      auto self = weak.lock();
      if (self && otherTill)
        return self->EndWait([self] {
          self->SendError(
              {409, "a última venda ou cancelamento do aparelho é de outra caixa", "numero_caixa"});
        });
      if (self)
        self->EndWait([self, answer, &j] {
          self->log_["sessao"] = j.args.session;
          self->Send(200, "application/x-www-form-urlencoded",
                     RemoteReplyBody(answer, j.args.session), &j);
        });
    };
    job->expired = [weak](Job &) {
      if (auto self = weak.lock())
        self->EndWait([self] { self->SendError({503, "tempo de espera na fila esgotado", ""}); });
    };
    Queue(job);
  }

  // The web console (console.cpp): answered at once, or after a device
  // call while the connection is watched as for a queued call.
  void ConsoleCall() {
    const auto &req = parser_->get();
    auto header = [&req](http::field f) {
      auto it = req.find(f);
      return it == req.end() ? std::string() : std::string(it->value());
    };
    ConsoleRequest creq;
    creq.method = method_;
    auto q = target_.find('?');
    creq.path = target_.substr(0, q);
    if (q != std::string::npos) creq.query = target_.substr(q + 1);
    creq.body = req.body();
    creq.contentType = header(http::field::content_type);
    creq.cookie = header(http::field::cookie);
    creq.authorization = header(http::field::authorization);
    creq.client = client_.to_string();
    std::weak_ptr<HttpSession> weak = shared_from_this();
    auto now = hub_.WebConsole().Handle(creq, log_, [weak](ConsoleReply r) {
      if (auto self = weak.lock())
        self->EndWait([self, &r] {
          self->Send(r.status, r.contentType.c_str(), std::move(r.body), nullptr, &r.headers);
        });
    });
    if (now)
      return Send(now->status, now->contentType.c_str(), std::move(now->body), nullptr,
                  &now->headers);
    waiting_ = true;
    stream_.expires_never();
    Watch();
  }

  // Queues the call and watches the connection until it is answered.
  void Queue(const std::shared_ptr<Job> &job) {
    job_ = job;
    waiting_ = true;
    stream_.expires_never();
    hub_.Submit(job);
    if (waiting_) Watch();
  }

  void Watch() {
    if (buffer_.size() >= kWatchLimit) return;
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->buffer_.commit(n);
                              if (!self->waiting_) return;
                              if (ec) {
                                // The till went away: a queued call is dropped without touching the
                                // device; a call on the device finishes and its reply is kept.
                                if (self->job_ && self->job_->queued) {
                                  self->hub_.Cancel(self->job_);
                                  self->hub_.Stats().Dropped();
                                  self->log_["erro"] = "cliente desconectou na fila";
                                  self->LogOnly(499);
                                }
                                self->waiting_ = false;
                                self->job_.reset();
                                return;
                              }
                              self->Watch();
                            });
  }

  // Stops watching, then runs send (a reply to write).
  template <typename F>
  void EndWait(F send) {
    if (!waiting_) return;
    waiting_ = false;
    boost::system::error_code ignored;
    stream_.socket().cancel(ignored);
    send();
    job_.reset();
  }

  void SendReply(const std::string &funcao, const std::string &retorno, int session,
                 const char *source, const Job *job = nullptr) {
    nlohmann::json j;
    j["funcao"] = funcao;
    j["retorno"] = retorno;
    log_["sessao"] = session;
    log_["origem"] = source;
    Send(200, "application/json", Json(j), job);
  }

  void SendError(const HubError &e) {
    if (!e.erro.empty()) log_["erro"] = e.erro;
    if (!e.campo.empty()) log_["campo"] = e.campo;
    Send(e.status, "application/json", ErrorJson(e));
  }

  void Send(int status, const char *contentType, std::string body, const Job *job = nullptr,
            const std::vector<std::pair<std::string, std::string>> *headers = nullptr) {
    auto res =
        std::make_shared<http::response<http::string_body>>(static_cast<http::status>(status), 11);
    res->set(http::field::server, "torvex-hub");
    res->set(http::field::content_type, contentType);
    if (status == 401) res->set(http::field::www_authenticate, "Bearer");
    if (status == 503) res->set(http::field::retry_after, "2");
    if (job != nullptr) {
      res->set("Hub-Sequencia", std::to_string(job->sequence));
      res->set("Hub-Chegada", std::to_string(job->startedBeforeArrival));
      res->set("Hub-Sessao", std::to_string(job->args.session));
      res->set("Hub-Dispositivo-Us",
               std::to_string(static_cast<long long>(job->deviceSeconds * 1e6)));
      log_["fila_ms"] = job->queueSeconds * 1000;
      log_["dispositivo_ms"] = job->deviceSeconds * 1000;
    }
    if (headers != nullptr)
      for (const auto &[name, value] : *headers) res->set(name, value);
    res->keep_alive(keepAlive_);
    res->body() = std::move(body);
    res->prepare_payload();
    LogOnly(status);
    stream_.expires_after(std::chrono::milliseconds(hub_.Settings().writeTimeoutMs));
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
                        if (ec) return self->Close();
                        if (!self->keepAlive_) return self->Linger();
                        self->Read();
                      });
  }

  void LogOnly(int status) {
    hub_.Stats().Reply(status);
    std::time_t now = std::time(nullptr);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    log_["ts"] = when;
    log_["cliente"] = client_.to_string();
    log_["status"] = status;
    log_["ms"] = std::chrono::duration<double, std::milli>(Clock::now() - t0_).count();
    hub_.AccessLog(Json(log_));
  }

  // After a last reply: the sending side is shut and what the client still
  // sends (the rest of a refused body) is read and dropped for a moment, so
  // that closing with unread bytes does not reset the connection before the
  // client has read the reply.
  void Linger() {
    stream_.expires_after(std::chrono::seconds(2));
    stream_.ShutdownSend([self = shared_from_this()] { self->Drain(); });
  }

  void Drain() {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(16384),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->Close();
                              self->Drain();
                            });
  }

  void Close() {
    boost::system::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  Hub &hub_;
  HubStream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  net::ip::address client_;
  bool allowed_ = false;
  bool keepAlive_ = true;
  bool waiting_ = false;
  std::shared_ptr<Job> job_;
  std::string method_, target_;
  nlohmann::json log_;
  Clock::time_point t0_;
};

}  // namespace

void StartHttpSession(Hub &hub, tcp::socket socket) {
  std::make_shared<HttpSession>(hub, std::move(socket))->Start();
}

}  // namespace hub
