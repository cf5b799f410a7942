// TLS for the hub's connections, where the platform's build has it
// (tls_openssl.cpp on Linux; tls_none.cpp elsewhere refuses --tls-cert).
#pragma once
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hub {

// One TLS connection over a TCP stream it does not own. Every operation
// completes on the stream's executor; one read and one write may be pending
// at a time. Time limits are the TCP stream's (expires_after).
class TlsConnection {
 public:
  using Done = std::function<void(const boost::system::error_code &, std::size_t)>;
  virtual ~TlsConnection() = default;
  virtual void Handshake(Done done) = 0;  // as the server
  virtual void ReadSome(boost::asio::mutable_buffer buffer, Done done) = 0;
  // Writes some of the buffers (at most one TLS record's worth).
  virtual void WriteSome(const std::vector<boost::asio::const_buffer> &buffers, Done done) = 0;
  virtual void Shutdown(Done done) = 0;  // sends close_notify
};

// The hub's certificate and key, loaded once.
class TlsServer {
 public:
  virtual ~TlsServer() = default;
  virtual std::unique_ptr<TlsConnection> Wrap(boost::beast::tcp_stream &stream) = 0;
};

// Loads a PEM certificate chain and its private key. Null, with a message,
// when they cannot be used or this build has no TLS.
std::unique_ptr<TlsServer> MakeTlsServer(const std::string &certFile, const std::string &keyFile,
                                         std::string &error);

}  // namespace hub
