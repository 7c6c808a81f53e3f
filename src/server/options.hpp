// Command-line options of kestrel-server.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrel::server {

// Which seat a client gets against the house player.
enum class SeatChoice { First, Second, Alternate };

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 9000;  // 0: any free port
  bool house_bot = false;
  SeatChoice seat = SeatChoice::Alternate;
  bool quiet = false;
  unsigned threads = 2;
  // Fault injection: the share of accepted connections the server drops
  // abruptly at a random point of their life (0: none).
  double drop = 0.0;
  // Seeds the drop decisions; unset: a fresh seed per run.
  std::optional<std::uint64_t> seed;
  // How long a client may think over one move before it forfeits; unset: no limit.
  std::optional<std::chrono::milliseconds> move_time;
  // The spectator page's port (0: any free port); unset: no page.
  std::optional<std::uint16_t> web_port;
  // Its address: loopback unless asked, whatever --host opens to others.
  std::string web_host = "127.0.0.1";
  // Names besides the listening address and "localhost" that a spectator's
  // Host header may give (lower case).
  std::vector<std::string> web_allowed_hosts;
  // Spectator connections served at once; the next ones get a 503.
  std::size_t web_connections = 256;
  // Commands from the parent on stdin (games announced seat by seat,
  // players' names, a tournament's standings and games); the server stops
  // at their end.
  bool control = false;
  // How long both seats of an announced game have to join (--control).
  std::chrono::milliseconds join_time{15000};
  // Where each game is reported as a JSON line; empty: nowhere.
  std::string report;
};

struct ShowHelp {};
struct ShowVersion {};
struct UsageError {
  std::string message;
};

using ParseResult = std::variant<Options, ShowHelp, ShowVersion, UsageError>;

// Parses argv[1..]; accepts "--name value" and "--name=value".
ParseResult parse_options(std::span<const std::string_view> args);

extern const std::string_view kUsage;

}  // namespace kestrel::server
