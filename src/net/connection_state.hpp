// What the two halves of one connection share, and what the opening
// handshake builds: the WebSocket stream over the client socket, the buffer
// of the message being read, what arrived but was not taken yet, and the
// next() parked until something arrives. On the connection's strand only.
#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/execution/relationship.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <optional>
#include <string>
#include <utility>

#include "net/client_socket.hpp"
#include "net/fifo.hpp"
#include "net/message_limits.hpp"
#include "net/read_outcome.hpp"
#include "net/ws_message.hpp"

namespace kestrel::net::connection_detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

// A next() waiting for the read to deliver something.
using NextWaiter = asio::any_completion_handler<void()>;

struct ConnectionState {
  explicit ConnectionState(ClientSocket socket) : ws(std::move(socket)) {
    ws.read_message_max(kMaxMessageSize);
    ws.auto_fragment(false);
    // Client frames are masked through this buffer, which is allocated per
    // connection; our messages are a few bytes, so Beast's 4 KiB default
    // would be almost all waste across thousands of idle sessions.
    ws.write_buffer_bytes(kWriteBufferBytes);
    ws.binary(true);
    websocket::stream_base::timeout no_limits{};
    no_limits.handshake_timeout = websocket::stream_base::none();
    no_limits.idle_timeout = websocket::stream_base::none();
    no_limits.keep_alive_pings = false;
    ws.set_option(no_limits);
    ws.control_callback(
        [this](websocket::frame_type kind, beast::string_view payload) { on_control(kind, payload); });
  }

  void deliver(ReadOutcome outcome) {
    arrived.push(std::move(outcome));
    if (!waiting) return;
    // Resumed from the strand's queue, never inline inside Beast's read, and
    // as a continuation: on the thread that is here already rather than by
    // waking another worker for it.
    resume_waiting();
  }

  // A data message, from the read's own completion: Beast is done with the
  // stream by then, so the waiting next() resumes right here, on the
  // connection's strand, instead of after another trip through the
  // scheduler (a turn's path passes here once). Its next read may start
  // before this returns: the caller must be done with `buffer`.
  void deliver_completed(WsMessage message) {
    arrived.push(std::move(message));
    if (!waiting) return;
    NextWaiter resume = std::move(*waiting);
    waiting.reset();
    asio::dispatch(ws.get_executor(), std::move(resume));
  }

  void resume_waiting() {
    NextWaiter resume = std::move(*waiting);
    waiting.reset();
    auto here = asio::prefer(ws.get_executor(), asio::execution::relationship.continuation);
    asio::post(here, std::move(resume));
  }

  void on_control(websocket::frame_type kind, beast::string_view payload) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(payload.data());
    switch (kind) {
      case websocket::frame_type::ping: deliver(PingMessage{Bytes(p, p + payload.size())}); break;
      case websocket::frame_type::pong: deliver(PongMessage{Bytes(p, p + payload.size())}); break;
      case websocket::frame_type::close: {
        const websocket::close_reason& reason = ws.reason();
        CloseMessage close;
        if (reason.code != websocket::close_code::none) {
          close.frame = CloseFrame{reason.code, std::string(reason.reason.data(), reason.reason.size())};
        }
        deliver(std::move(close));
        break;
      }
    }
  }

  websocket::stream<ClientSocket> ws;
  beast::flat_buffer buffer;          // the data message being read
  Fifo<ReadOutcome> arrived;          // read but not yet taken, in arrival order
  bool reading = false;               // a Beast read is outstanding
  bool read_done = false;             // Beast reported the end or a failure
  std::optional<NextWaiter> waiting;  // a next() parked until something arrives
};

}  // namespace kestrel::net::connection_detail
