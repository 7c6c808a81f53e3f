// The session behind one connect(url): open the connection, start the
// writer and reader tasks, join, wait for the start, play the game.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <string_view>

#include "net/game_loop.hpp"

namespace kestrel::net {

// Completes with no value after the game, once every queued message has
// been handed to the socket (or the connection has failed); or after
// printing "Failed to connect to {url}: {description}" on standard error; or
// after printing "Connection to the server ended before the game started"
// when the connection ends before the start message. Must run on the
// background runtime (it spawns the connection tasks there). `client` is
// borrowed for the whole session; the game gets its own clone(). A strategy's
// InternalFailure propagates. Cancelled (terminally), it stops where it waits
// and releases everything it holds. Every line goes through `lines`, so a
// session that is being abandoned can be silenced at once.
boost::asio::awaitable<void> run_client(std::string_view url, const Strategy& client,
                                        const console::LineGate& lines = console::LineGate::open());

}  // namespace kestrel::net
