// One game between two seats, on a strand of its own.
#pragma once

#include <array>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cstddef>
#include <cstdint>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/game.hpp"
#include "server/protocol.hpp"
#include "server/seat_connection.hpp"
#include "server/server_state.hpp"

namespace kestrel::server {

// One game: the server's own copy of the board decides who may move, which
// moves are legal and when the game is over.
class Match : public std::enable_shared_from_this<Match> {
 public:
  // A null seat is played by the house (perfect play). `run_game`: the
  // number the parent announced the game under (--control), if it did.
  Match(ServerState& server, std::array<std::shared_ptr<SeatConnection>, 2> seats,
        std::optional<std::uint64_t> run_game = std::nullopt);

  // Sends both seats their start message; the house moves if it goes first.
  void start();
  // A binary message from the client in `seat`.
  void on_message(std::uint64_t seat, Payload payload);
  // The client in `seat` is gone.
  void on_disconnect(std::uint64_t seat);
  // The message queued for `seat` when `turn` moves had been played is
  // written to its connection: if that turn is still on and is the seat's
  // own, its clock starts now.
  void delivered(std::uint64_t seat, std::size_t turn);

 private:
  void handle_message(std::uint64_t seat, const Payload& payload);
  void play(Cell cell);
  void house_turn();
  void start_clock();
  void conclude();
  void forfeit(Player loser, std::string reason);
  void log_result(std::string_view result, std::optional<std::uint64_t> winner,
                  const std::optional<GameReports::Forfeit>& forfeit) const;

  ServerState& server_;
  asio::strand<asio::io_context::executor_type> strand_;
  std::uint64_t id_;
  std::optional<std::uint64_t> run_game_;
  // Weak: each connection owns its game, never the other way round, so a
  // server stopped mid-game frees both.
  std::array<std::weak_ptr<SeatConnection>, 2> seats_;
  std::array<bool, 2> house_{};  // seats played by the house
  std::array<std::string, 2> names_;
  std::array<std::string, 2> labels_;  // given by the parent (--control); empty: none
  TicTacToeState state_ = initial_state();
  std::vector<Cell> moves_;
  std::vector<double> times_;  // seconds each move took to arrive
  std::chrono::steady_clock::time_point turn_began_;
  bool over_ = false;
  std::minstd_rand rng_;
  // The mover's time for the current turn (--move-time); on the game's strand.
  asio::steady_timer clock_;
};

}  // namespace kestrel::server
