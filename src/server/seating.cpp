#include "server/seating.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/console.hpp"

namespace kestrel::server {
namespace {

using boost::beast::http::status;

// A token is long random hex; anything else cannot be one.
bool plausible_token(std::string_view token) {
  return token.size() >= 16 && token.size() <= 128 && std::all_of(token.begin(), token.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string seconds_text(std::chrono::milliseconds ms) {
  const auto count = ms.count();
  if (count % 1000 == 0) return std::to_string(count / 1000) + " s";
  auto fraction = std::to_string(1000 + count % 1000).substr(1);
  while (fraction.back() == '0') fraction.pop_back();
  return std::to_string(count / 1000) + "." + fraction + " s";
}

}  // namespace

Seating::Seating(boost::asio::io_context& io, GameReports& reports, std::chrono::milliseconds join_time,
                 bool quiet)
    : io_(io), reports_(reports), join_time_(join_time), quiet_(quiet) {}

bool Seating::known(const std::string& token) const {
  return seats_.contains(token) || named_.contains(token) || spent_.contains(token);
}

void Seating::spend(const std::string& token, std::string reason) {
  spent_.insert_or_assign(token, std::move(reason));
  spent_order_.push_back(token);
  if (spent_order_.size() > kMaxSpentTokens) {
    spent_.erase(spent_order_.front());
    spent_order_.pop_front();
  }
}

std::string Seating::announce(Announcement announcement) {
  const auto game = announcement.game;
  for (const auto& token : announcement.tokens) {
    if (!plausible_token(token)) return "a seat token is 16 to 128 hexadecimal digits";
  }
  if (announcement.tokens[0] == announcement.tokens[1]) return "each seat needs a token of its own";
  std::lock_guard guard(mutex_);
  if (waiting_.contains(game)) return "game " + std::to_string(game) + " is announced already";
  for (const auto& token : announcement.tokens) {
    if (known(token)) return "a seat token was handed out before";
  }
  while (!announced_.empty() &&
         (waiting_.size() >= kMaxWaitingGames || !waiting_.contains(announced_.front()))) {
    const auto oldest = announced_.front();
    announced_.pop_front();
    if (waiting_.contains(oldest)) cancel(oldest, "too many games waiting for their seats");
  }

  auto& waiting = waiting_[game];
  waiting.tokens = announcement.tokens;
  waiting.deadline = std::make_unique<boost::asio::steady_timer>(io_, join_time_);
  waiting.deadline->async_wait([this, game](const boost::system::error_code& ec) {
    if (!ec) on_deadline(game);
  });
  for (std::uint64_t seat = 0; seat < 2; ++seat) {
    seats_.emplace(announcement.tokens[seat], TokenSeat{game, seat, std::move(announcement.names[seat])});
  }
  announced_.push_back(game);
  return {};
}

void Seating::name(std::string token, std::string name) {
  std::lock_guard guard(mutex_);
  if (!plausible_token(token) || known(token)) return;
  named_order_.push_back(token);
  named_.emplace(std::move(token), std::move(name));
  if (named_order_.size() > kMaxNamedTokens) {
    named_.erase(named_order_.front());
    named_order_.pop_front();
  }
}

Seating::Claim Seating::claim(std::string_view target, bool last_try) {
  if (!target.starts_with(kPrefix)) return NotASeat{};
  const std::string token(target.substr(kPrefix.size()));
  std::lock_guard guard(mutex_);
  if (const auto found = seats_.find(token); found != seats_.end()) {
    auto& seat = found->second;
    if (seat.claimed) return Refused{status::conflict, "seat token already used"};
    seat.claimed = true;
    return Held{seat.game, seat.seat, seat.name};
  }
  if (const auto found = named_.find(token); found != named_.end()) {
    Named named{std::move(found->second)};
    named_.erase(found);
    spend(token, "seat token already used");
    return named;
  }
  if (const auto found = spent_.find(token); found != spent_.end())
    return Refused{status::gone, found->second};
  if (plausible_token(token) && !last_try) return NotYet{};
  return Refused{status::not_found, "no game announced for this seat token"};
}

std::optional<Seating::Seats> Seating::join(std::uint64_t game, std::uint64_t seat,
                                            std::shared_ptr<SeatConnection> player, std::string& refusal) {
  std::lock_guard guard(mutex_);
  const auto found = waiting_.find(game);
  if (found == waiting_.end()) {
    // It cannot have started without this seat.
    refusal = "game " + std::to_string(game) + " was cancelled";
    return std::nullopt;
  }
  auto& waiting = found->second;
  waiting.joined[seat] = std::move(player);
  if (!waiting.joined[0] || !waiting.joined[1]) return std::nullopt;
  Seats seats = std::move(waiting.joined);
  for (const auto& token : waiting.tokens) {
    seats_.erase(token);
    spend(token, "game " + std::to_string(game) + " has started");
  }
  waiting_.erase(found);
  return seats;
}

void Seating::on_deadline(std::uint64_t game) {
  std::lock_guard guard(mutex_);
  const auto found = waiting_.find(game);
  if (found == waiting_.end()) return;
  std::vector<std::uint64_t> missing;
  for (std::uint64_t seat = 0; seat < 2; ++seat) {
    if (!found->second.joined[seat]) missing.push_back(seat);
  }
  const std::string who =
      missing.size() == 2 ? "seats 0 and 1 did not" : "seat " + std::to_string(missing[0]) + " did not";
  cancel(game, who + " join within " + seconds_text(join_time_));
}

void Seating::cancel(std::uint64_t game, const std::string& reason) {
  const auto found = waiting_.find(game);
  if (found == waiting_.end()) return;
  Waiting waiting = std::move(found->second);
  waiting_.erase(found);
  std::vector<std::uint64_t> joined;
  for (std::uint64_t seat = 0; seat < 2; ++seat) {
    if (!waiting.joined[seat]) continue;
    joined.push_back(seat);
    waiting.joined[seat]->finish(boost::beast::websocket::close_code::policy_error,
                                 "game cancelled: " + reason);
  }
  for (const auto& token : waiting.tokens) {
    seats_.erase(token);
    spend(token, "game " + std::to_string(game) + " was cancelled");
  }
  reports_.cancelled(game, reason, joined);
  if (!quiet_) console::err_line("cancelled game " + std::to_string(game) + ": " + reason);
}

}  // namespace kestrel::server
