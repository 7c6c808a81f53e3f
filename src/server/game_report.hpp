// Each game as data (--report PATH): one JSON object a line, for a program
// that reads results rather than the lines written for people. Objects, by
// "type":
//   hello      the answer to the control channel's hello: "version" (the
//              server's), "protocol" (of the control channel) and
//              "commands" (those it carries out)
//   started    "game" (the number the parent announced it under, or null
//              for a game of the lobby), "server_game" (the N of the
//              "game N (...)" line), "seats" [{"peer", "name"}, ...]
//   ended      "game", "server_game", "winner" (seat, or null for a tie),
//              "moves" (cells in order), "times" (seconds each move took,
//              from the end of the previous move, or of the start, to its
//              arrival), "forfeit" (null, or {"seat", "reason"})
//   cancelled  "game", "reason", "joined" (the seats that had joined): an
//              announced game that did not start
//   refused    "command", "reason": a control line not carried out
// Written with one call each, so lines from games on different threads never
// interleave; a reader that has gone costs nothing but the lost lines.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::server {

class GameReports {
 public:
  // The control channel's protocol: 1 named players; 2 announces games.
  static constexpr int kProtocol = 2;

  GameReports() = default;
  ~GameReports();
  GameReports(const GameReports&) = delete;
  GameReports& operator=(const GameReports&) = delete;

  // Appends to `path` from now on; false (errno says why) if it cannot be
  // opened. Without it every report is dropped.
  bool open(const std::string& path);

  struct Seat {
    std::string peer;  // "house" for the server's own player
    std::string name;  // empty: none
  };
  struct Forfeit {
    std::uint64_t seat;
    std::string reason;
  };

  void hello();
  void started(std::optional<std::uint64_t> game, std::uint64_t server_game,
               const std::array<Seat, 2>& seats);
  void ended(std::optional<std::uint64_t> game, std::uint64_t server_game,
             std::optional<std::uint64_t> winner, const std::vector<std::uint8_t>& moves,
             const std::vector<double>& times, const std::optional<Forfeit>& forfeit);
  void cancelled(std::uint64_t game, std::string_view reason, const std::vector<std::uint64_t>& joined);
  void refused(std::string_view command, std::string_view reason);

 private:
  void write(std::string line);

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace kestrel::server
