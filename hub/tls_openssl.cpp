// TLS with OpenSSL through Asio's SSL stream (Linux).
#include <boost/asio/ssl.hpp>
#include <cstring>

#include "tls.h"

namespace hub {
namespace {

namespace net = boost::asio;
namespace ssl = net::ssl;

// A record's worth: the buffers of one write are gathered into one record
// instead of one record per header piece.
constexpr std::size_t kRecordBytes = 16 * 1024;

class OpenSslConnection final : public TlsConnection {
 public:
  OpenSslConnection(ssl::context &context, boost::beast::tcp_stream &stream)
      : ssl_(stream, context) {}

  void Handshake(Done done) override {
    ssl_.async_handshake(
        ssl::stream_base::server,
        [done = std::move(done)](const boost::system::error_code &ec) { done(ec, 0); });
  }

  void ReadSome(net::mutable_buffer buffer, Done done) override {
    ssl_.async_read_some(buffer, std::move(done));
  }

  void WriteSome(const std::vector<net::const_buffer> &buffers, Done done) override {
    if (buffers.size() == 1 || (!buffers.empty() && buffers[0].size() >= kRecordBytes))
      return ssl_.async_write_some(buffers[0], std::move(done));
    gather_.clear();
    for (const auto &b : buffers) {
      std::size_t take = std::min(b.size(), kRecordBytes - gather_.size());
      gather_.append(static_cast<const char *>(b.data()), take);
      if (gather_.size() == kRecordBytes) break;
    }
    ssl_.async_write_some(net::buffer(gather_), std::move(done));
  }

  void Shutdown(Done done) override {
    ssl_.async_shutdown(
        [done = std::move(done)](const boost::system::error_code &ec) { done(ec, 0); });
  }

 private:
  ssl::stream<boost::beast::tcp_stream &> ssl_;
  std::string gather_;  // a gathered write, kept until it completes
};

class OpenSslServer final : public TlsServer {
 public:
  OpenSslServer() : context_(ssl::context::tls_server) {}
  bool Load(const std::string &cert, const std::string &key, std::string &error) {
    boost::system::error_code ec;
    // TLS 1.2 and later only; no compression, no renegotiation by clients.
    context_.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                             ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                             ssl::context::no_tlsv1_1 | ssl::context::no_compression |
                             ssl::context::single_dh_use,
                         ec);
    SSL_CTX_set_options(context_.native_handle(), SSL_OP_NO_RENEGOTIATION);
    // No session tickets: a till's library opens one connection per call
    // with a fresh context and never resumes a session.
    SSL_CTX_set_num_tickets(context_.native_handle(), 0);
    if (!ec) context_.use_certificate_chain_file(cert, ec);
    if (ec) {
      error = "cannot use the TLS certificate " + cert + ": " + ec.message();
      return false;
    }
    context_.use_private_key_file(key, ssl::context::pem, ec);
    if (!ec && SSL_CTX_check_private_key(context_.native_handle()) != 1)
      ec = boost::system::error_code(static_cast<int>(ERR_get_error()),
                                     net::error::get_ssl_category());
    if (ec) {
      error =
          "cannot use the TLS key " + key + " with the certificate " + cert + ": " + ec.message();
      return false;
    }
    return true;
  }
  std::unique_ptr<TlsConnection> Wrap(boost::beast::tcp_stream &stream) override {
    return std::make_unique<OpenSslConnection>(context_, stream);
  }

 private:
  ssl::context context_;
};

}  // namespace

std::unique_ptr<TlsServer> MakeTlsServer(const std::string &certFile, const std::string &keyFile,
                                         std::string &error) {
  auto server = std::make_unique<OpenSslServer>();
  if (!server->Load(certFile, keyFile, error)) return nullptr;
  return server;
}

}  // namespace hub
