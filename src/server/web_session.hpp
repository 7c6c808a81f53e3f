// One spectator connection on the web port: its requests one after the
// other, and once it asks for /events, the event stream until either side
// ends it.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace kestrel::server {

struct ServerState;

// Serves `socket`, already counted in server.spectator_connections (the
// session gives the place back when it ends), on a strand of its own.
void start_web_session(boost::asio::ip::tcp::socket socket, ServerState& server);

}  // namespace kestrel::server
