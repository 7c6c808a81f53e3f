#include "server/board_feed.hpp"

#include <algorithm>
#include <chrono>

#include "server/json_writer.hpp"

namespace kestrel::server {
namespace {

using json::append_name;
using json::append_number;
using json::append_string;

std::int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

void BoardFeed::append_game(std::string& out, const Game& game) {
  out += "{\"id\":";
  append_number(out, static_cast<std::int64_t>(game.id));
  out += ",\"run_game\":";
  if (game.run_game) {
    append_number(out, static_cast<std::int64_t>(*game.run_game));
  } else {
    out += "null";
  }
  out += ",\"seats\":[";
  append_string(out, game.seats[0]);
  out += ',';
  append_string(out, game.seats[1]);
  out += "],\"names\":[";
  append_name(out, game.names[0]);
  out += ',';
  append_name(out, game.names[1]);
  out += "],\"moves\":[";
  std::array<std::string_view, kCellCount> board{};
  for (std::size_t i = 0; i < game.moves.size(); ++i) {
    if (i) out += ',';
    append_number(out, game.moves[i]);
    board[game.moves[i]] = i % 2 == 0 ? "X" : "O";
  }
  out += "],\"board\":[";
  for (std::size_t i = 0; i < board.size(); ++i) {
    if (i) out += ',';
    append_string(out, board[i]);
  }
  // Seat 0 moves first and every accepted move passes the turn.
  out += "],\"turn\":";
  out += game.result ? "null" : (game.moves.size() % 2 == 0 ? "0" : "1");
  out += ",\"started\":";
  append_number(out, game.started_ms);
  if (game.result) {
    out += ",\"result\":";
    append_string(out, *game.result);
    out += ",\"winner\":";
    if (game.winner) {
      append_number(out, static_cast<std::int64_t>(*game.winner));
    } else {
      out += "null";
    }
    out += ",\"ended\":";
    append_number(out, game.ended_ms);
  } else {
    out += ",\"result\":null,\"winner\":null,\"ended\":null";
  }
  out += '}';
}

std::shared_ptr<const std::string> BoardFeed::board() const {
  if (board_) return board_;
  std::string out = "\"waiting\":[";
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    if (i) out += ',';
    out += "{\"peer\":";
    append_string(out, waiting_[i].peer);
    out += ",\"name\":";
    append_name(out, waiting_[i].name);
    out += ",\"since\":";
    append_number(out, waiting_[i].since_ms);
    out += '}';
  }
  out += "],\"games\":[";
  bool first = true;
  for (const auto& [id, game] : live_) {
    if (!first) out += ',';
    first = false;
    append_game(out, game);
  }
  out += "],\"finished\":[";
  for (std::size_t i = 0; i < finished_.size(); ++i) {
    if (i) out += ',';
    append_game(out, finished_[i]);
  }
  out += "],\"finished_total\":";
  append_number(out, static_cast<std::int64_t>(finished_total_));
  if (run_standings_.empty() && run_games_.empty()) {
    out += ",\"run\":null";
  } else {
    out += ",\"run\":{\"standings\":";
    out += run_standings_.empty() ? "null" : run_standings_;
    out += ",\"games\":[";
    for (std::size_t i = 0; i < run_games_.size(); ++i) {
      if (i) out += ',';
      out += run_games_[i];
    }
    out += "],\"games_total\":";
    append_number(out, static_cast<std::int64_t>(run_games_total_));
    out += '}';
  }
  board_ = std::make_shared<const std::string>(std::move(out));
  return board_;
}

std::string BoardFeed::counters() const {
  std::string out = ",\"spectators\":";
  append_number(out, static_cast<std::int64_t>(subscribers_.count()));
  out += ",\"spectators_dropped\":";
  append_number(out, static_cast<std::int64_t>(subscribers_.dropped()));
  return out;
}

void BoardFeed::publish(const std::string& json) {
  board_.reset();
  subscribers_.publish(json);
}

void BoardFeed::joined_lobby(const std::string& peer, const std::string& name) {
  if (!enabled_) return;
  std::lock_guard guard(mutex_);
  waiting_.push_back({peer, name, now_ms()});
  std::string json = "{\"type\":\"waiting\",\"peer\":";
  append_string(json, peer);
  json += ",\"name\":";
  append_name(json, name);
  json += ",\"since\":";
  append_number(json, waiting_.back().since_ms);
  publish(json + '}');
}

void BoardFeed::left_lobby(const std::string& peer, bool paired) {
  if (!enabled_) return;
  std::lock_guard guard(mutex_);
  std::erase_if(waiting_, [&](const Waiting& w) { return w.peer == peer; });
  std::string json = "{\"type\":\"unwaiting\",\"peer\":";
  append_string(json, peer);
  json += paired ? ",\"reason\":\"paired\"}" : ",\"reason\":\"left\"}";
  publish(json);
}

void BoardFeed::game_started(std::uint64_t id, std::optional<std::uint64_t> run_game,
                             const std::array<std::string, 2>& seats, const Names& names) {
  if (!enabled_) return;
  std::lock_guard guard(mutex_);
  const auto& game =
      live_
          .insert_or_assign(id, Game{id, run_game, seats, names, {}, now_ms(), std::nullopt, std::nullopt, 0})
          .first->second;
  std::string json = "{\"type\":\"started\",\"game\":";
  append_game(json, game);
  publish(json + '}');
}

void BoardFeed::move_played(std::uint64_t id, Cell cell) {
  if (!enabled_) return;
  std::lock_guard guard(mutex_);
  const auto found = live_.find(id);
  if (found == live_.end()) return;
  auto& moves = found->second.moves;
  moves.push_back(cell_index(cell));
  std::string json = "{\"type\":\"move\",\"id\":";
  append_number(json, static_cast<std::int64_t>(id));
  json += ",\"seat\":";
  append_number(json, static_cast<std::int64_t>((moves.size() - 1) % 2));
  json += ",\"cell\":";
  append_number(json, cell_index(cell));
  publish(json + '}');
}

void BoardFeed::game_over(std::uint64_t id, std::string_view result, std::optional<std::uint64_t> winner) {
  if (!enabled_) return;
  std::lock_guard guard(mutex_);
  const auto found = live_.find(id);
  if (found == live_.end()) return;
  Game game = std::move(found->second);
  live_.erase(found);
  game.result = std::string(result);
  game.winner = winner;
  game.ended_ms = now_ms();
  ++finished_total_;
  std::string json = "{\"type\":\"over\",\"game\":";
  append_game(json, game);
  finished_.push_front(std::move(game));
  if (finished_.size() > kFinishedKept) finished_.pop_back();
  publish(json + '}');
}

void BoardFeed::run_standings(std::string json) {
  if (!enabled_) return;
  std::lock_guard guard(mutex_);
  run_standings_ = std::move(json);
  publish("{\"type\":\"standings\",\"standings\":" + run_standings_ + '}');
}

void BoardFeed::run_game(std::string json) {
  if (!enabled_) return;
  std::lock_guard guard(mutex_);
  ++run_games_total_;
  run_games_.push_back(std::move(json));
  if (run_games_.size() > kRunGamesKept) run_games_.pop_front();
  publish("{\"type\":\"run_game\",\"game\":" + run_games_.back() +
          ",\"games_total\":" + std::to_string(run_games_total_) + '}');
}

FeedState BoardFeed::state() const {
  std::lock_guard guard(mutex_);
  return {board(), counters()};
}

void BoardFeed::subscribe(const std::shared_ptr<FeedSubscriber>& subscriber) {
  static const auto head = std::make_shared<const std::string>("data: {\"type\":\"snapshot\",");
  std::lock_guard guard(mutex_);
  // Counted before the snapshot is written, so it includes this spectator.
  subscribers_.add(subscriber);
  subscriber->begin({head, board(), std::make_shared<const std::string>(counters() + "}\n\n")});
}

void BoardFeed::unsubscribe(const FeedSubscriber* subscriber) {
  std::lock_guard guard(mutex_);
  subscribers_.remove(subscriber);
}

}  // namespace kestrel::server
