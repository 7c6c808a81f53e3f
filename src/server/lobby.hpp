// The clients waiting for a partner, under the server's lobby lock.
#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "server/board_feed.hpp"

namespace kestrel::server {

class PlayerSession;

// Clients waiting for a partner, in the order their join requests arrived.
class Lobby {
 public:
  // The feed hears of every change under the lobby's lock, in its order.
  explicit Lobby(BoardFeed& feed) : feed_(feed) {}

  // Pairs `joiner` with the longest-waiting client (returned, seat 0), or
  // queues it and returns null.
  std::shared_ptr<PlayerSession> join(const std::shared_ptr<PlayerSession>& joiner);
  // Forgets `leaver`; false if it was not waiting (already paired).
  bool leave(const PlayerSession* leaver);

 private:
  BoardFeed& feed_;
  std::mutex mutex_;
  std::deque<std::shared_ptr<PlayerSession>> waiting_;
};

}  // namespace kestrel::server
