// The accept loop both listeners share: players on the game port,
// spectators on the web port.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <string>

namespace kestrel::server {

// Takes each accepted socket, already bound to a strand of its own.
using StartConnection = std::function<void(boost::asio::ip::tcp::socket)>;

// Accepts from `acceptor` until it closes and hands every connection to
// `start`, each on a new strand of `io`: a connection's own coroutines never
// run at the same time, while different connections run in parallel. A
// failed accept (typically out of descriptors) pauses the loop briefly and
// is written to standard error, naming `port`, at most once per 10 s with
// the count of those left unwritten.
boost::asio::awaitable<void> accept_loop(boost::asio::ip::tcp::acceptor& acceptor,
                                         boost::asio::io_context& io, std::string port,
                                         StartConnection start);

}  // namespace kestrel::server
