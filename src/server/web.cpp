#include "server/web.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/console.hpp"
#include "server/board_feed.hpp"
#include "server/peer.hpp"
#include "server/server_state.hpp"

namespace kestrel::server {
namespace {

namespace http = boost::beast::http;
using namespace std::chrono_literals;

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);

// How far a spectator may fall behind, in events, before it is dropped.
// The busiest moment is hundreds of games starting and moving at once (about
// eight events a game); a reader that keeps up drains its queue with each
// write, so only one that has stopped reading gets near the bound.
constexpr std::size_t kMaxBehind = 1024;
// The kernel's share of the backlog, kept small for the same reason.
constexpr int kSendBuffer = 64 * 1024;
// A request must arrive, and every write complete, within this time.
constexpr auto kIoTimeout = 30s;
// An idle stream gets a comment line this often, so a vanished peer is noticed.
constexpr auto kKeepAlive = 15s;

constexpr std::string_view kEventsHead =
    "HTTP/1.1 200 OK\r\n"
    "Server: kestrel-server\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-store\r\n"
    "Connection: close\r\n"
    "\r\n"
    "retry: 1000\n\n";

// One spectator connection: requests one after the other, and once it asks
// for /events, the event stream until either side ends it.
class WebSession : public FeedSubscriber, public std::enable_shared_from_this<WebSession> {
 public:
  WebSession(tcp::socket socket, ServerState& server)
      : server_(server),
        socket_(std::move(socket)),
        peer_(describe_peer(socket_)),
        deadline_(socket_.get_executor()),
        wake_(socket_.get_executor()) {}

  void start() {
    asio::co_spawn(
        socket_.get_executor(), [self = shared_from_this()] { return self->serve(); }, asio::detached);
  }

  // Under the feed's lock, from any thread: queue, and wake the writer.
  bool deliver(const FeedEvent& event) override {
    std::lock_guard guard(mutex_);
    if (behind_) return false;
    if (queue_.size() >= kMaxBehind) {
      behind_ = true;
      queue_.clear();
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
      return false;
    }
    queue_.push_back(event);
    if (queue_.size() == 1) {
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->wake_.cancel(); });
    }
    return true;
  }

 private:
  asio::awaitable<void> serve() {
    boost::beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(8 * 1024);
      parser.body_limit(4 * 1024);
      arm(kIoTimeout);
      // Malformed, oversized, too slow or gone: closed without an answer.
      if (auto [ec, n] = co_await http::async_read(socket_, buffer, parser, kAwait); ec) break;
      const auto& request = parser.get();
      std::string_view path = request.target();
      path = path.substr(0, path.find('?'));

      const bool known = path == "/" || path == "/index.html" || path == "/state" || path == "/events";
      if (known && request.method() == http::verb::get && path == "/events") {
        co_await stream_events();
        co_return;
      }
      http::response<http::string_body> response;
      response.version(request.version());
      response.set(http::field::server, "kestrel-server");
      response.set(http::field::cache_control, "no-store");
      if (!known) {
        response.result(http::status::not_found);
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = "not found\n";
      } else if (request.method() != http::verb::get) {
        response.result(http::status::method_not_allowed);
        response.set(http::field::allow, "GET");
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = "method not allowed\n";
      } else if (path == "/state") {
        response.result(http::status::ok);
        response.set(http::field::content_type, "application/json");
        response.body() = server_.feed.state_json();
      } else {
        response.result(http::status::ok);
        response.set(http::field::content_type, "text/html; charset=utf-8");
        response.body() = kWebPage;
      }
      response.keep_alive(request.keep_alive());
      response.prepare_payload();
      arm(kIoTimeout);
      if (auto [ec, n] = co_await http::async_write(socket_, response, kAwait); ec) break;
      if (!response.keep_alive()) break;
    }
    close();
  }

  asio::awaitable<void> stream_events() {
    boost::system::error_code ignored;
    socket_.set_option(asio::socket_base::send_buffer_size(kSendBuffer), ignored);
    arm(kIoTimeout);
    if (auto [ec, n] = co_await asio::async_write(socket_, asio::buffer(kEventsHead), kAwait); ec) {
      co_return close();
    }
    deadline_.cancel();
    auto self = shared_from_this();
    server_.feed.subscribe(self);
    asio::co_spawn(
        socket_.get_executor(), [self] { return self->watch_close(); }, asio::detached);

    std::vector<FeedEvent> batch;
    std::vector<asio::const_buffer> buffers;
    static const auto keep_alive = std::make_shared<const std::string>(": keep-alive\n\n");
    while (!closed_) {
      batch.clear();
      {
        std::lock_guard guard(mutex_);
        batch.swap(queue_);
      }
      if (batch.empty()) {
        wake_.expires_after(kKeepAlive);
        // Cancelled: an event is queued, or the stream is over.
        if (auto [ec] = co_await wake_.async_wait(kAwait); ec) continue;
        batch.push_back(keep_alive);
      }
      buffers.clear();
      for (const auto& event : batch) buffers.push_back(asio::buffer(*event));
      arm(kIoTimeout);
      if (auto [ec, n] = co_await asio::async_write(socket_, buffers, kAwait); ec) break;
      deadline_.cancel();
    }
    server_.feed.unsubscribe(this);
    bool dropped = false;
    {
      std::lock_guard guard(mutex_);
      dropped = behind_;
    }
    if (dropped && !server_.options.quiet) {
      console::err_line("spectator " + peer_ + " dropped: more than " + std::to_string(kMaxBehind) +
                        " events behind");
    }
    close();
  }

  // A spectator sends nothing after asking for the stream; a read that ends
  // means it has gone.
  asio::awaitable<void> watch_close() {
    std::array<char, 256> sink;
    for (;;) {
      if (auto [ec, n] = co_await socket_.async_read_some(asio::buffer(sink), kAwait); ec) break;
    }
    close();
  }

  // Closes the socket if the next operation does not finish in `timeout`.
  void arm(std::chrono::steady_clock::duration timeout) {
    deadline_.expires_after(timeout);
    deadline_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      if (auto self = weak.lock(); self && !ec) self->close();
    });
  }

  // On the strand. Ends every pending operation of this session.
  void close() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    deadline_.cancel();
    wake_.cancel();
  }

  ServerState& server_;
  tcp::socket socket_;
  std::string peer_;
  asio::steady_timer deadline_;
  asio::steady_timer wake_;  // the event writer waits on it
  bool closed_ = false;      // strand only
  std::mutex mutex_;         // guards the two below against the feed
  std::vector<FeedEvent> queue_;
  bool behind_ = false;
};

}  // namespace

void start_spectator(tcp::socket socket, ServerState& server) {
  std::make_shared<WebSession>(std::move(socket), server)->start();
}

}  // namespace kestrel::server
