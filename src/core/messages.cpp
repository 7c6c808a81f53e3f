#include "core/messages.hpp"

namespace kestrel::wire {

void Codec<GameKind>::write(Bytes& out, const GameKind& kind) {
  write_varint(out, static_cast<std::uint8_t>(kind));
}

Decoded<GameKind> Codec<GameKind>::read(Reader& in) noexcept {
  auto index = read_variant_index(in, "GameKind", 1);
  if (!index) return index.error();
  return static_cast<GameKind>(index.value());
}

void Codec<Cell>::write(Bytes& out, const Cell& cell) { write_varint(out, cell_index(cell)); }

Decoded<Cell> Codec<Cell>::read(Reader& in) noexcept {
  auto index = read_variant_index(in, "Cell", kCellCount - 1);
  if (!index) return index.error();
  return static_cast<Cell>(index.value());
}

// Variant index, then the variant's fields.
std::size_t Codec<ClientMessage>::size(const ClientMessage& m) noexcept {
  const auto& join = std::get<Join>(m.value);
  return varint_size(m.value.index()) + Codec<GameKind>::size(join.game);
}

void Codec<ClientMessage>::write(Bytes& out, const ClientMessage& m) {
  write_varint(out, m.value.index());
  Codec<GameKind>::write(out, std::get<Join>(m.value).game);
}

Decoded<ClientMessage> Codec<ClientMessage>::read(Reader& in) noexcept {
  auto index = read_variant_index(in, "ClientMessage", 0);
  if (!index) return index.error();
  auto game = Codec<GameKind>::read(in);
  if (!game) return game.error();
  return ClientMessage{Join{game.value()}};
}

std::size_t Codec<ServerMessage>::size(const ServerMessage& m) noexcept {
  return varint_size(m.value.index()) + varint_size(std::get<GameStarted>(m.value).player_id);
}

void Codec<ServerMessage>::write(Bytes& out, const ServerMessage& m) {
  write_varint(out, m.value.index());
  write_varint(out, std::get<GameStarted>(m.value).player_id);
}

Decoded<ServerMessage> Codec<ServerMessage>::read(Reader& in) noexcept {
  auto index = read_variant_index(in, "ServerMessage", 0);
  if (!index) return index.error();
  auto seat = read_varint64(in);
  if (!seat) return seat.error();
  return ServerMessage{GameStarted{seat.value()}};
}

}  // namespace kestrel::wire
