// The messages the match server reads and writes, as byte strings.
//
// PRIVATE STUB -- replace with thin wrappers over core/messages.hpp once the
// core encoding lands; nothing outside src/server may depend on this file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/game.hpp"

namespace kestrel::server {

using Payload = std::vector<std::uint8_t>;

// The game kinds a join request can name; only TicTacToe is played here.
enum class RequestedGame { TicTacToe, Other };

// The game kind named by a join request, or none if it does not decode.
std::optional<RequestedGame> decode_join(std::span<const std::uint8_t> payload) noexcept;
Payload encode_game_started(std::uint64_t seat);
// The cell of a move message, or none if it does not decode.
std::optional<Cell> decode_move(std::span<const std::uint8_t> payload) noexcept;
Payload encode_move(Cell cell);

}  // namespace kestrel::server
