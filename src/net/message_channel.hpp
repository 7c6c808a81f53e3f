// The helpers through which the game logic sends and receives the match
// server's messages over the Outbox and Inbox: binary messages whose
// payloads use the wire encoding.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <optional>
#include <utility>
#include <variant>

#include "core/messages.hpp"
#include "core/wire.hpp"
#include "net/queue.hpp"
#include "net/ws_message.hpp"

namespace kestrel::net {

// One binary message carrying `value` in the wire encoding. Built apart from
// sending so that a caller can encode before it changes anything: encoding
// is the step that may fail (out of memory).
template <class T>
WsMessage encode_message(const T& value) {
  return WsMessage(std::in_place_type<BinaryMessage>, BinaryMessage{wire::encode(value)});
}

// Queues a message made by encode_message. Never waits; if the Outbox is
// closed (the connection is gone) the message is dropped and the result is
// false.
inline bool send_encoded(OutboxSender& outbox, WsMessage message) { return outbox.send(std::move(message)); }

// Encodes `value` into one binary message and queues it, as the two above.
template <class T>
bool send_message(OutboxSender& outbox, const T& value) {
  return send_encoded(outbox, encode_message(value));
}

// The T an Inbox item carries: none unless it is a binary message that
// decodes as T. Not a coroutine: a session parked on its Inbox should not
// also hold a frame for the decoding.
template <class T>
std::optional<T> decode_message(const WsMessage& item) {
  const auto* binary = std::get_if<BinaryMessage>(&item);
  if (!binary) return std::nullopt;
  auto decoded = wire::decode<T>(binary->payload);
  if (!decoded) return std::nullopt;
  return std::move(decoded).value();
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
  co_return Received<T>{decode_message<T>(*item), false};
}

// The same without telling closure from unusable data.
template <class T>
boost::asio::awaitable<std::optional<T>> receive_message(InboxReceiver& inbox) {
  Received<T> received = co_await receive_message_or_closed<T>(inbox);
  co_return std::move(received.value);
}

}  // namespace kestrel::net
