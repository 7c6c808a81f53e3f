#include "server/options.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace kestrel::server {

const std::string_view kUsage =
    "usage: kestrel-server [--host HOST] [--port PORT] [--house-bot [--seat 0|1|alternate]]\n"
    "                      [--threads N] [--drop FRACTION [--seed N]]\n"
    "                      [--move-time SECONDS] [--web PORT [--web-host HOST]\n"
    "                      [--web-allow-host NAME]... [--web-connections N]\n"
    "                      [--control]] [--quiet] [--help] [--version]\n"
    "\n"
    "Match server for kestrel tic-tac-toe clients (WebSocket, binary messages).\n"
    "Pairs clients in the order they join, relays their moves, and ends a game\n"
    "by forfeit when a player moves out of turn, takes an occupied cell, sends\n"
    "an undecodable move, disconnects or runs out of time.\n"
    "\n"
    "  --host HOST      address the game port (players) listens on; 0.0.0.0 or ::\n"
    "                   opens it to other machines (default 127.0.0.1)\n"
    "  --port PORT      game port, 0 for any free port (default 9000)\n"
    "  --house-bot      every client plays the server's own perfect player\n"
    "  --seat SEAT      the client's seat against the house: 0 (moves first),\n"
    "                   1, or alternate between joins (default alternate)\n"
    "  --threads N      network threads (default 2)\n"
    "  --drop FRACTION  fault injection: drop this share (0 to 1) of connections\n"
    "                   abruptly, without a close frame (RST or FIN), during or\n"
    "                   after the handshake, while waiting, or mid-game, after a\n"
    "                   random delay of up to 10 ms; one line per drop (default 0)\n"
    "  --seed N         seed for the drop decisions (default: random)\n"
    "  --move-time SECONDS\n"
    "                   a client that takes longer over one move forfeits the\n"
    "                   game (\"out of time\"); its clock starts once the start\n"
    "                   message or the opponent's move has been written to its\n"
    "                   connection; 0.001 to 86400 (default: no limit)\n"
    "  --web PORT       serve a live spectator page (HTML, GET /state as JSON,\n"
    "                   GET /events as server-sent events) on this port, 0 for\n"
    "                   any free port (default: no page)\n"
    "  --web-host HOST  address the spectator page listens on, apart from the\n"
    "                   game port's (default 127.0.0.1: this machine only)\n"
    "  --web-allow-host NAME\n"
    "                   a name the page may be reached by, besides its address\n"
    "                   and localhost; requests naming any other host get 403\n"
    "                   (repeatable)\n"
    "  --web-connections N\n"
    "                   spectator connections served at once; more get 503\n"
    "                   (1 to 65535, default 256)\n"
    "  --control        for a parent program such as kestrel-arena: stop when\n"
    "                   stdin ends (the parent has gone); with --web, read\n"
    "                   commands from it that name players on the page and\n"
    "                   show a tournament's standings and games\n"
    "  --quiet          no line per finished game or drop\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "Prints \"kestrel-server listening on ws://HOST:PORT\" once listening (then,\n"
    "with --web, \"kestrel-server spectators on http://HOST:PORT/\"); stops\n"
    "cleanly on SIGINT or SIGTERM.\n";

namespace {

template <class T>
std::optional<T> parse_number(std::string_view text, T max) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

// A plain decimal no greater than `max`; no sign, exponent, "inf" or "nan".
std::optional<double> parse_decimal(std::string_view text, double max) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos) {
    return std::nullopt;
  }
  // Read by hand: libc++ 16, like the standard library of older macOS
  // releases, has no floating-point std::from_chars. The digits gather into
  // an integer divided once by a power of ten, so "0.3" is the double
  // nearest 0.3; fraction digits past what 64 bits hold are dropped.
  std::uint64_t digits = 0;
  double scale = 1;
  bool point = false;
  bool any_digit = false;
  for (char c : text) {
    if (c == '.') {
      if (point) return std::nullopt;
      point = true;
      continue;
    }
    any_digit = true;
    if (digits > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) {
      if (point) continue;
      return std::nullopt;  // an integer part of 19 digits is past any limit here
    }
    digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
    if (point) scale *= 10;
  }
  if (!any_digit) return std::nullopt;
  const double value = static_cast<double>(digits) / scale;
  if (value > max) return std::nullopt;
  return value;
}

}  // namespace

ParseResult parse_options(std::span<const std::string_view> args) {
  Options options;
  bool seat_given = false;
  bool web_option_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    std::optional<std::string_view> inline_value;
    if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
      inline_value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    // The value of an option that takes one, from "=value" or the next word.
    auto value = [&]() -> std::optional<std::string_view> {
      if (inline_value) return inline_value;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto flag = [&]() { return !inline_value; };

    if (name == "--help" || name == "-h") {
      return ShowHelp{};
    } else if (name == "--version") {
      return ShowVersion{};
    } else if (name == "--quiet" && flag()) {
      options.quiet = true;
    } else if (name == "--control" && flag()) {
      options.control = true;
    } else if (name == "--house-bot" && flag()) {
      options.house_bot = true;
    } else if (name == "--host") {
      const auto v = value();
      if (!v || v->empty()) return UsageError{"--host needs an address"};
      options.host = std::string(*v);
    } else if (name == "--port") {
      const auto v = value();
      const auto port = v ? parse_number<std::uint16_t>(*v, 65535) : std::nullopt;
      if (!port) return UsageError{"--port needs a number from 0 to 65535"};
      options.port = *port;
    } else if (name == "--threads") {
      const auto v = value();
      const auto n = v ? parse_number<unsigned>(*v, 64) : std::nullopt;
      if (!n || *n == 0) return UsageError{"--threads needs a number from 1 to 64"};
      options.threads = *n;
    } else if (name == "--drop") {
      const auto v = value();
      const auto fraction = v ? parse_decimal(*v, 1.0) : std::nullopt;
      if (!fraction) return UsageError{"--drop needs a number from 0 to 1"};
      options.drop = *fraction;
    } else if (name == "--seed") {
      const auto v = value();
      const auto n =
          v ? parse_number<std::uint64_t>(*v, std::numeric_limits<std::uint64_t>::max()) : std::nullopt;
      if (!n) return UsageError{"--seed needs a whole number"};
      options.seed = *n;
    } else if (name == "--move-time") {
      const auto v = value();
      const auto seconds = v ? parse_decimal(*v, 86400.0) : std::nullopt;
      // Whole milliseconds: finer limits would be lost in scheduling noise.
      const auto ms = seconds && *seconds >= 0.001 ? std::llround(*seconds * 1000.0) : 0;
      if (ms < 1) return UsageError{"--move-time needs a number of seconds from 0.001 to 86400"};
      options.move_time = std::chrono::milliseconds(ms);
    } else if (name == "--web") {
      const auto v = value();
      const auto port = v ? parse_number<std::uint16_t>(*v, 65535) : std::nullopt;
      if (!port) return UsageError{"--web needs a port number from 0 to 65535"};
      options.web_port = *port;
    } else if (name == "--web-host") {
      web_option_given = true;
      const auto v = value();
      if (!v || v->empty()) return UsageError{"--web-host needs an address"};
      options.web_host = std::string(*v);
    } else if (name == "--web-allow-host") {
      web_option_given = true;
      const auto v = value();
      if (!v || v->empty() || v->find_first_of(" \t/:[]") != std::string_view::npos) {
        return UsageError{"--web-allow-host needs a host name"};
      }
      std::string lower(*v);
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      options.web_allowed_hosts.push_back(std::move(lower));
    } else if (name == "--web-connections") {
      web_option_given = true;
      const auto v = value();
      const auto n = v ? parse_number<std::size_t>(*v, 65535) : std::nullopt;
      if (!n || *n == 0) return UsageError{"--web-connections needs a number from 1 to 65535"};
      options.web_connections = *n;
    } else if (name == "--seat") {
      const auto v = value();
      seat_given = true;
      if (v == "0") {
        options.seat = SeatChoice::First;
      } else if (v == "1") {
        options.seat = SeatChoice::Second;
      } else if (v == "alternate") {
        options.seat = SeatChoice::Alternate;
      } else {
        return UsageError{"--seat needs 0, 1 or alternate"};
      }
    } else if (name == "--quiet" || name == "--house-bot" || name == "--control") {
      return UsageError{std::string(name) + " takes no value"};
    } else {
      return UsageError{"unknown argument: " + std::string(args[i])};
    }
  }
  if (seat_given && !options.house_bot) return UsageError{"--seat applies only with --house-bot"};
  if (options.seed && options.drop == 0.0) return UsageError{"--seed applies only with --drop"};
  if (web_option_given && !options.web_port) {
    return UsageError{"--web-host, --web-allow-host and --web-connections apply only with --web"};
  }
  return options;
}

}  // namespace kestrel::server
