// Every message exchanged with the match server and its encoding. Nothing
// names a message's type on the wire: each side knows what comes next from
// the phase of the session (join, start, then moves).
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "core/game.hpp"
#include "core/wire.hpp"

namespace kestrel {

// Which game to join. We only ever ask for TicTacToe; the server knows a
// second game, index 1.
enum class GameKind : std::uint8_t { TicTacToe = 0, Other = 1 };

struct Join {
  GameKind game = GameKind::TicTacToe;
  friend bool operator==(const Join&, const Join&) = default;
};

// Client to server: sent once, first. Bytes 00 00.
struct ClientMessage {
  std::variant<Join> value;
  friend bool operator==(const ClientMessage&, const ClientMessage&) = default;
};

struct GameStarted {
  std::uint64_t player_id;  // our seat: 0 = Player1, 1 = Player2
  friend bool operator==(const GameStarted&, const GameStarted&) = default;
};

// Server to client: starts the game.
struct ServerMessage {
  std::variant<GameStarted> value;
  friend bool operator==(const ServerMessage&, const ServerMessage&) = default;
};

// Both directions during the game: a bare Cell, one byte 00..08.
using Move = Cell;

namespace wire {

template <>
struct Codec<GameKind> {
  static std::size_t size(const GameKind&) noexcept { return 1; }
  static void write(Bytes& out, const GameKind& kind);
  static Decoded<GameKind> read(Reader& in) noexcept;
};

template <>
struct Codec<Cell> {
  static std::size_t size(const Cell&) noexcept { return 1; }
  static void write(Bytes& out, const Cell& cell);
  static Decoded<Cell> read(Reader& in) noexcept;
};

template <>
struct Codec<ClientMessage> {
  static std::size_t size(const ClientMessage& m) noexcept;
  static void write(Bytes& out, const ClientMessage& m);
  static Decoded<ClientMessage> read(Reader& in) noexcept;
};

template <>
struct Codec<ServerMessage> {
  static std::size_t size(const ServerMessage& m) noexcept;
  static void write(Bytes& out, const ServerMessage& m);
  static Decoded<ServerMessage> read(Reader& in) noexcept;
};

}  // namespace wire

}  // namespace kestrel
