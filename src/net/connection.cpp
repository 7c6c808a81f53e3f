#include "net/connection.hpp"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/execution/relationship.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "net/fifo.hpp"
#include "net/os_random.hpp"
#include "net/queue.hpp"
#include "core/text_checks.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"

namespace kestrel::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// ---------------------------------------------------------------------------
// The connection

namespace transport_detail {

// The stream's next layer: a tracked TCP socket that
// - while the opening handshake runs, watches the response go by and, once
//   its status line and headers are in, refuses further reads unless the
//   status is 101: the checks judge the head alone and never wait for a body
//   that may be endless, or never come;
// - on the WebSocket teardown after a closing handshake closes at once
//   instead of waiting for the server's FIN, so the read half reports the end
//   right after the close reply has gone out.
class ClientSocket : public TrackedSocket {
 public:
  explicit ClientSocket(TrackedSocket&& socket) : TrackedSocket(std::move(socket)) {}
  ClientSocket(ClientSocket&&) noexcept = default;

  // Starts watching for the response head; take_response_head() stops.
  void watch_response_head() { head_ = std::make_unique<ResponseHead>(); }
  // The status line and headers, if they arrived whole and parsed.
  std::optional<HandshakeResponse> take_response_head() {
    std::unique_ptr<ResponseHead> head = std::move(head_);
    if (!head) return std::nullopt;
    return std::move(head->response);
  }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    if (!head_) return TrackedSocket::async_read_some(buffers, std::forward<Token>(token));
    return asio::async_compose<Token, void(error_code, std::size_t)>(
        WatchedRead<MutableBuffers>{this, buffers}, token, get_executor());
  }

 private:
  // Beast's own limit for a response head is 8 KiB; past this, stop
  // watching and let Beast decide.
  static constexpr std::size_t kMaxHeadBytes = 16U * 1024U;

  struct ResponseHead {
    std::string bytes;  // what arrived, until the blank line that ends the head
    bool complete = false;
    bool refuse_reads = false;  // a complete head whose status is not 101
    std::optional<HandshakeResponse> response;
  };

  template <class MutableBuffers>
  struct WatchedRead {
    ClientSocket* socket;
    MutableBuffers buffers;
    enum { kStart, kReading, kRefusing } step = kStart;

    template <class Self>
    void operator()(Self& self, error_code ec = {}, std::size_t n = 0) {
      switch (step) {
        case kStart:
          if (socket->head_->refuse_reads) {
            step = kRefusing;  // completes from the executor, never inline
            asio::post(socket->get_executor(), std::move(self));
            return;
          }
          step = kReading;
          socket->TrackedSocket::async_read_some(buffers, std::move(self));
          return;
        case kReading:
          if (!ec && socket->head_) socket->observe(buffers, n);
          self.complete(ec, n);
          return;
        case kRefusing: self.complete(websocket::error::upgrade_declined, 0); return;
      }
    }
  };

  template <class MutableBuffers>
  void observe(const MutableBuffers& buffers, std::size_t n) {
    ResponseHead& head = *head_;
    if (head.complete) return;
    const std::size_t before = head.bytes.size();
    head.bytes.resize(before + n);
    asio::buffer_copy(asio::buffer(head.bytes.data() + before, n), buffers, n);
    const std::size_t end = head.bytes.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (end == std::string::npos) {
      if (head.bytes.size() > kMaxHeadBytes) head.complete = true;
      return;
    }
    head.complete = true;
    http::response_parser<http::empty_body> parser;
    parser.skip(true);  // the head only: no body is ever expected
    error_code ec;
    parser.put(asio::buffer(head.bytes.data(), end + 4), ec);
    if (!ec && parser.is_header_done()) {
      head.response = to_handshake_response(parser.get());
      head.refuse_reads = parser.get().result_int() != 101;
    }
    std::string().swap(head.bytes);
  }

  std::unique_ptr<ResponseHead> head_;
};

void teardown(beast::role_type, ClientSocket& socket, error_code& ec) {
  error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ec);
}

template <class TeardownHandler>
void async_teardown(beast::role_type role, ClientSocket& socket, TeardownHandler&& handler) {
  error_code ec;
  teardown(role, socket, ec);
  asio::post(socket.get_executor(), beast::bind_front_handler(std::forward<TeardownHandler>(handler), ec));
}

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
}  // namespace transport_detail

using transport_detail::ConnectionState;
using transport_detail::HalvesLink;

asio::awaitable<ReadOutcome> ReadHalf::next() {
  if (ended_ || !link_) co_return ConnectionEnd{};
  const std::shared_ptr<ConnectionState>& state = link_->state;
  while (state->arrived.empty()) {
    if (state->read_done) {
      ended_ = true;
      co_return ConnectionEnd{};
    }
    if (!state->reading) {
      transport_detail::start_read(state);
      continue;
    }
    // Named, not a temporary inside the co_await (GCC 12 and capturing
    // closures there).
    auto park = [&state](auto handler) {
      // Type-erase first: the erased handler exposes the slot to use.
      transport_detail::NextWaiter waiter(std::move(handler));
      auto slot = waiter.get_cancellation_slot();
      if (slot.is_connected()) slot.template emplace<transport_detail::WakeOnCancel>(state);
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

// ---------------------------------------------------------------------------
// The opening handshake

namespace {

// Beast's handshake is a chain of writes and reads, and a cancellation
// emitted between two of them reaches none of them: the next read would then
// wait for the server for ever. While the handshake runs, a cancellation
// closes the socket instead (on its strand), which fails whatever step is
// pending or comes next.
struct CloseOnCancel {
  std::weak_ptr<ConnectionState> state;

  void operator()(asio::cancellation_type_t type) const {
    if (type == asio::cancellation_type::none) return;
    if (auto s = state.lock()) {
      asio::post(s->ws.get_executor(), [s] {
        error_code ignored;
        s->ws.next_layer().close(ignored);
      });
    }
  }
};

template <class Token>
auto async_handshake_or_close(const std::shared_ptr<ConnectionState>& state,
                              websocket::response_type& response, std::string_view host,
                              std::string_view target, Token&& token) {
  auto initiate = [state, &response, host, target](auto handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.template emplace<CloseOnCancel>(state);
    // Completes on the caller's executor, which is also where cancellations
    // are emitted, so the slot is cleared before anything else can reach it.
    auto home = asio::get_associated_executor(handler, state->ws.get_executor());
    state->ws.async_handshake(response, host, target,
                              [handler = std::move(handler), slot, home](error_code ec) mutable {
                                asio::dispatch(home, [handler = std::move(handler), slot, ec]() mutable {
                                  slot.clear();
                                  std::move(handler)(ec);
                                });
                              });
  };
  return asio::async_initiate<std::decay_t<Token>, void(error_code)>(initiate, token);
}

}  // namespace

using transport_detail::ClientSocket;

asio::awaitable<Result<std::pair<Connection, HandshakeResponse>, TransportError>> handshake(
    TrackedSocket socket, std::string_view host_header, std::string_view target) {
  seed_key_generator();
  ClientSocket watched(std::move(socket));
  watched.watch_response_head();
  auto state = std::make_shared<ConnectionState>(std::move(watched));
  auto sent_key = std::make_shared<std::string>();
  state->ws.set_option(websocket::stream_base::decorator(RequestShaper{sent_key}));

  websocket::response_type response;
  error_code ec;
  co_await async_handshake_or_close(state, response, host_header, target,
                                    asio::redirect_error(asio::use_awaitable, ec));
  // A cancelled handshake fails like a network error would; the caller must
  // not mistake that for a failed connection.
  if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) {
    throw boost::system::system_error(asio::error::operation_aborted);
  }
  // Our own checks decide, in our order and with our texts, on the head as
  // it arrived: Beast may have failed on what followed it.
  std::optional<HandshakeResponse> head = state->ws.next_layer().take_response_head();
  if (head) {
    auto checked = check_handshake_response(*head, *sent_key);
    if (!checked) co_return std::move(checked).error();
    if (!ec)
      co_return std::pair<Connection, HandshakeResponse>{Connection(std::move(state)), std::move(*head)};
  }
  co_return TransportError{describe_error(ec)};
}

}  // namespace kestrel::net
