#include "server/game_report.hpp"

#include "server/json_writer.hpp"

namespace kestrel::server {
namespace {

void append_game(std::string& out, std::optional<std::uint64_t> game) {
  out += "\"game\":";
  if (game) {
    json::append_number(out, static_cast<std::int64_t>(*game));
  } else {
    out += "null";
  }
}

template <class T, class Append>
void append_list(std::string& out, const std::vector<T>& items, Append append) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    append(out, items[i]);
  }
  out += ']';
}

}  // namespace

GameReports::~GameReports() {
  if (file_) std::fclose(file_);
}

bool GameReports::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "a");
  return file_ != nullptr;
}

void GameReports::hello() {
  write("{\"type\":\"hello\",\"version\":\"" KESTREL_VERSION "\",\"protocol\":" + std::to_string(kProtocol) +
        ",\"commands\":[\"hello\",\"announce\",\"seat\",\"standings\",\"game\"]}");
}

void GameReports::started(std::optional<std::uint64_t> game, std::uint64_t server_game,
                          const std::array<Seat, 2>& seats) {
  if (!file_) return;
  std::string out = "{\"type\":\"started\",";
  append_game(out, game);
  out += ",\"server_game\":";
  json::append_number(out, static_cast<std::int64_t>(server_game));
  out += ",\"seats\":[";
  for (std::size_t i = 0; i < seats.size(); ++i) {
    if (i) out += ',';
    out += "{\"peer\":";
    json::append_string(out, seats[i].peer);
    out += ",\"name\":";
    json::append_name(out, seats[i].name);
    out += '}';
  }
  write(out + "]}");
}

void GameReports::ended(std::optional<std::uint64_t> game, std::uint64_t server_game,
                        std::optional<std::uint64_t> winner, const std::vector<std::uint8_t>& moves,
                        const std::vector<double>& times, const std::optional<Forfeit>& forfeit) {
  if (!file_) return;
  std::string out = "{\"type\":\"ended\",";
  append_game(out, game);
  out += ",\"server_game\":";
  json::append_number(out, static_cast<std::int64_t>(server_game));
  out += ",\"winner\":";
  out += winner ? std::to_string(*winner) : "null";
  out += ",\"moves\":";
  append_list(out, moves, [](std::string& o, std::uint8_t cell) { json::append_number(o, cell); });
  out += ",\"times\":";
  append_list(out, times, [](std::string& o, double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    o += text;
  });
  out += ",\"forfeit\":";
  if (forfeit) {
    out += "{\"seat\":";
    json::append_number(out, static_cast<std::int64_t>(forfeit->seat));
    out += ",\"reason\":";
    json::append_string(out, forfeit->reason);
    out += '}';
  } else {
    out += "null";
  }
  write(out + '}');
}

void GameReports::cancelled(std::uint64_t game, std::string_view reason,
                            const std::vector<std::uint64_t>& joined) {
  if (!file_) return;
  std::string out = "{\"type\":\"cancelled\",";
  append_game(out, game);
  out += ",\"reason\":";
  json::append_string(out, reason);
  out += ",\"joined\":";
  append_list(out, joined, [](std::string& o, std::uint64_t seat) {
    json::append_number(o, static_cast<std::int64_t>(seat));
  });
  write(out + '}');
}

void GameReports::refused(std::string_view command, std::string_view reason) {
  if (!file_) return;
  std::string out = "{\"type\":\"refused\",\"command\":";
  json::append_string(out, command);
  out += ",\"reason\":";
  json::append_string(out, reason);
  write(out + '}');
}

void GameReports::write(std::string line) {
  line += '\n';
  std::lock_guard guard(mutex_);
  if (!file_) return;
  // A reader that has gone (EPIPE; SIGPIPE is ignored) closes the channel.
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

}  // namespace kestrel::server
