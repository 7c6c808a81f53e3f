// What the game loop holds of one seated game: the local player, the two
// queues to and from the connection, the seat, the connection's executor.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "net/queue.hpp"
#include "net/serial_executor.hpp"
#include "net/strategy.hpp"

namespace kestrel::net {

struct Participant {
  std::unique_ptr<Strategy> strategy;  // the local player's move chooser
  OutboxSender outbox;                 // where our moves go
  InboxReceiver inbox;                 // where the opponent's moves come from
  std::uint64_t seat = 0;              // player_id from the start message
  // The connection's executor, which a shortcut enters to start the write
  // where the answer arrives; without it the writer is woken as usual.
  std::optional<ConnectionExecutor> connection = std::nullopt;
};

}  // namespace kestrel::net
