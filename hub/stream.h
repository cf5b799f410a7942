// A connection's byte stream for Beast: plain TCP, or TLS over it when the
// hub has a certificate. Plain connections go straight to Beast's TCP
// stream; TLS ones through TlsConnection (tls.h), so that this header needs
// no TLS library.
#pragma once
#include <boost/asio/post.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "tls.h"

namespace hub {

class HubStream {
 public:
  using executor_type = boost::beast::tcp_stream::executor_type;

  HubStream(boost::asio::ip::tcp::socket socket, TlsServer *tls) : tcp_(std::move(socket)) {
    if (tls != nullptr) tls_ = tls->Wrap(tcp_);
  }

  executor_type get_executor() { return tcp_.get_executor(); }
  boost::asio::ip::tcp::socket &socket() { return tcp_.socket(); }
  void expires_after(std::chrono::steady_clock::duration d) { tcp_.expires_after(d); }
  void expires_never() { tcp_.expires_never(); }
  bool IsTls() const { return tls_ != nullptr; }

  // The TLS handshake (at once for plain TCP).
  template <typename Handler>
  void Handshake(Handler &&handler) {
    if (!tls_)
      return boost::asio::post(get_executor(), [h = std::forward<Handler>(handler)]() mutable {
        h(boost::system::error_code());
      });
    tls_->Handshake([h = Share(std::forward<Handler>(handler))](const boost::system::error_code &ec,
                                                                std::size_t) { (*h)(ec); });
  }

  // close_notify, then the sending side shut (plain TCP: only the latter).
  template <typename Handler>
  void ShutdownSend(Handler &&handler) {
    auto finish = [this, h = Share(std::forward<Handler>(handler))](
                      const boost::system::error_code &, std::size_t) {
      boost::system::error_code ignored;
      tcp_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
      (*h)();
    };
    if (tls_) return tls_->Shutdown(finish);
    finish({}, 0);
  }

  template <typename MutableBuffers, typename Handler>
  void async_read_some(const MutableBuffers &buffers, Handler &&handler) {
    if (!tls_) return tcp_.async_read_some(buffers, std::forward<Handler>(handler));
    boost::asio::mutable_buffer first;
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         it != boost::asio::buffer_sequence_end(buffers); ++it) {
      if (boost::asio::mutable_buffer(*it).size() > 0) {
        first = *it;
        break;
      }
    }
    tls_->ReadSome(first, Forward(std::forward<Handler>(handler)));
  }

  template <typename ConstBuffers, typename Handler>
  void async_write_some(const ConstBuffers &buffers, Handler &&handler) {
    if (!tls_) return tcp_.async_write_some(buffers, std::forward<Handler>(handler));
    std::vector<boost::asio::const_buffer> list;
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         it != boost::asio::buffer_sequence_end(buffers) && list.size() < 64; ++it)
      if (boost::asio::const_buffer(*it).size() > 0) list.emplace_back(*it);
    if (list.empty()) list.emplace_back();
    tls_->WriteSome(list, Forward(std::forward<Handler>(handler)));
  }

 private:
  // Beast's handlers move but do not copy; TlsConnection takes a
  // std::function.
  template <typename Handler>
  static auto Share(Handler &&handler) {
    return std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
  }
  template <typename Handler>
  static TlsConnection::Done Forward(Handler &&handler) {
    return [h = Share(std::forward<Handler>(handler))](const boost::system::error_code &ec,
                                                       std::size_t n) { (*h)(ec, n); };
  }

  boost::beast::tcp_stream tcp_;
  std::unique_ptr<TlsConnection> tls_;  // ends before tcp_
};

}  // namespace hub
