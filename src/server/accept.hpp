// The accept loop both listeners share: players on the game port,
// spectators on the web port.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <functional>

namespace kestrel::server {

// Takes each accepted socket, already bound to a strand of its own.
using StartConnection = std::function<void(boost::asio::ip::tcp::socket)>;

// Whether a failed accept is written to standard error.
enum class AcceptFailures { Logged, Quiet };

// Accepts from `acceptor` until it closes and hands every connection to
// `start`, each on a new strand of `io`: a connection's own coroutines never
// run at the same time, while different connections run in parallel.
boost::asio::awaitable<void> accept_loop(boost::asio::ip::tcp::acceptor& acceptor,
                                         boost::asio::io_context& io, AcceptFailures failures,
                                         StartConnection start);

}  // namespace kestrel::server
