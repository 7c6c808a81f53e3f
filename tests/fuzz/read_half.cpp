// Arbitrary server bytes after a valid handshake, through the client's real
// read path: open_connection() against a loopback server that answers a
// proper 101 and then sends the input and its FIN. Around the halves run
// the same three tasks a session runs (reader into the Inbox, the game
// taking the start message and moves from it, writer draining the Outbox),
// so automatic replies interleave with real sends.
//
// Properties: no crash, hang or leak; the messages are exactly those a
// reference reading of the frames finds, and the connection ends by a close
// exactly when that reading does; each outcome fits the input (no more
// messages than frames could carry, no payload larger than the input,
// control payloads within their limits, close codes that may be on the
// wire); a close is followed by the end and the end only follows a close;
// after the end or a failure the read half reports the end for good; every
// failure carries one of the transport's prefixes.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "net/message_channel.hpp"
#include "net/queue.hpp"
#include "fuzz_support.hpp"
#include "loopback_peer.hpp"
#include "net/connection.hpp"
#include "net/message_limits.hpp"
#include "net/opening.hpp"

namespace kestrel::fuzz {
namespace {

namespace asio = boost::asio;
using net::BinaryMessage;
using net::CloseFrame;
using net::CloseMessage;
using net::ConnectionEnd;
using net::InboxReceiver;
using net::InboxSender;
using net::make_queue;
using net::OutboxReceiver;
using net::OutboxSender;
using net::PingMessage;
using net::PongMessage;
using net::ReadOutcome;
using net::receive_message_or_closed;
using net::Received;
using net::send_message;
using net::TextMessage;
using net::TransportError;
using net::WsMessage;

void check_failure_text(std::string_view description) {
  require(starts_with_any(description, {"IO error: ", "WebSocket protocol error: ", "Space limit exceeded: ",
                                        "UTF-8 encoding error: ", "Trying to work with closed connection",
                                        "Connection closed normally"}),
          "unknown failure text: " + std::string(description));
}

// Close codes a peer may put on the wire: RFC 6455 (7.4) leaves 0-999
// unused, reserves 1016-2999 and keeps 1004-1006 and 1015 off the wire.
bool sendable_close_code(std::uint16_t code) {
  if (code < 1000 || (code >= 1016 && code <= 2999)) return false;
  return code != 1004 && code != 1005 && code != 1006 && code != 1015;
}

void check_message(const WsMessage& message, std::size_t input_size) {
  if (const auto* text = std::get_if<TextMessage>(&message)) {
    require(text->text.size() <= input_size, "text larger than the input");
  } else if (const auto* binary = std::get_if<BinaryMessage>(&message)) {
    require(binary->payload.size() <= input_size, "binary larger than the input");
  } else if (const auto* ping = std::get_if<PingMessage>(&message)) {
    require(ping->payload.size() <= 125, "ping payload above 125 bytes");
  } else if (const auto* pong = std::get_if<PongMessage>(&message)) {
    require(pong->payload.size() <= 125, "pong payload above 125 bytes");
  } else if (const auto* close = std::get_if<CloseMessage>(&message)) {
    if (close->frame) {
      require(sendable_close_code(close->frame->code), "close code that may not be on the wire");
      require(close->frame->reason.size() <= 123, "close reason above 123 bytes");
    }
  } else {
    fail("reading produced a raw frame");
  }
}

// Whether `s` is UTF-8 text, or, while `complete` is false, the start of
// some UTF-8 text (a code point may still be cut at the end).
bool utf8_ok(std::string_view s, bool complete) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;  // range of the second byte
    unsigned char high = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // overlong
      if (c == 0xED) high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;   // overlong
      if (c == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= s.size()) return !complete;
      const auto d = static_cast<unsigned char>(s[i + k]);
      if (k == 1 ? (d < low || d > high) : (d < 0x80 || d > 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

// Close codes the WebSocket layer takes from a peer: those above, less 1014,
// which it still counts as reserved.
bool accepted_close_code(std::uint16_t code) { return sendable_close_code(code) && code != 1014; }

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

// What a client must make of these bytes when it reads them frame by frame
// as RFC 6455 says, with our 16 MiB frame limit: the messages in order, and
// whether the connection then ends by a close (else it fails, on the first
// broken rule or where the bytes run out).
struct Expected {
  std::vector<WsMessage> messages;
  bool closes = false;
};

Expected expected_reading(std::string_view in) {
  Expected out;
  auto at_byte = [&in](std::size_t i) { return static_cast<std::uint8_t>(in[i]); };
  std::size_t at = 0;
  bool in_message = false;  // a fragmented message waits for its continuation
  bool text = false;
  std::string held;
  for (;;) {
    if (in.size() - at < 2) return out;
    const std::uint8_t b0 = at_byte(at);
    const std::uint8_t b1 = at_byte(at + 1);
    const bool fin = (b0 & 0x80) != 0;
    const unsigned op = b0 & 0x0F;
    const bool control = op >= 8;
    std::uint64_t length = b1 & 0x7F;
    const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (in.size() - at < 2 + extended) return out;
    if ((b0 & 0x70) != 0) return out;  // no extension was agreed
    if (op == 1 || op == 2) {
      if (in_message) return out;
    } else if (op == 0) {
      if (!in_message) return out;
    } else if (op == 8 || op == 9 || op == 10) {
      if (!fin || length > 125) return out;
    } else {
      return out;  // reserved opcode
    }
    if ((b1 & 0x80) != 0) return out;  // servers never mask
    if (extended > 0) {
      length = 0;
      for (std::size_t k = 0; k < extended; ++k) length = (length << 8) | at_byte(at + 2 + k);
      if (length < (extended == 2 ? 126U : 65536U)) return out;  // not the shortest length form
    }
    if (!control && length > net::kMaxFrameSize) return out;
    const std::size_t header = 2 + extended;
    if (in.size() - at - header < length) return out;
    const std::string_view payload = in.substr(at + header, static_cast<std::size_t>(length));
    at += header + payload.size();

    if (op == 9) {
      out.messages.push_back(PingMessage{bytes_of(payload)});
    } else if (op == 10) {
      out.messages.push_back(PongMessage{bytes_of(payload)});
    } else if (op == 8) {
      CloseMessage close;
      if (payload.size() == 1) return out;
      if (payload.size() >= 2) {
        const auto code = static_cast<std::uint16_t>((at_byte(at - payload.size()) << 8) |
                                                     at_byte(at - payload.size() + 1));
        const std::string_view reason = payload.substr(2);
        if (!accepted_close_code(code) || !utf8_ok(reason, true)) return out;
        close.frame = CloseFrame{code, std::string(reason)};
      }
      out.messages.push_back(std::move(close));
      out.closes = true;
      return out;
    } else {
      if (op != 0) {
        in_message = true;
        text = op == 1;
        held.clear();
      }
      held.append(payload);
      if (text && !utf8_ok(held, fin)) return out;  // checked as the bytes arrive
      if (fin) {
        in_message = false;
        if (text) {
          out.messages.push_back(TextMessage{held});
        } else {
          out.messages.push_back(BinaryMessage{bytes_of(held)});
        }
      }
    }
  }
}

bool same_message(const WsMessage& a, const WsMessage& b) {
  if (a.index() != b.index()) return false;
  if (const auto* t = std::get_if<TextMessage>(&a)) return t->text == std::get<TextMessage>(b).text;
  if (const auto* m = std::get_if<BinaryMessage>(&a)) return m->payload == std::get<BinaryMessage>(b).payload;
  if (const auto* m = std::get_if<PingMessage>(&a)) return m->payload == std::get<PingMessage>(b).payload;
  if (const auto* m = std::get_if<PongMessage>(&a)) return m->payload == std::get<PongMessage>(b).payload;
  if (const auto* c = std::get_if<CloseMessage>(&a)) {
    const auto& d = std::get<CloseMessage>(b);
    if (c->frame.has_value() != d.frame.has_value()) return false;
    return !c->frame || (c->frame->code == d.frame->code && c->frame->reason == d.frame->reason);
  }
  return false;
}

asio::awaitable<void> reader(net::ReadHalf half, InboxSender inbox, const Expected* expected,
                             std::size_t input_size) {
  net::ReadHalf read = std::move(half);
  InboxSender queue = std::move(inbox);
  std::size_t messages = 0;
  bool closed = false;
  for (;;) {
    ReadOutcome outcome = co_await read.next();
    if (auto* message = std::get_if<WsMessage>(&outcome)) {
      require(!closed, "message after the close");
      // Every frame takes at least its two header bytes.
      require(++messages <= input_size / 2, "more messages than the input holds frames");
      check_message(*message, input_size);
      require(
          messages <= expected->messages.size() && same_message(*message, expected->messages[messages - 1]),
          "message differs from what the bytes hold");
      closed = std::holds_alternative<CloseMessage>(*message);
      queue.send(std::move(*message));
      continue;
    }
    if (const auto* failure = std::get_if<TransportError>(&outcome)) {
      require(!closed, "failure instead of the end after the close");
      check_failure_text(failure->description);
    } else {
      require(closed, "end without a close");
    }
    require(messages == expected->messages.size(), "fewer messages than the bytes hold");
    require(closed == expected->closes, "ended otherwise than the bytes say");
    break;
  }
  for (int i = 0; i < 2; ++i) {
    ReadOutcome after = co_await read.next();
    require(std::holds_alternative<ConnectionEnd>(after), "read half went on after its end");
  }
}

asio::awaitable<void> writer(net::WriteHalf half, OutboxReceiver outbox) {
  net::WriteHalf write = std::move(half);
  OutboxReceiver queue = std::move(outbox);
  while (std::optional<WsMessage> item = co_await queue.receive()) {
    if (auto sent = co_await write.send(*item); !sent) {
      check_failure_text(sent.error().description);
      break;
    }
  }
}

// The session's wait for the start message, then the game's moves, each
// answered with a move of our own.
asio::awaitable<void> game(InboxReceiver inbox, OutboxSender outbox) {
  InboxReceiver in = std::move(inbox);
  OutboxSender out = std::move(outbox);
  send_message(out, ClientMessage{Join{GameKind::TicTacToe}});
  for (;;) {
    std::optional<WsMessage> item = co_await in.receive();
    if (!item) co_return;
    const auto* binary = std::get_if<BinaryMessage>(&*item);
    if (binary && wire::decode<ServerMessage>(binary->payload)) break;
  }
  for (;;) {
    Received<Move> move = co_await receive_message_or_closed<Move>(in);
    if (move.closed) co_return;
    if (move.value) {
      require(cell_index(*move.value) < kCellCount, "move off the board");
      send_message(out, *move.value);
    }
  }
}

// `refused` gets why the opening failed: a finding only when the peer got
// the connection, which the harness judges.
asio::awaitable<void> client(std::string url, asio::any_io_executor executor, const Expected* expected,
                             std::size_t input_size, bool* opened, std::string* refused) {
  auto result = co_await net::open_connection(url, executor);
  if (!result) {
    *refused = result.error().description;
    co_return;
  }
  *opened = true;
  auto [write_half, read_half] = std::move(result.value().first).split();
  auto [outbox, outbox_receiver] = make_queue<WsMessage>();
  auto [inbox_sender, inbox] = make_queue<WsMessage>();
  asio::co_spawn(executor, writer(std::move(write_half), std::move(outbox_receiver)),
                 fail_on_exception("writer"));
  asio::co_spawn(executor, reader(std::move(read_half), std::move(inbox_sender), expected, input_size),
                 fail_on_exception("reader"));
  asio::co_spawn(executor, game(std::move(inbox), std::move(outbox)), fail_on_exception("game"));
}

void run(std::string_view input) {
  bool opened = false;
  std::string refused;
  const Expected expected = expected_reading(input);
  run_against_peer(
      [input](std::string_view key) {
        return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Accept: " +
               net::expected_accept(key) + "\r\n\r\n" + std::string(input);
      },
      [&opened, &refused, &expected, size = input.size()](std::string url, asio::any_io_executor executor) {
        opened = false;
        refused.clear();
        return client(std::move(url), std::move(executor), &expected, size, &opened, &refused);
      });
  require(opened, "handshake against the canned response failed: " + refused);
}

}  // namespace
}  // namespace kestrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrel::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
