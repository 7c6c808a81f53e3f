#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket.hpp>

#include "core/console.hpp"
#include "server/server.hpp"

namespace kestrel::server {
namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
// Every valid message is a few bytes; anything larger is a protocol error
// that closes the sender (close code 1009) and nobody else.
constexpr std::size_t kMaxMessage = 64;

std::string describe(const tcp::socket& socket) {
  boost::system::error_code ec;
  const auto ep = socket.remote_endpoint(ec);
  if (ec) return "unknown peer";
  const auto address = ep.address();
  return (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
         std::to_string(ep.port());
}

}  // namespace

std::shared_ptr<Connection> Lobby::join(const std::shared_ptr<Connection>& joiner) {
  std::lock_guard guard(mutex_);
  if (waiting_.empty()) {
    waiting_.push_back(joiner);
    return nullptr;
  }
  auto partner = std::move(waiting_.front());
  waiting_.pop_front();
  return partner;
}

bool Lobby::leave(const Connection* leaver) {
  std::lock_guard guard(mutex_);
  return std::erase_if(waiting_, [&](const auto& c) { return c.get() == leaver; }) > 0;
}

std::optional<DropPlan> ServerState::plan_drop() {
  if (options.drop <= 0.0) return std::nullopt;
  if (!(std::uniform_real_distribution<double>(0.0, 1.0)(drop_rng_) < options.drop)) return std::nullopt;
  DropPlan plan;
  plan.when = static_cast<DropPlan::When>(std::uniform_int_distribution<int>(0, 3)(drop_rng_));
  plan.delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 10'000)(drop_rng_));
  plan.reset = std::bernoulli_distribution(0.5)(drop_rng_);
  return plan;
}

Connection::Connection(tcp::socket socket, ServerState& server, std::optional<DropPlan> drop)
    : server_(server),
      ws_(std::move(socket)),
      peer_(describe(ws_.next_layer())),
      wake_(ws_.get_executor()),
      drop_(drop) {}

void Connection::start() {
  asio::co_spawn(ws_.get_executor(), [self = shared_from_this()] { return self->read_loop(); },
                 asio::detached);
}

asio::awaitable<void> Connection::read_loop() {
  // Handshake and closing handshake get 30 s; a peer that stops answering
  // pings is dropped after 5 minutes. Waiting for a partner or for the
  // opponent's move has no limit.
  ws_.set_option(websocket::stream_base::timeout::suggested(boost::beast::role_type::server));
  ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
    res.set(boost::beast::http::field::server, "kestrel-server");
  }));
  ws_.read_message_max(kMaxMessage);
  ws_.auto_fragment(false);
  ws_.binary(true);

  if (drop_ && drop_->when == DropPlan::When::Handshake) {
    // The client has sent (or is sending) its upgrade request and waits for
    // the answer that never comes.
    co_await wait_drop_delay();
    drop_now();
    co_return;
  }
  if (auto [ec] = co_await ws_.async_accept(kAwait); ec) co_return;
  accepted_ = true;
  if (drop_ && drop_->when == DropPlan::When::AfterHandshake) {
    // The join request, if it came meanwhile, stays unread.
    co_await wait_drop_delay();
    drop_now();
    co_return;
  }

  asio::co_spawn(ws_.get_executor(), [self = shared_from_this()] { return self->write_loop(); },
                 asio::detached);

  boost::beast::flat_buffer buffer;
  for (;;) {
    buffer.clear();
    const auto [ec, size] = co_await ws_.async_read(buffer, kAwait);
    if (ec) break;
    if (!ws_.got_binary()) continue;  // text is not part of the protocol
    const auto* data = static_cast<const std::uint8_t*>(buffer.cdata().data());
    on_payload(Payload(data, data + size));
  }

  // The client is gone (or its closing handshake is done).
  reader_done_ = true;
  if (phase_ == Phase::Waiting && server_.lobby.leave(this) && !server_.options.quiet) {
    console::err_line("left " + peer_ + ": disconnected while waiting for a partner");
  }
  if (phase_ == Phase::Playing && match_) match_->on_disconnect(seat_);
  match_.reset();
  phase_ = Phase::Closing;
  wake_.cancel();
}

void Connection::on_payload(Payload payload) {
  switch (phase_) {
    case Phase::Joining:
      on_join(std::move(payload));
      break;
    case Phase::Waiting:
      // Nothing is expected before the start message; a client that talks
      // now does not follow the protocol.
      server_.lobby.leave(this);
      refuse("message before the game started");
      break;
    case Phase::Playing:
      match_->on_message(seat_, std::move(payload));
      break;
    case Phase::Closing:
      break;
  }
}

void Connection::on_join(Payload payload) {
  const auto requested = decode_join(payload);
  if (!requested) return refuse("first message is not a join request");
  if (*requested != GameKind::TicTacToe) return refuse("only tic-tac-toe is played here");

  if (drop_ && drop_->when == DropPlan::When::Waiting) {
    // Held back from the lobby and the house until the drop, so the client
    // is still waiting for its start message when the connection goes.
    phase_ = Phase::Waiting;
    arm_drop(DropPlan::When::Waiting);
    return;
  }
  auto self = shared_from_this();
  if (server_.options.house_bot) {
    std::uint64_t seat = 0;
    switch (server_.options.seat) {
      case SeatChoice::First: seat = 0; break;
      case SeatChoice::Second: seat = 1; break;
      case SeatChoice::Alternate: seat = server_.house_joins.fetch_add(1) % 2; break;
    }
    std::array<std::shared_ptr<Connection>, 2> seats;
    seats[seat] = self;
    phase_ = Phase::Waiting;
    std::make_shared<Match>(server_, std::move(seats))->start();
    return;
  }
  phase_ = Phase::Waiting;
  if (auto partner = server_.lobby.join(self)) {
    std::make_shared<Match>(server_, std::array{std::move(partner), std::move(self)})->start();
  }
}

void Connection::refuse(std::string reason) {
  if (!server_.options.quiet) console::err_line("refused " + peer_ + ": " + reason);
  close_locally(websocket::close_code::policy_error, std::move(reason));
}

void Connection::close_locally(websocket::close_code code, std::string reason) {
  if (phase_ == Phase::Closing) return;
  phase_ = Phase::Closing;
  match_.reset();
  close_ = websocket::close_reason(code, reason);
  wake_.cancel();
}

void Connection::begin_game(std::shared_ptr<Match> match, std::uint64_t seat) {
  asio::post(ws_.get_executor(), [self = shared_from_this(), match = std::move(match), seat] {
    if (self->reader_done_ || self->phase_ == Phase::Closing) {
      // Gone between pairing and now: its reader could not tell the game.
      match->on_disconnect(seat);
      return;
    }
    self->phase_ = Phase::Playing;
    self->match_ = match;
    self->seat_ = seat;
    self->outbox_.push_back(encode_game_started(seat));
    self->wake_.cancel();
    self->arm_drop(DropPlan::When::Playing);
  });
}

asio::awaitable<void> Connection::wait_drop_delay() {
  asio::steady_timer timer(ws_.get_executor(), drop_->delay);
  co_await timer.async_wait(kAwait);
}

void Connection::arm_drop(DropPlan::When reached) {
  if (!drop_ || drop_->when != reached) return;
  drop_timer_.emplace(ws_.get_executor(), drop_->delay);
  // Weak: a connection that ends by itself first is not kept for the drop.
  drop_timer_->async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) self->drop_now();
  });
}

void Connection::drop_now() {
  auto& socket = ws_.next_layer();
  if (reader_done_ || !socket.is_open()) return;  // gone by itself first
  std::string_view when = "during the handshake";
  if (accepted_) {
    switch (phase_) {
      case Phase::Joining: when = "after the handshake"; break;
      case Phase::Waiting: when = "while waiting for a partner"; break;
      case Phase::Playing: when = "mid-game"; break;
      case Phase::Closing: when = "while closing"; break;
    }
  }
  boost::system::error_code ignored;
  if (drop_->reset) {
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
  } else {
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }
  // Pending reads and writes end with an error; the reader then takes the
  // same path as for a client that disconnected.
  socket.close(ignored);
  if (!server_.options.quiet) {
    console::err_line("dropped " + peer_ + " " + std::string(when) + " (" +
                      (drop_->reset ? "RST" : "FIN") + ")");
  }
}

void Connection::send(Payload payload) {
  asio::post(ws_.get_executor(), [self = shared_from_this(), payload = std::move(payload)] {
    if (self->phase_ == Phase::Closing) return;
    self->outbox_.push_back(std::move(payload));
    self->wake_.cancel();
  });
}

void Connection::finish(websocket::close_code code, std::string reason) {
  asio::post(ws_.get_executor(), [self = shared_from_this(), code, reason = std::move(reason)] {
    self->close_locally(code, reason);
  });
}

asio::awaitable<void> Connection::write_loop() {
  for (;;) {
    while (!outbox_.empty() && !reader_done_) {
      const auto [ec, n] = co_await ws_.async_write(asio::buffer(outbox_.front()), kAwait);
      if (ec) co_return;  // the reader sees the broken connection too
      outbox_.pop_front();
    }
    if (reader_done_) co_return;
    if (close_) {
      // Completes when the client answers or the closing handshake times
      // out; either way the reader then ends.
      co_await ws_.async_close(*close_, kAwait);
      co_return;
    }
    wake_.expires_at(asio::steady_timer::time_point::max());
    co_await wake_.async_wait(kAwait);
  }
}

}  // namespace kestrel::server
