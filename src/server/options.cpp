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
    "                      [--web-allow-host NAME]... [--web-connections N]]\n"
    "                      [--control [--join-time SECONDS]] [--report PATH]\n"
    "                      [--quiet] [--help] [--version]\n"
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
    "  --control        for a parent program such as kestrel-arena: read\n"
    "                   commands from stdin that announce games (a client that\n"
    "                   connects to /seat/TOKEN is held for the seat its token\n"
    "                   names; a token not good is refused with an HTTP status),\n"
    "                   name players and show a tournament on the page; stop\n"
    "                   when stdin ends. Clients without a token are paired as\n"
    "                   always\n"
    "  --join-time SECONDS\n"
    "                   both seats of an announced game must join within this\n"
    "                   time of its announcement, or the game is cancelled;\n"
    "                   0.001 to 86400 (default 15)\n"
    "  --report PATH    append one JSON line per game started, ended or\n"
    "                   cancelled to this file (or pipe, such as /dev/fd/3)\n"
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

// One option and its value, if it takes one.
struct Word {
  std::string_view name;
  std::optional<std::string_view> inline_value;  // from "--name=value"
};

// What the option parsers share while they walk argv.
struct Parsing {
  std::span<const std::string_view> args;
  std::size_t i = 0;
  Options options;
  bool seat_given = false;
  bool web_option_given = false;
  bool join_time_given = false;

  // The value of the current option, from "=value" or the next word.
  std::optional<std::string_view> value(const Word& word) {
    if (word.inline_value) return word.inline_value;
    if (i + 1 < args.size()) return args[++i];
    return std::nullopt;
  }
};

using Outcome = std::optional<ParseResult>;  // none: go on with the next word

// Options that take no value; none if `word` is not one of them.
std::optional<Outcome> parse_flag(const Word& word, Options& options) {
  bool* flag = nullptr;
  if (word.name == "--quiet") flag = &options.quiet;
  if (word.name == "--control") flag = &options.control;
  if (word.name == "--house-bot") flag = &options.house_bot;
  if (!flag) return std::nullopt;
  if (word.inline_value) return Outcome(UsageError{std::string(word.name) + " takes no value"});
  *flag = true;
  return Outcome();
}

// Seconds as whole milliseconds from 0.001 to 86400: finer limits would be
// lost in scheduling noise.
std::optional<std::chrono::milliseconds> parse_seconds(std::optional<std::string_view> text) {
  const auto seconds = text ? parse_decimal(*text, 86400.0) : std::nullopt;
  const auto ms = seconds && *seconds >= 0.001 ? std::llround(*seconds * 1000.0) : 0;
  if (ms < 1) return std::nullopt;
  return std::chrono::milliseconds(ms);
}

// The game port, the house and the games' rules.
std::optional<Outcome> parse_game_option(const Word& word, Parsing& p) {
  Options& options = p.options;
  if (word.name == "--host") {
    const auto v = p.value(word);
    if (!v || v->empty()) return Outcome(UsageError{"--host needs an address"});
    options.host = std::string(*v);
  } else if (word.name == "--port") {
    const auto v = p.value(word);
    const auto port = v ? parse_number<std::uint16_t>(*v, 65535) : std::nullopt;
    if (!port) return Outcome(UsageError{"--port needs a number from 0 to 65535"});
    options.port = *port;
  } else if (word.name == "--threads") {
    const auto v = p.value(word);
    const auto n = v ? parse_number<unsigned>(*v, 64) : std::nullopt;
    if (!n || *n == 0) return Outcome(UsageError{"--threads needs a number from 1 to 64"});
    options.threads = *n;
  } else if (word.name == "--move-time") {
    const auto limit = parse_seconds(p.value(word));
    if (!limit) return Outcome(UsageError{"--move-time needs a number of seconds from 0.001 to 86400"});
    options.move_time = *limit;
  } else if (word.name == "--seat") {
    const auto v = p.value(word);
    p.seat_given = true;
    if (v == "0") {
      options.seat = SeatChoice::First;
    } else if (v == "1") {
      options.seat = SeatChoice::Second;
    } else if (v == "alternate") {
      options.seat = SeatChoice::Alternate;
    } else {
      return Outcome(UsageError{"--seat needs 0, 1 or alternate"});
    }
  } else {
    return std::nullopt;
  }
  return Outcome();
}

// Fault injection: --drop and its seed.
std::optional<Outcome> parse_fault_option(const Word& word, Parsing& p) {
  if (word.name == "--drop") {
    const auto v = p.value(word);
    const auto fraction = v ? parse_decimal(*v, 1.0) : std::nullopt;
    if (!fraction) return Outcome(UsageError{"--drop needs a number from 0 to 1"});
    p.options.drop = *fraction;
  } else if (word.name == "--seed") {
    const auto v = p.value(word);
    const auto n =
        v ? parse_number<std::uint64_t>(*v, std::numeric_limits<std::uint64_t>::max()) : std::nullopt;
    if (!n) return Outcome(UsageError{"--seed needs a whole number"});
    p.options.seed = *n;
  } else {
    return std::nullopt;
  }
  return Outcome();
}

// The spectator page.
std::optional<Outcome> parse_web_option(const Word& word, Parsing& p) {
  Options& options = p.options;
  if (word.name == "--web") {
    const auto v = p.value(word);
    const auto port = v ? parse_number<std::uint16_t>(*v, 65535) : std::nullopt;
    if (!port) return Outcome(UsageError{"--web needs a port number from 0 to 65535"});
    options.web_port = *port;
    return Outcome();
  }
  if (word.name != "--web-host" && word.name != "--web-allow-host" && word.name != "--web-connections") {
    return std::nullopt;
  }
  p.web_option_given = true;
  const auto v = p.value(word);
  if (word.name == "--web-host") {
    if (!v || v->empty()) return Outcome(UsageError{"--web-host needs an address"});
    options.web_host = std::string(*v);
  } else if (word.name == "--web-allow-host") {
    if (!v || v->empty() || v->find_first_of(" \t/:[]") != std::string_view::npos) {
      return Outcome(UsageError{"--web-allow-host needs a host name"});
    }
    std::string lower(*v);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    options.web_allowed_hosts.push_back(std::move(lower));
  } else {
    const auto n = v ? parse_number<std::size_t>(*v, 65535) : std::nullopt;
    if (!n || *n == 0) return Outcome(UsageError{"--web-connections needs a number from 1 to 65535"});
    options.web_connections = *n;
  }
  return Outcome();
}

// What a parent program uses: the control channel and the reports.
std::optional<Outcome> parse_parent_option(const Word& word, Parsing& p) {
  if (word.name == "--join-time") {
    p.join_time_given = true;
    const auto limit = parse_seconds(p.value(word));
    if (!limit) return Outcome(UsageError{"--join-time needs a number of seconds from 0.001 to 86400"});
    p.options.join_time = *limit;
  } else if (word.name == "--report") {
    const auto v = p.value(word);
    if (!v || v->empty()) return Outcome(UsageError{"--report needs a path"});
    p.options.report = std::string(*v);
  } else {
    return std::nullopt;
  }
  return Outcome();
}

// Options that only mean something beside another.
std::optional<UsageError> check_combinations(const Parsing& p) {
  const Options& options = p.options;
  if (p.seat_given && !options.house_bot) return UsageError{"--seat applies only with --house-bot"};
  if (p.join_time_given && !options.control) return UsageError{"--join-time applies only with --control"};
  if (options.seed && options.drop == 0.0) return UsageError{"--seed applies only with --drop"};
  if (p.web_option_given && !options.web_port) {
    return UsageError{"--web-host, --web-allow-host and --web-connections apply only with --web"};
  }
  return std::nullopt;
}

}  // namespace

ParseResult parse_options(std::span<const std::string_view> args) {
  Parsing p;
  p.args = args;
  for (; p.i < args.size(); ++p.i) {
    Word word{args[p.i], std::nullopt};
    if (const auto eq = word.name.find('='); word.name.starts_with("--") && eq != std::string_view::npos) {
      word.inline_value = word.name.substr(eq + 1);
      word.name = word.name.substr(0, eq);
    }
    if (word.name == "--help" || word.name == "-h") return ShowHelp{};
    if (word.name == "--version") return ShowVersion{};
    auto outcome = parse_flag(word, p.options);
    if (!outcome) outcome = parse_game_option(word, p);
    if (!outcome) outcome = parse_fault_option(word, p);
    if (!outcome) outcome = parse_web_option(word, p);
    if (!outcome) outcome = parse_parent_option(word, p);
    if (!outcome) return UsageError{"unknown argument: " + std::string(args[p.i])};
    if (*outcome) return std::move(**outcome);
  }
  if (auto error = check_combinations(p)) return *error;
  return std::move(p.options);
}

}  // namespace kestrel::server
