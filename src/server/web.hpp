// The spectator listener (--web): one HTML page, the state as JSON and a
// stream of server-sent events, on a port of its own so that nothing a
// spectator sends ever reaches the lobby or a game.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <string_view>

namespace kestrel::server {

struct ServerState;

// src/server/web/index.html, compiled in.
extern const std::string_view kWebPage;

// Serves one spectator connection (its socket on a strand of its own) until
// either side ends it.
void start_spectator(boost::asio::ip::tcp::socket socket, ServerState& server);

}  // namespace kestrel::server
