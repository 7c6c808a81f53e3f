// What the whole server shares: its io_context, options, lobby, seating,
// spectator feed, game reports and counters.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "server/board_feed.hpp"
#include "server/dropper.hpp"
#include "server/game_report.hpp"
#include "server/lobby.hpp"
#include "server/options.hpp"
#include "server/seating.hpp"

namespace kestrel::server {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// What every session and game shares.
struct ServerState {
  asio::io_context& io;
  Options options;
  BoardFeed feed;       // what spectators see (--web)
  GameReports reports;  // each game as data (--report)
  Lobby lobby;          // clients without a seat, first come, first paired
  Seating seating;      // seats the parent hands out (--control)
  std::atomic<std::uint64_t> games_started{0};
  std::atomic<std::uint64_t> house_joins{0};
  std::atomic<std::size_t> spectator_connections{0};  // open on the web port
  DropPlanner drops;

  ServerState(asio::io_context& io_context, Options opts)
      : io(io_context),
        options(std::move(opts)),
        feed(options.web_port.has_value()),
        lobby(feed),
        seating(io_context, reports, options.join_time, options.quiet),
        drops(options.drop, options.seed) {}
};

}  // namespace kestrel::server
