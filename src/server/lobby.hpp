// The clients waiting for a partner, under the server's lobby lock.
#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "server/board_feed.hpp"
#include "server/seat_connection.hpp"

namespace kestrel::server {

// Clients waiting for a partner, in the order their join requests arrived.
class Lobby {
 public:
  // The feed hears of every change under the lobby's lock, in its order.
  explicit Lobby(BoardFeed& feed) : feed_(feed) {}

  // Pairs `joiner` with the longest-waiting client (returned, seat 0), or
  // queues it and returns null.
  std::shared_ptr<SeatConnection> join(const std::shared_ptr<SeatConnection>& joiner);
  // Forgets `leaver`; false if it was not waiting (already paired).
  bool leave(const SeatConnection* leaver);

 private:
  BoardFeed& feed_;
  std::mutex mutex_;
  std::deque<std::shared_ptr<SeatConnection>> waiting_;
};

}  // namespace kestrel::server
