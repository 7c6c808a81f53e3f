// Arbitrary server bytes after a valid handshake, through the client's real
// read path: open_connection() against a loopback server that answers a
// proper 101 and then sends the input and its FIN. Around the halves run
// the same three tasks a session runs (reader into the Inbox, the game
// taking the start message and moves from it, writer draining the Outbox),
// so automatic replies interleave with real sends.
//
// Properties: no crash, hang or leak; each outcome fits the input (no more
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

#include "core/messages.hpp"
#include "core/queue.hpp"
#include "fuzz_support.hpp"
#include "loopback_peer.hpp"
#include "net/transport.hpp"

namespace kestrel::fuzz {
namespace {

namespace asio = boost::asio;
using net::ConnectionEnd;
using net::ReadOutcome;
using net::TransportError;

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

asio::awaitable<void> reader(net::ReadHalf half, InboxSender inbox, std::size_t input_size) {
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
    if (auto failure = co_await write.send(*item)) {
      check_failure_text(failure->description);
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

asio::awaitable<void> client(std::string url, asio::any_io_executor executor, std::size_t input_size, bool* opened) {
  auto result = co_await net::open_connection(url, executor);
  if (const auto* failure = std::get_if<TransportError>(&result)) {
    fail("handshake against the canned response failed: " + failure->description);
  }
  *opened = true;
  auto [write_half, read_half] = std::move(std::get<0>(result).first).split();
  auto [outbox, outbox_receiver] = make_queue<WsMessage>();
  auto [inbox_sender, inbox] = make_queue<WsMessage>();
  asio::co_spawn(executor, writer(std::move(write_half), std::move(outbox_receiver)), fail_on_exception("writer"));
  asio::co_spawn(executor, reader(std::move(read_half), std::move(inbox_sender), input_size), fail_on_exception("reader"));
  asio::co_spawn(executor, game(std::move(inbox), std::move(outbox)), fail_on_exception("game"));
}

void run(std::string_view input) {
  bool opened = false;
  run_against_peer(
      [input](std::string_view key) {
        return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Accept: " +
               net::expected_accept(key) + "\r\n\r\n" + std::string(input);
      },
      [&opened, size = input.size()](std::string url, asio::any_io_executor executor) {
        return client(std::move(url), std::move(executor), size, &opened);
      });
  require(opened, "client never opened");
}

}  // namespace
}  // namespace kestrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrel::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
