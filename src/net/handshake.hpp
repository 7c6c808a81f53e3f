// The opening handshake as this client plays it: the exact request (fixed
// headers in a fixed order, nothing else), the ordered checks on the
// server's response head, and the handshake that runs them on a socket.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/result.hpp"
#include "net/handshake_response.hpp"
#include "net/socket.hpp"
#include "net/transport_error.hpp"

namespace kestrel::net {

// The ordered response checks: the first failing one's description, or
// success when the response accepts the upgrade requested with `sent_key`.
Result<void, TransportError> check_handshake_response(const HandshakeResponse& response,
                                                      std::string_view sent_key);

// Sec-WebSocket-Accept value the server must send for `key`.
std::string expected_accept(std::string_view key);

// Installed as the stream's request decorator: puts the request in the
// fixed header order, with nothing else, keeping the key Beast generated
// (so that its own accept check agrees) and handing it to `key_out`.
struct RequestShaper {
  std::shared_ptr<std::string> key_out;
  void operator()(boost::beast::websocket::request_type& request) const;
};

class Connection;

// Runs the opening handshake on a connected socket (whose executor, a
// strand, becomes the connection's): sends the request for `target` with the
// Host header `host_header`, judges the response head by the ordered checks
// and gives the open connection with that head, or the failure. A
// cancellation closes the socket, so it ends the handshake wherever it is,
// and is rethrown as operation_aborted rather than reported as a failure.
boost::asio::awaitable<Result<std::pair<Connection, HandshakeResponse>, TransportError>> handshake(
    TrackedSocket socket, std::string_view host_header, std::string_view target);

}  // namespace kestrel::net
