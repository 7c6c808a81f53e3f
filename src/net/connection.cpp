#include "net/connection.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/websocket.hpp>
#include <string>

#include "core/text_checks.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"
#include "net/connection_state.hpp"
#include "net/message_limits.hpp"
#include "net/queue.hpp"

namespace kestrel::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;

namespace connection_detail {

// Installed on a parked next()'s cancellation slot: a cancelled reader
// resumes, and its next wait throws (a cancelled coroutine cannot await
// again). Left in place after the wait, like Asio's own operations; a stale
// call finds nothing parked.
struct WakeOnCancel {
  std::weak_ptr<ConnectionState> state;
  explicit WakeOnCancel(const std::shared_ptr<ConnectionState>& s) : state(s) {}
  void operator()(asio::cancellation_type_t type) {
    if (!queue_detail::ends_a_wait(type)) return;
    if (auto s = state.lock(); s && s->waiting) s->resume_waiting();
  }
};

// Shared by the two halves. When the last half goes, the socket is closed on
// the connection's strand, which also ends a read still outstanding.
struct HalvesLink {
  explicit HalvesLink(std::shared_ptr<ConnectionState> s) : state(std::move(s)) {}
  HalvesLink(const HalvesLink&) = delete;
  HalvesLink& operator=(const HalvesLink&) = delete;
  ~HalvesLink() {
    if (!state) return;
    try {
      auto executor = state->ws.get_executor();
      asio::dispatch(executor, [s = std::move(state)] {
        error_code ignored;
        s->ws.next_layer().close(ignored);
      });
    } catch (...) {
      // Without memory for the hand-off the socket closes when the last
      // outstanding operation lets go of the state.
    }
  }
  std::shared_ptr<ConnectionState> state;
};

namespace {

// Beast knows only a message limit, checked against each frame header as
// "message so far + this frame". Before each step of the message that
// limit is narrowed to what the message holds plus one frame, so that a
// frame announcing more than kMaxFrameSize fails at its header, before any
// of its payload is waited for.
constexpr std::size_t kMaxRetainedReadBytes = 64U * 1024U;

std::size_t limit_for_next_frame(std::size_t held) {
  return held >= kMaxMessageSize - kMaxFrameSize ? kMaxMessageSize : held + kMaxFrameSize;
}

void read_step(const std::shared_ptr<ConnectionState>& state) {
  const std::size_t limit = limit_for_next_frame(state->buffer.size());
  state->ws.read_message_max(limit);
  // A message starts with a small read: a connection waiting for its next
  // message then holds a small buffer, not Beast's usual 1.5 KiB. Anything
  // longer continues with reads sized by Beast.
  const std::size_t step = state->buffer.size() == 0 ? kFirstReadBytes : 0;
  state->ws.async_read_some(
      state->buffer, step,
      asio::bind_executor(state->ws.get_executor(), [state, limit](error_code ec, std::size_t) {
        if (!ec && !state->ws.is_message_done()) {
          read_step(state);
          return;
        }
        state->reading = false;
        if (!ec) KESTREL_STAMP(frame_read);
        if (ec) {
          state->read_done = true;
          if (ec == websocket::error::closed) {
            state->deliver(ConnectionEnd{});
          } else if (ec == websocket::error::message_too_big && limit < kMaxMessageSize) {
            state->deliver(
                TransportError{texts::join(texts::kSpaceLimit, texts::frame_too_long(kMaxFrameSize))});
          } else {
            state->deliver(TransportError{describe_error(ec)});
          }
          return;
        }
        const auto data = state->buffer.cdata();
        const auto* bytes = static_cast<const std::uint8_t*>(data.data());
        WsMessage message;
        if (state->ws.got_text()) {
          std::string text(static_cast<const char*>(data.data()), data.size());
          // Beast checks UTF-8 as payload arrives, so a message whose last
          // frame is empty skips its check that the text does not end inside
          // a character; the whole text is checked again here.
          if (!text_checks::is_utf8(text)) {
            state->read_done = true;
            state->deliver(TransportError{texts::join(texts::kUtf8Error, texts::kBadUtf8Text)});
            return;
          }
          message = TextMessage{std::move(text)};
        } else {
          message = BinaryMessage{Bytes(bytes, bytes + data.size())};
        }
        state->buffer.consume(state->buffer.size());
        // One long message must not pin its buffer for the connection's life.
        if (state->buffer.capacity() > kMaxRetainedReadBytes) state->buffer.shrink_to_fit();
        state->deliver_completed(std::move(message));
      }));
}

void start_read(const std::shared_ptr<ConnectionState>& state) {
  state->reading = true;
  read_step(state);
}

}  // namespace
}  // namespace connection_detail

using connection_detail::ConnectionState;
using connection_detail::HalvesLink;

asio::awaitable<ReadOutcome> ReadHalf::next() {
  if (ended_ || !link_) co_return ConnectionEnd{};
  const std::shared_ptr<ConnectionState>& state = link_->state;
  while (state->arrived.empty()) {
    if (state->read_done) {
      ended_ = true;
      co_return ConnectionEnd{};
    }
    if (!state->reading) {
      connection_detail::start_read(state);
      continue;
    }
    // Named, not a temporary inside the co_await (GCC 12 and capturing
    // closures there).
    auto park = [&state](auto handler) {
      // Type-erase first: the erased handler exposes the slot to use.
      connection_detail::NextWaiter waiter(std::move(handler));
      auto slot = waiter.get_cancellation_slot();
      if (slot.is_connected()) slot.template emplace<connection_detail::WakeOnCancel>(state);
      state->waiting.emplace(std::move(waiter));
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(park, asio::use_awaitable);
  }
  ReadOutcome outcome = state->arrived.pop();
  if (!std::holds_alternative<WsMessage>(outcome)) ended_ = true;
  co_return outcome;
}

asio::awaitable<Result<void, TransportError>> WriteHalf::send(const WsMessage& message) {
  if (!link_) co_return TransportError{std::string(texts::kClosedConnection)};
  ConnectionState& state = *link_->state;
  asio::const_buffer payload;
  if (const auto* binary = std::get_if<BinaryMessage>(&message)) {
    state.ws.binary(true);
    payload = asio::buffer(binary->payload);
  } else if (const auto* text = std::get_if<TextMessage>(&message)) {
    state.ws.text(true);
    payload = asio::buffer(text->text);
  } else {
    co_return TransportError{texts::join(texts::kProtocolError, texts::kOnlyDataMessages)};
  }
  error_code ec;
  co_await state.ws.async_write(payload, asio::redirect_error(asio::use_awaitable, ec));
  KESTREL_STAMP(written);
  if (ec) co_return TransportError{describe_error(ec)};
  co_return Result<void, TransportError>{};
}

Connection::Connection(std::shared_ptr<ConnectionState> state) : state_(std::move(state)) {}
Connection::~Connection() = default;

std::pair<WriteHalf, ReadHalf> Connection::split() && {
  auto link = std::make_shared<HalvesLink>(std::move(state_));
  return {WriteHalf(link), ReadHalf(link)};
}

}  // namespace kestrel::net
