// Remote mode's HTTP request on POSIX: Boost.Beast on Asio. Each call runs
// its own small I/O loop on the caller's thread: resolve, connect (within
// the connect time-out), write the request and read the reply, the whole
// bounded by the call's limit through one timer. Nothing spins: the loop
// blocks in the system's poller until a socket or the timer is ready.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "remote_http.h"
#include "text.h"

namespace torvex::sat {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

bool HttpsAvailable() { return false; }

namespace {

struct Exchange {
  net::io_context io{1};
  tcp::resolver resolver{io};
  beast::tcp_stream stream{io};
  net::steady_timer limit{io};
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
          x.connected = true;
          x.stream.expires_never();  // the limit timer bounds the rest
          http::async_write(x.stream, x.request, [&](beast::error_code ec3, std::size_t) {
            if (x.done) return;
            if (ec3) return x.Finish(HttpOutcome::kLost, ec3);
            http::async_read(x.stream, x.buffer, x.parser, [&](beast::error_code ec4, std::size_t) {
              if (x.done) return;
              if (ec4) return x.Finish(NotReplied(ec4), ec4);
              x.Finish(HttpOutcome::kReplied);
            });
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
