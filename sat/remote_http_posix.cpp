// Remote mode's HTTP request on POSIX: Boost.Beast on Asio. Each call runs
// its own small I/O loop on the caller's thread: resolve, connect (within
// the connect time-out), write the request and read the reply, the whole
// bounded by the call's limit through one timer. Nothing spins: the loop
// blocks in the system's poller until a socket or the timer is ready.
// https:// hubs: OpenSSL through Asio's SSL stream, the hub's certificate
// checked against the system's store or the configured CA file and the
// hub's name or address, before the request goes out.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "remote_http.h"
#include "text.h"

namespace torvex::sat {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

bool HttpsAvailable() { return true; }
bool HttpsCaFileAvailable() { return true; }

namespace {

struct Exchange {
  net::io_context io{1};
  tcp::resolver resolver{io};
  beast::tcp_stream stream{io};
  net::steady_timer limit{io};
  std::optional<net::ssl::context> tlsContext;
  std::optional<net::ssl::stream<beast::tcp_stream &>> tls;
  http::request<http::string_body> request;
  http::response_parser<http::string_body> parser;
  beast::flat_buffer buffer;
  HttpOutcome outcome = HttpOutcome::kTimedOut;
  bool connected = false;
  bool done = false;
  beast::error_code error;

  void Finish(HttpOutcome result, beast::error_code ec = {}) {
    if (done) return;
    done = true;
    outcome = result;
    error = ec;
    limit.cancel();
    resolver.cancel();
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream.close();
  }
};

// A reply over the size limits is an invalid reply; anything else that
// ends the reading early (the connection closed, bytes that are not HTTP)
// leaves it unknown whether the hub ran the call: a lost connection.
HttpOutcome NotReplied(const beast::error_code &ec) {
  if (ec == http::error::body_limit || ec == http::error::header_limit)
    return HttpOutcome::kTooLarge;
  return HttpOutcome::kLost;
}

// Writes the request and reads the reply on a connected stream.
template <typename Stream>
void Talk(Exchange &x, Stream &stream) {
  http::async_write(stream, x.request, [&](beast::error_code ec, std::size_t) {
    if (x.done) return;
    if (ec) return x.Finish(HttpOutcome::kLost, ec);
    http::async_read(stream, x.buffer, x.parser, [&](beast::error_code ec2, std::size_t) {
      if (x.done) return;
      if (ec2) return x.Finish(NotReplied(ec2), ec2);
      x.Finish(HttpOutcome::kReplied);
    });
  });
}

// The TLS side of an https:// hub: the system's CA store or caFile, the
// hub's name (SNI and the certificate's names) or IP address checked.
bool SetUpTls(Exchange &x, const HubAddress &hub, const char *caFile, beast::error_code &ec) {
  namespace ssl = net::ssl;
  x.tlsContext.emplace(ssl::context::tls_client);
  ssl::context &context = *x.tlsContext;
  context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                          ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                          ssl::context::no_tlsv1_1,
                      ec);
  if (ec) return false;
  if (caFile != nullptr && caFile[0] != '\0')
    context.load_verify_file(caFile, ec);
  else
    context.set_default_verify_paths(ec);
  if (ec) return false;
  x.tls.emplace(x.stream, context);
  x.tls->set_verify_mode(ssl::verify_peer, ec);
  if (!ec) x.tls->set_verify_callback(ssl::host_name_verification(hub.host), ec);
  if (ec) return false;
  boost::system::error_code notAddress;
  net::ip::make_address(hub.host, notAddress);
  if (notAddress && SSL_set_tlsext_host_name(x.tls->native_handle(), hub.host) != 1) {
    ec = net::error::invalid_argument;
    return false;
  }
  return true;
}

}  // namespace

HttpOutcome HttpPost(const HttpPostRequest &rq, HttpPostReply &reply) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(rq.limitMs);
  auto connectLimit = std::chrono::milliseconds(rq.connectTimeoutMs);
  if (connectLimit > std::chrono::milliseconds(rq.limitMs))
    connectLimit = std::chrono::milliseconds(rq.limitMs);

  Exchange x;
  const HubAddress &hub = *rq.hub;
  char port[8];
  FormatText(port, sizeof port, "%u", hub.port);
  char hostHeader[kHubHostSize + 16];
  bool v6 = std::strchr(hub.host, ':') != nullptr;
  FormatText(hostHeader, sizeof hostHeader, v6 ? "[%s]:%s" : "%s:%s", hub.host, port);

  x.request.method(http::verb::post);
  x.request.target(rq.target);
  x.request.version(11);
  x.request.set(http::field::host, hostHeader);
  x.request.set(http::field::user_agent, "torvex");
  x.request.set(http::field::content_type, "application/x-www-form-urlencoded");
  x.request.set(http::field::connection, "close");
  if (rq.token != nullptr && rq.token[0] != '\0')
    x.request.set(http::field::authorization, std::string("Bearer ") + rq.token);
  char till[16];
  FormatText(till, sizeof till, "%d", rq.till);
  x.request.set("numero_caixa", till);
  x.request.body() = *rq.body;
  x.request.prepare_payload();
  x.parser.body_limit(kHubReplyMax);
  x.parser.header_limit(16 * 1024);

  x.limit.expires_at(deadline);
  x.limit.async_wait([&](beast::error_code ec) {
    if (!ec) x.Finish(x.connected ? HttpOutcome::kTimedOut : HttpOutcome::kCannotConnect);
  });

  x.resolver.async_resolve(
      hub.host, port, [&](beast::error_code ec, tcp::resolver::results_type endpoints) {
        if (x.done) return;
        if (ec) return x.Finish(HttpOutcome::kCannotConnect, ec);
        x.stream.expires_after(connectLimit);
        x.stream.async_connect(endpoints, [&](beast::error_code ec2, const tcp::endpoint &) {
          if (x.done) return;
          if (ec2) return x.Finish(HttpOutcome::kCannotConnect, ec2);
          x.stream.expires_never();  // the limit timer bounds the rest
          if (!hub.tls) {
            x.connected = true;
            return Talk(x, x.stream);
          }
          // Within the connect time-out too: the request has not gone out
          // until the hub's certificate has been checked.
          beast::error_code ec3;
          if (!SetUpTls(x, hub, rq.caFile, ec3)) return x.Finish(HttpOutcome::kCannotConnect, ec3);
          x.stream.expires_after(connectLimit);
          x.tls->async_handshake(net::ssl::stream_base::client, [&](beast::error_code ec4) {
            if (x.done) return;
            if (ec4) return x.Finish(HttpOutcome::kCannotConnect, ec4);
            x.connected = true;
            x.stream.expires_never();
            Talk(x, *x.tls);
          });
        });
      });
  x.io.run();

  if (x.outcome == HttpOutcome::kReplied) {
    reply.status = static_cast<int>(x.parser.get().result_int());
    reply.body = std::move(x.parser.get().body());
  }
  if (x.error) CopyText(reply.detail, sizeof reply.detail, x.error.message().c_str());
  return x.outcome;
}

}  // namespace torvex::sat
