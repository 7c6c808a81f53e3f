// The next layer under the client's WebSocket stream: a tracked TCP socket
// that
// - while the opening handshake runs, watches the response go by and, once
//   its status line and headers are in, refuses further reads unless the
//   status is 101: the checks judge the head alone and never wait for a body
//   that may be endless, or never come;
// - on the WebSocket teardown after a closing handshake closes at once
//   instead of waiting for the server's FIN, so the read half reports the end
//   right after the close reply has gone out.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "net/handshake_response.hpp"
#include "net/socket.hpp"

namespace kestrel::net {

class ClientSocket {
 public:
  using executor_type = TrackedSocket::executor_type;

  explicit ClientSocket(TrackedSocket&& socket) : socket_(std::move(socket)) {}
  ClientSocket(ClientSocket&&) noexcept = default;

  executor_type get_executor() noexcept { return socket_.get_executor(); }
  // Beast's lowest layer: what a close on its part goes through.
  TrackedSocket& next_layer() noexcept { return socket_; }

  void close(boost::system::error_code& ec) { socket_.close(ec); }

  // Starts watching for the response head; take_response_head() stops.
  void watch_response_head() { head_ = std::make_unique<ResponseHead>(); }
  // The status line and headers, if they arrived whole and parsed.
  std::optional<HandshakeResponse> take_response_head();

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    if (!head_) return socket_.async_read_some(buffers, std::forward<Token>(token));
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        WatchedRead<MutableBuffers>{this, buffers}, token, get_executor());
  }

  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return socket_.async_write_some(buffers, std::forward<Token>(token));
  }

  // Beast's teardown customisation points: close at once, without waiting
  // for the server's FIN.
  friend void teardown(boost::beast::role_type, ClientSocket& socket, boost::system::error_code& ec);
  template <class TeardownHandler>
  friend void async_teardown(boost::beast::role_type role, ClientSocket& socket, TeardownHandler&& handler) {
    boost::system::error_code ec;
    teardown(role, socket, ec);
    boost::asio::post(socket.get_executor(),
                      boost::beast::bind_front_handler(std::forward<TeardownHandler>(handler), ec));
  }

 private:
  struct ResponseHead {
    std::string bytes;  // what arrived, until the blank line that ends the head
    bool complete = false;
    bool refuse_reads = false;  // a complete head whose status is not 101
    std::optional<HandshakeResponse> response;
  };

  template <class MutableBuffers>
  struct WatchedRead {
    ClientSocket* socket;
    MutableBuffers buffers;
    enum { kStart, kReading, kRefusing } step = kStart;

    template <class Self>
    void operator()(Self& self, boost::system::error_code ec = {}, std::size_t n = 0) {
      switch (step) {
        case kStart:
          if (socket->head_->refuse_reads) {
            step = kRefusing;  // completes from the executor, never inline
            boost::asio::post(socket->get_executor(), std::move(self));
            return;
          }
          step = kReading;
          socket->socket_.async_read_some(buffers, std::move(self));
          return;
        case kReading:
          if (!ec && socket->head_) socket->observe(buffers, n);
          self.complete(ec, n);
          return;
        case kRefusing: self.complete(boost::beast::websocket::error::upgrade_declined, 0); return;
      }
    }
  };

  template <class MutableBuffers>
  void observe(const MutableBuffers& buffers, std::size_t n) {
    ResponseHead& head = *head_;
    if (head.complete) return;
    const std::size_t before = head.bytes.size();
    head.bytes.resize(before + n);
    boost::asio::buffer_copy(boost::asio::buffer(head.bytes.data() + before, n), buffers, n);
    observed(before);
  }

  // Looks for the end of the head in what arrived since `before` bytes,
  // and judges the head once it is whole.
  void observed(std::size_t before);

  TrackedSocket socket_;
  std::unique_ptr<ResponseHead> head_;
};

}  // namespace kestrel::net
