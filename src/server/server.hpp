// The match server: one coroutine per client connection, each on its own
// strand; one strand per game. Connections and games talk only by posting
// to each other's strands, and the only lock (the lobby's) never spans I/O.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/game.hpp"
#include "server/board_feed.hpp"
#include "server/dropper.hpp"
#include "server/options.hpp"
#include "server/protocol.hpp"

namespace kestrel::server {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

class PlayerSession;
class Match;
struct ServerState;

// "ADDRESS:PORT" of a connected socket's peer (IPv6 in brackets), as every
// log line and the spectator feed name clients; "unknown peer" once gone.
std::string describe_peer(const tcp::socket& socket);

// Clients waiting for a partner, in the order their join requests arrived.
class Lobby {
 public:
  // The feed hears of every change under the lobby's lock, in its order.
  explicit Lobby(BoardFeed& feed) : feed_(feed) {}

  // Pairs `joiner` with the longest-waiting client (returned, seat 0), or
  // queues it and returns null.
  std::shared_ptr<PlayerSession> join(const std::shared_ptr<PlayerSession>& joiner);
  // Forgets `leaver`; false if it was not waiting (already paired).
  bool leave(const PlayerSession* leaver);

 private:
  BoardFeed& feed_;
  std::mutex mutex_;
  std::deque<std::shared_ptr<PlayerSession>> waiting_;
};

// What every connection and game shares.
struct ServerState {
  asio::io_context& io;
  Options options;
  BoardFeed feed;  // what spectators see (--web)
  Lobby lobby;
  std::atomic<std::uint64_t> games_started{0};
  std::atomic<std::uint64_t> house_joins{0};
  DropPlanner drops;

  ServerState(asio::io_context& io_context, Options opts)
      : io(io_context),
        options(std::move(opts)),
        feed(options.web_port.has_value()),
        lobby(feed),
        drops(options.drop, options.seed) {}
};

// One client: the reader coroutine (handshake, join, moves) and the writer
// coroutine (a queue of outgoing messages, then the close) share its strand.
class PlayerSession : public std::enable_shared_from_this<PlayerSession> {
 public:
  PlayerSession(tcp::socket socket, ServerState& server, std::optional<DropPlan> drop = std::nullopt);

  void start();

  // The calls below may come from any thread; they hop onto this
  // connection's strand.

  // Makes `match` this connection's game and queues the start message.
  void begin_game(std::shared_ptr<Match> match, std::uint64_t seat);
  // Queues one binary message.
  void send(Payload payload);
  // Sends what is queued, then closes with `code` and `reason`.
  void finish(websocket::close_code code, std::string reason = {});

  // "address:port" of the client, fixed at accept.
  const std::string& peer() const noexcept { return peer_; }

 private:
  enum class Phase { Joining, Waiting, Playing, Closing };

  asio::awaitable<void> read_loop();
  asio::awaitable<void> write_loop();
  void on_payload(std::vector<std::uint8_t> payload);
  void on_join(std::vector<std::uint8_t> payload);
  void refuse(std::string reason);
  void close_locally(websocket::close_code code, std::string reason);

  ServerState& server_;
  websocket::stream<tcp::socket> ws_;
  std::string peer_;
  Dropper drops_;
  asio::steady_timer wake_;  // the writer waits on it; cancel() wakes it
  std::deque<Payload> outbox_;
  Phase phase_ = Phase::Joining;
  bool reader_done_ = false;
  std::optional<websocket::close_reason> close_;
  std::shared_ptr<Match> match_;
  std::uint64_t seat_ = 0;
};

// One game: the server's own copy of the board decides who may move, which
// moves are legal and when the game is over.
class Match : public std::enable_shared_from_this<Match> {
 public:
  // A null seat is played by the house (perfect play).
  Match(ServerState& server, std::array<std::shared_ptr<PlayerSession>, 2> seats);

  // Sends both seats their start message; the house moves if it goes first.
  void start();
  // A binary message from the client in `seat`.
  void on_message(std::uint64_t seat, Payload payload);
  // The client in `seat` is gone.
  void on_disconnect(std::uint64_t seat);

 private:
  void handle_message(std::uint64_t seat, const Payload& payload);
  void play(Cell cell);
  void house_turn();
  void start_clock();
  void conclude();
  void forfeit(Player loser, std::string reason);
  void log_result(std::string_view result) const;

  ServerState& server_;
  asio::strand<asio::io_context::executor_type> strand_;
  std::uint64_t id_;
  // Weak: each connection owns its game, never the other way round, so a
  // server stopped mid-game frees both.
  std::array<std::weak_ptr<PlayerSession>, 2> seats_;
  std::array<bool, 2> house_{};  // seats played by the house
  std::array<std::string, 2> names_;
  TicTacToeState state_ = initial_state();
  std::vector<Cell> moves_;
  bool over_ = false;
  std::minstd_rand rng_;
  // The mover's time for the current turn (--move-time); on the game's strand.
  asio::steady_timer clock_;
};

}  // namespace kestrel::server
