// The spectator listener (--web): one HTML page, the state as JSON and a
// stream of server-sent events, on a port of its own so that nothing a
// spectator sends ever reaches the lobby or a game.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <string_view>

namespace kestrel::server {

struct ServerState;

// src/server/web/index.html, compiled in.
extern const std::string_view kWebPage;

// Serves spectators from `acceptor` until it closes; each connection on a
// strand of its own.
boost::asio::awaitable<void> web_accept_loop(boost::asio::ip::tcp::acceptor& acceptor, ServerState& server);

}  // namespace kestrel::server
