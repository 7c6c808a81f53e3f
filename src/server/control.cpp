#include "server/control.hpp"

#include <algorithm>
#include <iostream>
#include <thread>

#include "server/board_feed.hpp"

namespace kestrel::server {
namespace {

// A token is long random hex; anything else cannot be one.
bool plausible_token(std::string_view token) {
  return token.size() >= 16 && token.size() <= 128 && std::all_of(token.begin(), token.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::pair<std::string_view, std::string_view> split_word(std::string_view text) {
  const auto space = text.find(' ');
  if (space == std::string_view::npos) return {text, {}};
  return {text.substr(0, space), text.substr(space + 1)};
}

// Past these, a line is not something the arena would send.
constexpr std::size_t kMaxName = 200;
constexpr std::size_t kMaxGame = 4 * 1024;
constexpr std::size_t kMaxStandings = 64 * 1024;

}  // namespace

void SeatLabels::add(std::string token, std::string name) {
  std::lock_guard guard(mutex_);
  pending_.emplace_back(std::move(token), std::move(name));
  if (pending_.size() > kMaxPending) pending_.pop_front();
}

std::optional<std::string> SeatLabels::claim(std::string_view target) {
  if (!target.starts_with(kPrefix)) return std::nullopt;
  const auto token = target.substr(kPrefix.size());
  std::lock_guard guard(mutex_);
  const auto found =
      std::find_if(pending_.begin(), pending_.end(), [&](const auto& p) { return p.first == token; });
  if (found == pending_.end()) return std::nullopt;
  std::string name = std::move(found->second);
  used_.push_back(std::move(found->first));
  if (used_.size() > kMaxPending) used_.pop_front();
  pending_.erase(found);
  return name;
}

bool SeatLabels::may_come(std::string_view target) {
  if (!target.starts_with(kPrefix)) return false;
  const auto token = target.substr(kPrefix.size());
  if (!plausible_token(token)) return false;
  std::lock_guard guard(mutex_);
  return std::find(used_.begin(), used_.end(), token) == used_.end();
}

void apply_control_line(std::string_view line, SeatLabels& labels, BoardFeed& feed) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    return;
  }
  const auto [command, rest] = split_word(line);
  if (command == "seat") {
    const auto [token, name] = split_word(rest);
    if (plausible_token(token) && !name.empty() && name.size() <= kMaxName) {
      labels.add(std::string(token), std::string(name));
    }
  } else if (command == "standings" && !rest.empty() && rest.size() <= kMaxStandings) {
    feed.run_standings(std::string(rest));
  } else if (command == "game" && !rest.empty() && rest.size() <= kMaxGame) {
    feed.run_game(std::string(rest));
  }
}

struct ControlReader::Shared {
  std::mutex mutex;
  bool closed = false;
  std::function<void(std::string_view)> on_line;
  std::function<void()> on_end;
};

ControlReader::ControlReader(std::function<void(std::string_view)> on_line, std::function<void()> on_end)
    : shared_(std::make_shared<Shared>()) {
  shared_->on_line = std::move(on_line);
  shared_->on_end = std::move(on_end);
  std::thread([shared = shared_] {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::lock_guard guard(shared->mutex);
      if (shared->closed) return;
      shared->on_line(line);
    }
    std::lock_guard guard(shared->mutex);
    if (!shared->closed) shared->on_end();
  }).detach();
}

ControlReader::~ControlReader() {
  std::lock_guard guard(shared_->mutex);
  shared_->closed = true;
}

}  // namespace kestrel::server
