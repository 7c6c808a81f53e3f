// One WebSocket message as the transport reads or writes it. Queue items
// between the connection tasks and the game are exactly this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/bytes.hpp"

namespace kestrel::net {

struct TextMessage {
  std::string text;
};
struct BinaryMessage {
  Bytes payload;
};
struct PingMessage {
  Bytes payload;
};
struct PongMessage {
  Bytes payload;
};
struct CloseFrame {
  std::uint16_t code;
  std::string reason;
};
struct CloseMessage {
  std::optional<CloseFrame> frame;
};
using WsMessage = std::variant<TextMessage, BinaryMessage, PingMessage, PongMessage, CloseMessage>;

}  // namespace kestrel::net
