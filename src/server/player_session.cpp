#include "server/player_session.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket.hpp>

#include "core/console.hpp"
#include "server/match.hpp"
#include "server/peer.hpp"

namespace kestrel::server {
namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
constexpr auto kSeatRetry = std::chrono::milliseconds(5);
constexpr int kSeatTries = 100;
// Every valid message is a few bytes; anything larger is a protocol error
// that closes the sender (close code 1009) and nobody else.
constexpr std::size_t kMaxMessage = 64;

}  // namespace

PlayerSession::PlayerSession(tcp::socket socket, ServerState& server, std::optional<DropPlan> drop)
    : server_(server),
      ws_(std::move(socket)),
      peer_(describe_peer(ws_.next_layer())),
      drops_(drop, ws_.next_layer(), peer_, server.options.quiet),
      wake_(ws_.get_executor()) {}

void PlayerSession::start() {
  asio::co_spawn(
      ws_.get_executor(), [self = shared_from_this()] { return self->read_loop(); }, asio::detached);
}

asio::awaitable<void> PlayerSession::read_loop() {
  // Handshake and closing handshake get 30 s; a peer that stops answering
  // pings is dropped after 5 minutes. Waiting for a partner or for the
  // opponent's move has no limit.
  ws_.set_option(websocket::stream_base::timeout::suggested(boost::beast::role_type::server));
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& res) { res.set(boost::beast::http::field::server, "kestrel-server"); }));
  ws_.read_message_max(kMaxMessage);
  ws_.auto_fragment(false);
  ws_.binary(true);

  if (co_await drops_.cut_at(Dropper::Stage::Handshake)) co_return;
  // The request is read here rather than inside the accept so that its
  // target can claim a seat (see Seating); the same 30 s apply.
  boost::beast::http::request<boost::beast::http::empty_body> request;
  {
    asio::steady_timer deadline(ws_.get_executor());
    deadline.expires_after(std::chrono::seconds(30));
    deadline.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      boost::system::error_code ignored;
      if (!ec) self->ws_.next_layer().close(ignored);
    });
    boost::beast::flat_buffer head;
    const auto [ec, n] = co_await boost::beast::http::async_read(ws_.next_layer(), head, request, kAwait);
    deadline.cancel();
    if (ec) co_return;
  }
  if (server_.options.control && !co_await take_seat(request.target(), request.version())) co_return;
  if (auto [ec] = co_await ws_.async_accept(request, kAwait); ec) co_return;
  if (co_await drops_.cut_at(Dropper::Stage::AfterHandshake)) co_return;

  asio::co_spawn(
      ws_.get_executor(), [self = shared_from_this()] { return self->write_loop(); }, asio::detached);

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
  drops_.ended();
  if (phase_ == Phase::Waiting && server_.lobby.leave(this) && !server_.options.quiet) {
    console::err_line("left " + peer_ + ": disconnected while waiting for a partner");
  }
  if (phase_ == Phase::Playing && match_) match_->on_disconnect(seat_);
  match_.reset();
  phase_ = Phase::Closing;
  wake_.cancel();
}

asio::awaitable<bool> PlayerSession::take_seat(std::string_view target, unsigned version) {
  namespace http = boost::beast::http;
  // A token whose line has not been read yet is looked for again, briefly:
  // the parent writes the line before it hands out the URL, but the thread
  // that reads stdin may come second under load. A made-up token costs its
  // client half a second, once.
  asio::steady_timer retry(ws_.get_executor());
  auto claim = server_.seating.claim(target, false);
  for (int tries = 1; std::holds_alternative<Seating::NotYet>(claim); ++tries) {
    retry.expires_after(kSeatRetry);
    co_await retry.async_wait(kAwait);
    claim = server_.seating.claim(target, tries == kSeatTries);
  }
  if (auto* named = std::get_if<Seating::Named>(&claim)) name_ = std::move(named->name);
  if (auto* held = std::get_if<Seating::Held>(&claim)) {
    name_ = std::move(held->name);
    held_ = HeldSeat{held->game, held->seat};
  }
  const auto* refused = std::get_if<Seating::Refused>(&claim);
  if (!refused) co_return true;

  if (!server_.options.quiet) console::err_line("refused " + peer_ + ": " + refused->reason);
  http::response<http::string_body> answer{refused->status, version};
  answer.set(http::field::server, "kestrel-server");
  answer.set(http::field::content_type, "text/plain; charset=utf-8");
  answer.keep_alive(false);
  answer.body() = refused->reason + "\n";
  answer.prepare_payload();
  co_await http::async_write(ws_.next_layer(), answer, kAwait);
  boost::system::error_code ignored;
  ws_.next_layer().shutdown(tcp::socket::shutdown_send, ignored);
  ws_.next_layer().close(ignored);
  co_return false;
}

void PlayerSession::on_payload(Payload payload) {
  switch (phase_) {
    case Phase::Joining: on_join(std::move(payload)); break;
    case Phase::Waiting:
      // Nothing is expected before the start message; a client that talks
      // now does not follow the protocol.
      server_.lobby.leave(this);
      refuse("message before the game started");
      break;
    case Phase::Playing: match_->on_message(seat_, std::move(payload)); break;
    case Phase::Closing: break;
  }
}

void PlayerSession::on_join(Payload payload) {
  const auto requested = decode_join(payload);
  if (!requested) return refuse("first message is not a join request");
  if (*requested != GameKind::TicTacToe) return refuse("only tic-tac-toe is played here");

  phase_ = Phase::Waiting;
  // Held back from the lobby and the house until the cut, so the client is
  // still waiting for its start message when the connection goes.
  if (drops_.arm(Dropper::Stage::Waiting, weak_from_this())) return;
  auto self = shared_from_this();
  if (held_) {
    std::string refusal;
    if (auto seats = server_.seating.join(held_->game, held_->seat, self, refusal)) {
      std::make_shared<Match>(server_, std::move(*seats), held_->game)->start();
    } else if (!refusal.empty()) {
      refuse(std::move(refusal));
    }
    return;
  }
  if (server_.options.house_bot) {
    std::uint64_t seat = 0;
    switch (server_.options.seat) {
      case SeatChoice::First: seat = 0; break;
      case SeatChoice::Second: seat = 1; break;
      case SeatChoice::Alternate: seat = server_.house_joins.fetch_add(1) % 2; break;
    }
    std::array<std::shared_ptr<SeatConnection>, 2> seats;
    seats[seat] = self;
    std::make_shared<Match>(server_, std::move(seats))->start();
    return;
  }
  if (auto partner = server_.lobby.join(self)) {
    std::make_shared<Match>(
        server_, std::array<std::shared_ptr<SeatConnection>, 2>{std::move(partner), std::move(self)})
        ->start();
  } else if (!server_.options.quiet) {
    // Tells a driver (kestrel-arena) that this client holds seat 0 of the
    // next game, so it can start the opponent without racing the join.
    console::err_line("joined " + peer_ + ": waiting for a partner");
  }
}

void PlayerSession::refuse(std::string reason) {
  if (!server_.options.quiet) console::err_line("refused " + peer_ + ": " + reason);
  close_locally(websocket::close_code::policy_error, std::move(reason));
}

void PlayerSession::close_locally(websocket::close_code code, std::string reason) {
  if (phase_ == Phase::Closing) return;
  phase_ = Phase::Closing;
  drops_.closing();
  match_.reset();
  close_ = websocket::close_reason(code, reason);
  wake_.cancel();
}

void PlayerSession::begin_game(std::shared_ptr<Match> match, std::uint64_t seat) {
  asio::post(ws_.get_executor(), [self = shared_from_this(), match = std::move(match), seat] {
    if (self->reader_done_ || self->phase_ == Phase::Closing) {
      // Gone between pairing and now: its reader could not tell the game.
      match->on_disconnect(seat);
      return;
    }
    self->phase_ = Phase::Playing;
    self->match_ = match;
    self->seat_ = seat;
    self->outbox_.push_back({encode_game_started(seat), 0});
    self->wake_.cancel();
    self->drops_.arm(Dropper::Stage::Playing, self);
  });
}

void PlayerSession::send(Payload payload, std::size_t turn) {
  asio::post(ws_.get_executor(), [self = shared_from_this(), payload = std::move(payload), turn] {
    if (self->phase_ == Phase::Closing) return;
    self->outbox_.push_back({std::move(payload), turn});
    self->wake_.cancel();
  });
}

void PlayerSession::finish(websocket::close_code code, std::string reason) {
  asio::post(ws_.get_executor(), [self = shared_from_this(), code, reason = std::move(reason)] {
    self->close_locally(code, reason);
  });
}

asio::awaitable<void> PlayerSession::write_loop() {
  for (;;) {
    while (!outbox_.empty() && !reader_done_) {
      const auto [ec, n] = co_await ws_.async_write(asio::buffer(outbox_.front().payload), kAwait);
      if (ec) co_return;  // the reader sees the broken connection too
      // A move limit counts from here: time the message spent queued behind
      // a busy server or a slow network is not the player's.
      if (server_.options.move_time && match_) match_->delivered(seat_, outbox_.front().turn);
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
