// One player's connection to the game port: the handshake, the join, the
// moves relayed to its game and the close.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/dropper.hpp"
#include "server/protocol.hpp"
#include "server/seat_connection.hpp"
#include "server/server_state.hpp"

namespace kestrel::server {

namespace websocket = boost::beast::websocket;

// One client: the reader coroutine (handshake, join, moves) and the writer
// coroutine (a queue of outgoing messages, then the close) share its strand.
class PlayerSession final : public SeatConnection, public std::enable_shared_from_this<PlayerSession> {
 public:
  PlayerSession(tcp::socket socket, ServerState& server, std::optional<DropPlan> drop = std::nullopt);

  void start();

  void begin_game(std::shared_ptr<Match> match, std::uint64_t seat) override;
  void send(Payload payload, std::size_t turn) override;
  void finish(websocket::close_code code, std::string reason = {}) override;
  const std::string& peer() const noexcept override { return peer_; }
  const std::string& name() const noexcept override { return name_; }

 private:
  enum class Phase { Joining, Waiting, Playing, Closing };

  asio::awaitable<void> read_loop();
  // The request's /seat/ token, if it has one: false when it is refused
  // (the answer is written and the connection closed).
  asio::awaitable<bool> take_seat(std::string_view target, unsigned version);
  asio::awaitable<void> write_loop();
  void on_payload(std::vector<std::uint8_t> payload);
  void on_join(std::vector<std::uint8_t> payload);
  void refuse(std::string reason);
  void close_locally(websocket::close_code code, std::string reason);

  ServerState& server_;
  websocket::stream<tcp::socket> ws_;
  std::string peer_;
  std::string name_;
  // The seat the parent held for this client (--control), by its token.
  struct HeldSeat {
    std::uint64_t game;
    std::uint64_t seat;
  };
  std::optional<HeldSeat> held_;
  Dropper drops_;
  asio::steady_timer wake_;  // the writer waits on it; cancel() wakes it
  struct Outgoing {
    Payload payload;
    std::size_t turn;  // moves played when it was queued
  };
  std::deque<Outgoing> outbox_;
  Phase phase_ = Phase::Joining;
  bool reader_done_ = false;
  std::optional<websocket::close_reason> close_;
  std::shared_ptr<Match> match_;
  std::uint64_t seat_ = 0;
};

}  // namespace kestrel::server
