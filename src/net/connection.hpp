// One open WebSocket connection in the client role, on Boost.Beast, as the
// opening handshake (net/handshake.hpp) leaves it: a read half and a write half
// that share the stream. Both halves must be used from coroutines running on
// the connection's executor (a strand), which is how they take turns on the
// one stream.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "core/result.hpp"
#include "net/handshake_response.hpp"
#include "net/read_outcome.hpp"
#include "net/socket.hpp"
#include "net/transport_error.hpp"
#include "net/ws_message.hpp"

namespace kestrel::net {

namespace connection_detail {
struct ConnectionState;
struct HalvesLink;
}  // namespace connection_detail

class ReadHalf {
 public:
  ReadHalf() = default;
  ReadHalf(ReadHalf&&) noexcept = default;
  ReadHalf& operator=(ReadHalf&&) noexcept = default;

  // Next message in arrival order. Pings and pongs are delivered as soon as
  // they arrive (the pong reply is Beast's); a close is delivered when it
  // arrives, after which the end follows once the close reply has gone out.
  boost::asio::awaitable<ReadOutcome> next();

 private:
  friend class Connection;
  explicit ReadHalf(std::shared_ptr<connection_detail::HalvesLink> link) : link_(std::move(link)) {}
  std::shared_ptr<connection_detail::HalvesLink> link_;
  bool ended_ = false;
};

class WriteHalf {
 public:
  WriteHalf() = default;
  WriteHalf(WriteHalf&&) noexcept = default;
  WriteHalf& operator=(WriteHalf&&) noexcept = default;

  // Sends one binary or text message as a single frame, complete once the
  // socket has taken all of it. Other kinds are never sent by this client
  // and fail.
  boost::asio::awaitable<Result<void, TransportError>> send(const WsMessage& message);

 private:
  friend class Connection;
  explicit WriteHalf(std::shared_ptr<connection_detail::HalvesLink> link) : link_(std::move(link)) {}
  std::shared_ptr<connection_detail::HalvesLink> link_;
};

// An open connection in the client role. Dropping it unsplit closes it;
// after split() the socket closes once both halves are gone.
class Connection {
 public:
  Connection(Connection&&) noexcept = default;
  Connection& operator=(Connection&&) noexcept = default;
  ~Connection();

  std::pair<WriteHalf, ReadHalf> split() &&;

 private:
  friend boost::asio::awaitable<Result<std::pair<Connection, HandshakeResponse>, TransportError>> handshake(
      TrackedSocket socket, std::string_view host_header, std::string_view target);
  explicit Connection(std::shared_ptr<connection_detail::ConnectionState> state);
  std::shared_ptr<connection_detail::ConnectionState> state_;
};

}  // namespace kestrel::net
