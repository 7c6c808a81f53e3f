#include "server/match.hpp"

#include <bit>
#include <boost/asio/post.hpp>
#include <random>

#include "core/console.hpp"
#include "core/perfect_play.hpp"

namespace kestrel::server {
namespace {

Player player_of(std::uint64_t seat) { return seat == 0 ? Player::Player1 : Player::Player2; }
std::size_t seat_of(Player p) { return static_cast<std::size_t>(p); }

// A seed for each game's house moves. The OS source is read once per thread
// (opening it per game cost a few percent of the server under load).
std::minstd_rand::result_type game_seed() {
  thread_local std::mt19937 seeds{std::random_device{}()};
  return static_cast<std::minstd_rand::result_type>(seeds());
}

}  // namespace

Match::Match(ServerState& server, std::array<std::shared_ptr<SeatConnection>, 2> seats,
             std::optional<std::uint64_t> run_game)
    : server_(server),
      strand_(asio::make_strand(server.io)),
      id_(server.games_started.fetch_add(1) + 1),
      run_game_(run_game),
      rng_(game_seed()),
      clock_(strand_) {
  for (std::size_t i = 0; i < seats.size(); ++i) {
    seats_[i] = seats[i];
    house_[i] = !seats[i];
    names_[i] = seats[i] ? seats[i]->peer() : "house";
    labels_[i] = seats[i] ? seats[i]->name() : "";
  }
}

void Match::start() {
  asio::post(strand_, [self = shared_from_this()] {
    self->server_.feed.game_started(self->id_, self->run_game_, self->names_, self->labels_);
    self->server_.reports.started(self->run_game_, self->id_,
                                  {GameReports::Seat{self->names_[0], self->labels_[0]},
                                   GameReports::Seat{self->names_[1], self->labels_[1]}});
    self->turn_began_ = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < self->seats_.size(); ++i) {
      if (auto seat = self->seats_[i].lock()) seat->begin_game(self, i);
    }
    self->house_turn();
  });
}

void Match::on_message(std::uint64_t seat, Payload payload) {
  asio::post(strand_, [self = shared_from_this(), seat, payload = std::move(payload)] {
    self->handle_message(seat, payload);
  });
}

void Match::on_disconnect(std::uint64_t seat) {
  asio::post(strand_, [self = shared_from_this(), seat] {
    if (!self->over_) self->forfeit(player_of(seat), "disconnected");
  });
}

void Match::delivered(std::uint64_t seat, std::size_t turn) {
  asio::post(strand_, [self = shared_from_this(), seat, turn] {
    if (self->moves_.size() == turn && self->state_.current == player_of(seat)) self->start_clock();
  });
}

void Match::handle_message(std::uint64_t seat, const Payload& payload) {
  if (over_) return;
  const Player mover = player_of(seat);
  const auto cell = decode_move(payload);
  if (!cell) return forfeit(mover, "sent a message that is not a move");
  if (mover != state_.current) return forfeit(mover, "moved out of turn");
  if (state_.board[cell_index(*cell)]) {
    return forfeit(mover, "took occupied cell " + std::to_string(cell_index(*cell)));
  }
  play(*cell);
  house_turn();
}

void Match::play(Cell cell) {
  const Player mover = state_.current;
  apply_move(state_, cell);
  moves_.push_back(cell);
  const auto now = std::chrono::steady_clock::now();
  times_.push_back(std::chrono::duration<double>(now - turn_began_).count());
  turn_began_ = now;
  server_.feed.move_played(id_, cell);
  if (auto opponent = seats_[seat_of(other(mover))].lock()) opponent->send(encode_move(cell), moves_.size());
  if (is_over(state_)) conclude();
}

void Match::house_turn() {
  if (over_ || !house_[seat_of(state_.current)]) return;
  // Any of the equally good moves, so practice games differ.
  CellSet choices = optimal_moves(state_);
  std::uniform_int_distribution<int> pick(0, std::popcount(choices) - 1);
  for (int skip = pick(rng_); skip > 0; --skip) choices &= static_cast<CellSet>(choices - 1);
  play(static_cast<Cell>(std::countr_zero(choices)));
}

// From the mover's connection, once the message that opened its turn (the
// start message or the opponent's move) is written.
void Match::start_clock() {
  if (over_ || !server_.options.move_time || house_[seat_of(state_.current)]) return;
  clock_.expires_after(*server_.options.move_time);
  // The move count names the turn: an expiry already queued when the move
  // arrived belongs to a turn that is over.
  clock_.async_wait([self = shared_from_this(), turn = moves_.size()](const boost::system::error_code& ec) {
    if (ec || self->over_ || self->moves_.size() != turn) return;
    self->forfeit(self->state_.current, "out of time");
  });
}

void Match::conclude() {
  over_ = true;
  clock_.cancel();
  const auto w = winner(state_.board);
  log_result(w ? std::string(player_name(*w)) + " wins" : "Tie",
             w ? std::optional<std::uint64_t>(seat_of(*w)) : std::nullopt, std::nullopt);
  for (auto& seat : seats_) {
    if (auto connection = seat.lock()) connection->finish(websocket::close_code::normal, "game over");
    seat.reset();
  }
}

void Match::forfeit(Player loser, std::string reason) {
  over_ = true;
  clock_.cancel();
  log_result(std::string(player_name(other(loser))) + " wins, " + std::string(player_name(loser)) +
                 " forfeits: " + reason,
             seat_of(other(loser)), GameReports::Forfeit{seat_of(loser), reason});
  for (std::size_t i = 0; i < seats_.size(); ++i) {
    auto connection = seats_[i].lock();
    seats_[i].reset();
    if (!connection) continue;
    if (player_of(i) == loser) {
      connection->finish(websocket::close_code::policy_error, "forfeit: " + reason);
    } else {
      connection->finish(websocket::close_code::normal, "opponent forfeits: " + reason);
    }
  }
}

void Match::log_result(std::string_view result, std::optional<std::uint64_t> winner,
                       const std::optional<GameReports::Forfeit>& forfeit) const {
  server_.feed.game_over(id_, result, winner);
  std::vector<std::uint8_t> cells;
  cells.reserve(moves_.size());
  for (Cell c : moves_) cells.push_back(static_cast<std::uint8_t>(cell_index(c)));
  server_.reports.ended(run_game_, id_, winner, cells, times_, forfeit);
  if (server_.options.quiet) return;
  std::string line = "game " + std::to_string(id_) + " (seat 0 " + names_[0] + ", seat 1 " + names_[1] +
                     "): " + std::string(result) + "; moves";
  if (moves_.empty()) line += " -";
  for (Cell c : moves_) line += " " + std::to_string(cell_index(c));
  console::err_line(line);
}

}  // namespace kestrel::server
