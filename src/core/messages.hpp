// Every message exchanged with the match server, and the two helpers through
// which the game logic sends and receives them over the Outbox and Inbox.
// Nothing names a message's type on the wire: each side knows what comes
// next from the phase of the session (join, start, then moves).
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <variant>

#include "core/game.hpp"
#include "core/queue.hpp"
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

// Encodes `value` into one binary message and queues it. Never waits; if the
// Outbox is closed (the connection is gone) the message is silently dropped.
template <class T>
void send_message(OutboxSender& outbox, const T& value) {
  outbox.send(WsMessage(std::in_place_type<BinaryMessage>, BinaryMessage{wire::encode(value)}));
}

// One Inbox item, as the game sees it.
template <class T>
struct Received {
  std::optional<T> value;  // set when the item was a binary T
  bool closed = false;     // no item at all: the Inbox is closed and empty
};

// Takes at most one Inbox item. An item that is not a binary message or does
// not decode as T is dropped and yields no value; so does a closed Inbox, and
// `closed` tells the two apart. Throws boost::system::system_error if the
// wait is cancelled.
template <class T>
boost::asio::awaitable<Received<T>> receive_message_or_closed(InboxReceiver& inbox) {
  std::optional<WsMessage> item = co_await inbox.receive();
  if (!item) co_return Received<T>{std::nullopt, true};
  const auto* binary = std::get_if<BinaryMessage>(&*item);
  if (!binary) co_return Received<T>{};
  auto decoded = wire::decode<T>(binary->payload);
  if (!decoded) co_return Received<T>{};
  co_return Received<T>{std::move(decoded).value(), false};
}

// The same without telling closure from unusable data.
template <class T>
boost::asio::awaitable<std::optional<T>> receive_message(InboxReceiver& inbox) {
  Received<T> received = co_await receive_message_or_closed<T>(inbox);
  co_return std::move(received.value);
}

}  // namespace kestrel
