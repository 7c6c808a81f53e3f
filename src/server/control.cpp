#include "server/control.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "server/board_feed.hpp"
#include "server/game_report.hpp"
#include "server/seating.hpp"

namespace kestrel::server {
namespace {

std::pair<std::string_view, std::string_view> split_word(std::string_view text) {
  const auto space = text.find(' ');
  if (space == std::string_view::npos) return {text, {}};
  return {text.substr(0, space), text.substr(space + 1)};
}

// Past these, a line is not something the arena would send.
constexpr std::size_t kMaxName = 200;
constexpr std::size_t kMaxGame = 4 * 1024;
constexpr std::size_t kMaxStandings = 64 * 1024;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A percent-encoded name, decoded; none if it is malformed, empty, too long
// or decodes to a control character.
std::optional<std::string> decode_name(std::string_view text) {
  std::string name;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
      if (high < 0 || low < 0) return std::nullopt;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
    name += c;
  }
  if (name.empty() || name.size() > kMaxName) return std::nullopt;
  return name;
}

// "GAME T0 N0 T1 N1"; the refusal's reason otherwise.
std::string announce(std::string_view words, Seating& seating) {
  std::array<std::string_view, 5> word;
  for (auto& w : word) std::tie(w, words) = split_word(words);
  if (!words.empty() || word[4].empty()) return "announce needs GAME TOKEN0 NAME0 TOKEN1 NAME1";
  Seating::Announcement announcement{};
  const auto [end, ec] = std::from_chars(word[0].data(), word[0].data() + word[0].size(), announcement.game);
  if (ec != std::errc{} || end != word[0].data() + word[0].size()) return "the game is a whole number";
  for (std::size_t seat = 0; seat < 2; ++seat) {
    auto name = decode_name(word[2 + 2 * seat]);
    if (!name) return "a name is 1 to 200 bytes, percent-encoded, with no control character";
    announcement.tokens[seat] = std::string(word[1 + 2 * seat]);
    announcement.names[seat] = std::move(*name);
  }
  return seating.announce(std::move(announcement));
}

}  // namespace

void apply_control_line(std::string_view line, const ControlTargets& targets) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    return;
  }
  const auto [command, rest] = split_word(line);
  if (command == "hello") {
    targets.reports.hello();
  } else if (command == "announce") {
    if (const auto refusal = announce(rest, targets.seating); !refusal.empty()) {
      targets.reports.refused(line.substr(0, 200), refusal);
    }
  } else if (command == "seat") {
    const auto [token, name] = split_word(rest);
    if (!name.empty() && name.size() <= kMaxName) targets.seating.name(std::string(token), std::string(name));
  } else if (command == "standings" && !rest.empty() && rest.size() <= kMaxStandings) {
    targets.feed.run_standings(std::string(rest));
  } else if (command == "game" && !rest.empty() && rest.size() <= kMaxGame) {
    targets.feed.run_game(std::string(rest));
  }
}

}  // namespace kestrel::server
