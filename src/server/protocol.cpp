// PRIVATE STUB encoding (variable-length integers, enum index first); see
// protocol.hpp. To be replaced by calls into the core encoding.
#include "server/protocol.hpp"

namespace kestrel::server {
namespace {

// Reads a variable-length integer of at most 32 bits, advancing `in`.
std::optional<std::uint32_t> read_u32(std::span<const std::uint8_t>& in) noexcept {
  if (in.empty()) return std::nullopt;
  const std::uint8_t b = in[0];
  in = in.subspan(1);
  if (b < 251) return b;
  std::size_t width = b == 251 ? 2 : b == 252 ? 4 : 0;
  if (width == 0 || in.size() < width) return std::nullopt;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= static_cast<std::uint32_t>(in[i]) << (8 * i);
  in = in.subspan(width);
  return v;
}

}  // namespace

std::optional<RequestedGame> decode_join(std::span<const std::uint8_t> payload) noexcept {
  const auto variant = read_u32(payload);
  if (!variant || *variant != 0) return std::nullopt;
  const auto kind = read_u32(payload);
  if (!kind || *kind > 1) return std::nullopt;
  return *kind == 0 ? RequestedGame::TicTacToe : RequestedGame::Other;
}

Payload encode_game_started(std::uint64_t seat) {
  // Seats are 0 and 1, always the one-byte form.
  return Payload{0, static_cast<std::uint8_t>(seat)};
}

std::optional<Cell> decode_move(std::span<const std::uint8_t> payload) noexcept {
  const auto index = read_u32(payload);
  if (!index) return std::nullopt;
  return cell_from_index(*index);
}

Payload encode_move(Cell cell) { return Payload{cell_index(cell)}; }

}  // namespace kestrel::server
