#include "server/lobby.hpp"

#include <mutex>

namespace kestrel::server {

std::shared_ptr<SeatConnection> Lobby::join(const std::shared_ptr<SeatConnection>& joiner) {
  std::lock_guard guard(mutex_);
  if (waiting_.empty()) {
    waiting_.push_back(joiner);
    feed_.joined_lobby(joiner->peer(), joiner->name());
    return nullptr;
  }
  auto partner = std::move(waiting_.front());
  waiting_.pop_front();
  feed_.left_lobby(partner->peer(), true);
  return partner;
}

bool Lobby::leave(const SeatConnection* leaver) {
  std::lock_guard guard(mutex_);
  if (std::erase_if(waiting_, [&](const auto& c) { return c.get() == leaver; }) == 0) return false;
  feed_.left_lobby(leaver->peer(), false);
  return true;
}

}  // namespace kestrel::server
