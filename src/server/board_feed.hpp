// What spectators see: the lobby's waiting list, the games in progress and
// the last finished ones, kept as a snapshot and fanned out as events. The
// lobby and the games report their changes here; the feed has its own lock
// and never does I/O, so reporting costs a game a few small copies.
//
// A subscriber's snapshot and its events are taken under that one lock: the
// snapshot holds every change made before the subscription, the events
// every change made after it, none twice and none missed.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/game.hpp"
#include "server/feed_subscribers.hpp"

namespace kestrel::server {

// The whole state at one moment, in parts: `board` (the waiting list, the
// games and the finished ones as JSON members) is built once per change of
// the state and shared by every reader until the next change; `counters`
// (the spectator counts, which change with every subscription) is small and
// each reader's own.
struct FeedState {
  std::shared_ptr<const std::string> board;
  std::string counters;  // ,"spectators":N,"spectators_dropped":M
};

class BoardFeed {
 public:
  static constexpr std::size_t kFinishedKept = 50;
  // Finished games of a tournament run (--control), each a few hundred
  // bytes; a longer run shows its latest ones.
  static constexpr std::size_t kRunGamesKept = 2000;

  // A disabled feed (no --web) ignores every report.
  explicit BoardFeed(bool enabled) : enabled_(enabled) {}

  // A player's name, when its parent named it (--control); empty: unnamed,
  // shown by its address.
  using Names = std::array<std::string, 2>;

  // From the lobby, under its lock, so the waiting list changes in the
  // lobby's own order.
  void joined_lobby(const std::string& peer, const std::string& name);
  void left_lobby(const std::string& peer, bool paired);

  // From a game's strand.
  // `run_game`: the number the parent gave the game (--control); none for a
  // game of the lobby.
  void game_started(std::uint64_t id, std::optional<std::uint64_t> run_game,
                    const std::array<std::string, 2>& seats, const Names& names);
  void move_played(std::uint64_t id, Cell cell);
  // `result` is the game's line for people; `winner` its winning seat, none
  // for a tie.
  void game_over(std::uint64_t id, std::string_view result, std::optional<std::uint64_t> winner);

  // From the control channel: a tournament's standings and finished games,
  // JSON from the parent, kept and shown as they are.
  void run_standings(std::string json);
  void run_game(std::string json);

  // The whole state (GET /state is "{" + board + counters + "}").
  FeedState state() const;

  // Queues the snapshot, then every later event, on `subscriber`.
  void subscribe(const std::shared_ptr<FeedSubscriber>& subscriber);
  void unsubscribe(const FeedSubscriber* subscriber);

 private:
  struct Waiting {
    std::string peer;
    std::string name;
    std::int64_t since_ms;
  };
  struct Game {
    std::uint64_t id;
    std::optional<std::uint64_t> run_game;
    std::array<std::string, 2> seats;
    Names names;
    std::vector<std::uint8_t> moves;
    std::int64_t started_ms;
    std::optional<std::string> result;
    std::optional<std::uint64_t> winner;
    std::int64_t ended_ms = 0;
  };

  static void append_game(std::string& out, const Game& game);
  std::shared_ptr<const std::string> board() const;
  std::string counters() const;
  // Every change of the state goes out through here, and drops the board.
  void publish(const std::string& json);

  const bool enabled_;
  mutable std::mutex mutex_;
  std::vector<Waiting> waiting_;        // join order
  std::map<std::uint64_t, Game> live_;  // by id, so oldest first
  std::deque<Game> finished_;           // newest first
  std::uint64_t finished_total_ = 0;
  std::string run_standings_;          // JSON; empty: no run
  std::deque<std::string> run_games_;  // JSON, oldest first
  std::uint64_t run_games_total_ = 0;
  FeedSubscribers subscribers_;
  // The board as of the last change; built on demand.
  mutable std::shared_ptr<const std::string> board_;
};

}  // namespace kestrel::server
