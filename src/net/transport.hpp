// The client side of one WebSocket connection over plain TCP, on Boost.Beast.
//
// Opening follows fixed steps (URL, request, port, addresses, scheme,
// handshake) and every failure carries a printable description that starts
// with one of the fixed prefixes below. An open connection is split into a
// read half and a write half; both must be used from coroutines running on
// the connection's executor (a strand), which is how the two halves take
// turns on the one stream.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/ws_message.hpp"

namespace kestrel::net {

// Largest incoming message and frame; larger ones fail the read.
inline constexpr std::size_t kMaxMessageSize = 64U * 1024U * 1024U;
inline constexpr std::size_t kMaxFrameSize = 16U * 1024U * 1024U;
// Per-connection buffers: the masking buffer for outgoing frames and the
// first read of each incoming message (later reads of a long message grow).
inline constexpr std::size_t kWriteBufferBytes = 256;
inline constexpr std::size_t kFirstReadBytes = 64;

// A failure with its printable description, which begins with one of
// "IO error: ", "HTTP error: ", "URL error: ", "WebSocket protocol error: ",
// "Space limit exceeded: ", "UTF-8 encoding error: ", "HTTP format error: ",
// "Connection closed normally", "Trying to work with closed connection".
struct TransportError {
  std::string description;
  friend bool operator==(const TransportError&, const TransportError&) = default;
};

// What a URL gives the opening steps.
struct WsUrl {
  std::optional<std::string> scheme;  // as written; absent without "scheme://"
  std::string host_header;            // authority without user information
  std::string host;                   // for lookup: IPv6 brackets removed
  std::optional<std::uint16_t> port;  // absent when the URL gives none
  std::string target;                 // path and query, "/" when both absent

  friend bool operator==(const WsUrl&, const WsUrl&) = default;
};

// Parses the URL and checks that it names a host: "HTTP format error: ..."
// for text that is not a URI, then the two "URL error: " host texts.
std::variant<WsUrl, TransportError> parse_ws_url(std::string_view url);

// The URL's port, else 80 for ws and 443 for wss, else
// "URL error: URL scheme not supported".
std::variant<std::uint16_t, TransportError> choose_port(const WsUrl& url);

// The server's answer to the upgrade request, as far as the checks need it.
struct HandshakeResponse {
  unsigned version = 11;  // 10 * major + minor
  unsigned status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
};

// The ordered response checks; the first failing one's description, or
// nothing when the response accepts the upgrade requested with `sent_key`.
std::optional<std::string> check_handshake_response(const HandshakeResponse& response,
                                                    std::string_view sent_key);

// Sec-WebSocket-Accept value the server must send for `key`.
std::string expected_accept(std::string_view key);

// Every Beast/Asio failure becomes its description here, and only here.
std::string describe_error(const boost::system::error_code& error);

// Fills `out` from the operating system's random source. Seeds the
// generator of handshake and masking keys before the first stream exists.
void fill_os_random(std::uint8_t* out, std::size_t size);

// The read half reports a message, the end of the connection, or a failure;
// after the end or a failure it reports the end from then on.
struct ConnectionEnd {};
using ReadOutcome = std::variant<WsMessage, ConnectionEnd, TransportError>;

namespace transport_detail {
struct ConnectionState;
struct HalvesLink;
}  // namespace transport_detail

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
  explicit ReadHalf(std::shared_ptr<transport_detail::HalvesLink> link) : link_(std::move(link)) {}
  std::shared_ptr<transport_detail::HalvesLink> link_;
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
  boost::asio::awaitable<std::optional<TransportError>> send(const WsMessage& message);

 private:
  friend class Connection;
  explicit WriteHalf(std::shared_ptr<transport_detail::HalvesLink> link) : link_(std::move(link)) {}
  std::shared_ptr<transport_detail::HalvesLink> link_;
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
  friend boost::asio::awaitable<std::variant<std::pair<Connection, HandshakeResponse>, TransportError>>
  open_connection(std::string_view url, boost::asio::any_io_executor executor);
  explicit Connection(std::shared_ptr<transport_detail::ConnectionState> state);
  std::shared_ptr<transport_detail::ConnectionState> state_;
};

// Opens a connection to `url`. `executor` (a strand) becomes the
// connection's executor; the calling coroutine may run elsewhere. Host names
// are looked up on the background runtime's blocking pool.
boost::asio::awaitable<std::variant<std::pair<Connection, HandshakeResponse>, TransportError>>
open_connection(std::string_view url, boost::asio::any_io_executor executor);

}  // namespace kestrel::net
