// The server's view of the messages it reads and writes, over the same
// encoding the clients use.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/game.hpp"
#include "core/messages.hpp"
#include "core/wire.hpp"

namespace kestrel::server {

using Payload = Bytes;

// The game kind a join request names, or none if it is not a join request.
inline std::optional<GameKind> decode_join(std::span<const std::uint8_t> payload) noexcept {
  auto decoded = wire::decode<ClientMessage>(payload);
  if (!decoded) return std::nullopt;
  return std::get<Join>(decoded.value().value).game;
}

inline Payload encode_game_started(std::uint64_t seat) {
  return wire::encode(ServerMessage{GameStarted{seat}});
}

// The cell a move message names, or none if it does not decode.
inline std::optional<Cell> decode_move(std::span<const std::uint8_t> payload) noexcept {
  auto decoded = wire::decode<Move>(payload);
  if (!decoded) return std::nullopt;
  return decoded.value();
}

inline Payload encode_move(Cell cell) { return wire::encode(Move{cell}); }

}  // namespace kestrel::server
