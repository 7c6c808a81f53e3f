// The spectator listener (--web): one HTML page, the state as JSON and a
// stream of server-sent events, on a port of its own so that nothing a
// spectator sends ever reaches the lobby or a game.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace kestrel::server {

struct ServerState;

// Serves one spectator connection (its socket on a strand of its own) until
// either side ends it; answers 503 and closes at once when --web-connections
// are open already or the socket took a descriptor kept for players.
void start_spectator(boost::asio::ip::tcp::socket socket, ServerState& server);

}  // namespace kestrel::server
