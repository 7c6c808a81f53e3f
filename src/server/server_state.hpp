// What the whole server shares: its io_context, options, lobby, spectator
// feed and counters.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "server/board_feed.hpp"
#include "server/control.hpp"
#include "server/dropper.hpp"
#include "server/lobby.hpp"
#include "server/options.hpp"

namespace kestrel::server {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// What every session and game shares.
struct ServerState {
  asio::io_context& io;
  Options options;
  BoardFeed feed;  // what spectators see (--web)
  Lobby lobby;
  SeatLabels labels;  // players' names from the parent (--control)
  std::atomic<std::uint64_t> games_started{0};
  std::atomic<std::uint64_t> house_joins{0};
  std::atomic<std::size_t> spectator_connections{0};  // open on the web port
  DropPlanner drops;

  ServerState(asio::io_context& io_context, Options opts)
      : io(io_context),
        options(std::move(opts)),
        feed(options.web_port.has_value()),
        lobby(feed),
        drops(options.drop, options.seed) {}
};

}  // namespace kestrel::server
