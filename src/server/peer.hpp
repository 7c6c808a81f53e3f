// How the server names a connected client in its log lines and in the
// spectator feed.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <string>

namespace kestrel::server {

// "ADDRESS:PORT" of a connected socket's peer (IPv6 in brackets), as every
// log line and the spectator feed name clients; "unknown peer" once gone.
std::string describe_peer(const boost::asio::ip::tcp::socket& socket);

}  // namespace kestrel::server
