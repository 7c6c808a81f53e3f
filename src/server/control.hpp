// The control channel (--control): the program that started the server
// (kestrel-arena) writes lines on the server's stdin. Only the parent holds
// that pipe, so nothing a player or a spectator sends can reach it.
//
// Lines, one command each; anything else is ignored:
//   seat TOKEN NAME   a player connecting to /seat/TOKEN is shown as NAME
//                     (the token is good for one connection)
//   standings JSON    the run's standings, shown as given
//   game JSON         one finished game of the run, shown as given
// The JSON is the parent's own, passed through to the page unparsed; a line
// with a control character is refused so it cannot break an event.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrel::server {

class BoardFeed;

// Tokens the parent has handed out and not yet seen used, each with its
// player's name.
class SeatLabels {
 public:
  // A parent that hands out tokens for seats nobody takes (a bot that never
  // started) must not grow the server: past this many, the oldest go.
  static constexpr std::size_t kMaxPending = 4096;
  static constexpr std::string_view kPrefix = "/seat/";

  void add(std::string token, std::string name);
  // The name for a request target of the form /seat/TOKEN (token consumed),
  // or nothing for any other target.
  std::optional<std::string> claim(std::string_view target);
  // Whether a target that `claim` did not name may still be named: a token of
  // the right form not used yet. The parent writes a seat's line before it
  // hands the bot its URL, but the thread that reads stdin may be scheduled
  // only after the bot's handshake has been read.
  bool may_come(std::string_view target);

 private:
  std::mutex mutex_;
  std::deque<std::pair<std::string, std::string>> pending_;  // oldest first
  std::deque<std::string> used_;                             // oldest first, as many as pending at most
};

// Carries out one control line.
void apply_control_line(std::string_view line, SeatLabels& labels, BoardFeed& feed);

// Reads stdin line by line on a thread of its own, calling `on_line` for
// each and `on_end` once at end of input (the parent is gone). A blocking
// read cannot be interrupted portably, so the thread is never joined; once
// the returned handle is destroyed it calls nothing more.
class ControlReader {
 public:
  ControlReader(std::function<void(std::string_view)> on_line, std::function<void()> on_end);
  ~ControlReader();
  ControlReader(const ControlReader&) = delete;
  ControlReader& operator=(const ControlReader&) = delete;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kestrel::server
