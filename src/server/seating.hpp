// Seats the parent hands out on the control channel (--control). A game it
// announces has a one-use token for each seat: the client that connects to
// /seat/TOKEN is held for that game and seat, and the game starts once both
// seats have joined, whatever else connects meanwhile. An older form of
// token only names its player, who then joins the lobby like anyone.
//
// A /seat/ target whose token is not (or no longer) good is refused before
// the WebSocket upgrade, with a status and a reason, never seated elsewhere.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/status.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "server/game_report.hpp"
#include "server/seat_connection.hpp"

namespace kestrel::server {

class Seating {
 public:
  static constexpr std::string_view kPrefix = "/seat/";
  // A parent that announces games nobody comes to must not grow the server:
  // past this many waiting games the oldest is cancelled; past this many
  // tokens handed out and unused, the oldest goes.
  static constexpr std::size_t kMaxWaitingGames = 4096;
  static constexpr std::size_t kMaxNamedTokens = 4096;
  // Spent tokens remembered for the reason of a refusal; an older one is
  // refused all the same, as unknown.
  static constexpr std::size_t kMaxSpentTokens = 4 * kMaxWaitingGames;

  // Both seats of an announced game must join within `join_time` of the
  // announcement, or the game is cancelled.
  Seating(boost::asio::io_context& io, GameReports& reports, std::chrono::milliseconds join_time, bool quiet);

  struct Announcement {
    std::uint64_t game;
    std::array<std::string, 2> tokens;
    std::array<std::string, 2> names;
  };
  // Holds both seats; an empty answer, or why the announcement is refused.
  std::string announce(Announcement announcement);
  // The older form: a client bringing `token` is shown as `name`.
  void name(std::string token, std::string name);

  // What a request target gets.
  struct NotASeat {};  // not a /seat/ target: a plain client
  struct NotYet {};    // a token that may still be announced (the parent's line not read yet)
  struct Named {       // a name, and the lobby
    std::string name;
  };
  struct Held {  // a seat of an announced game
    std::uint64_t game;
    std::uint64_t seat;
    std::string name;
  };
  struct Refused {
    boost::beast::http::status status;
    std::string reason;
  };
  using Claim = std::variant<NotASeat, NotYet, Named, Held, Refused>;
  // Consumes the token if it is good. NotYet comes only for a token of the
  // right form never seen; `last_try` turns it into a refusal.
  Claim claim(std::string_view target, bool last_try);

  // A held client's join request. Both seats in: the game's seats in order,
  // and the game is the caller's to start. Otherwise null, or, when the game
  // was cancelled meanwhile, the reason in `refusal`.
  using Seats = std::array<std::shared_ptr<SeatConnection>, 2>;
  std::optional<Seats> join(std::uint64_t game, std::uint64_t seat, std::shared_ptr<SeatConnection> player,
                            std::string& refusal);

 private:
  struct Waiting {
    std::array<std::string, 2> tokens;
    std::array<std::shared_ptr<SeatConnection>, 2> joined;
    std::unique_ptr<boost::asio::steady_timer> deadline;
  };
  struct TokenSeat {
    std::uint64_t game;
    std::uint64_t seat;
    std::string name;
    bool claimed = false;
  };

  bool known(const std::string& token) const;
  void spend(const std::string& token, std::string reason);
  // Under the lock.
  void cancel(std::uint64_t game, const std::string& reason);
  void on_deadline(std::uint64_t game);

  boost::asio::io_context& io_;
  GameReports& reports_;
  const std::chrono::milliseconds join_time_;
  const bool quiet_;
  std::mutex mutex_;
  std::map<std::uint64_t, Waiting> waiting_;  // by game
  std::deque<std::uint64_t> announced_;       // waiting games, oldest first (some may have started)
  std::unordered_map<std::string, TokenSeat> seats_;
  std::unordered_map<std::string, std::string> named_;  // older form: token -> name
  std::deque<std::string> named_order_;
  std::unordered_map<std::string, std::string> spent_;  // token -> why it is no longer good
  std::deque<std::string> spent_order_;
};

}  // namespace kestrel::server
