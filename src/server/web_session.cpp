#include "server/web_session.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/console.hpp"
#include "server/board_feed.hpp"
#include "server/descriptors.hpp"
#include "server/peer.hpp"
#include "server/server_state.hpp"
#include "server/web_page.hpp"
#include "server/web_answers.hpp"

namespace kestrel::server {
namespace {

namespace http = boost::beast::http;
using namespace std::chrono_literals;
using web::Answer;

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);

// How far a spectator may fall behind before it is dropped, in events and
// in bytes. The busiest moment is hundreds of games starting and moving at
// once (about eight events a game); a reader that keeps up drains its queue
// with each write, so only one that has stopped reading gets near a bound.
// The snapshot a stream starts with is shared and not counted.
constexpr std::size_t kMaxBehind = 1024;
constexpr std::size_t kMaxBehindBytes = 256 * 1024;
// The kernel's share of the backlog, kept small for the same reason.
constexpr int kSendBuffer = 64 * 1024;
// A request must arrive, and every write complete, within this time.
constexpr auto kIoTimeout = 30s;
// An idle stream gets a comment line this often, so a vanished peer is noticed.
constexpr auto kKeepAlive = 15s;
// Request limits: the page's own requests are a few hundred bytes.
constexpr std::size_t kMaxHead = 8 * 1024;
constexpr std::size_t kMaxTarget = 2 * 1024;
constexpr std::size_t kMaxBody = 4 * 1024;
// After an error answer, what the client still sends is read and dropped for
// this long (and up to this much), so that closing does not reset the
// connection before the client has read the answer.
constexpr auto kLinger = 2s;
constexpr std::size_t kMaxLinger = 1024 * 1024;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

asio::ip::address unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

// Counts a connection on the web port for as long as it is held.
class Slot {
 public:
  explicit Slot(std::atomic<std::size_t>& count) : count_(&count) {}
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() { release(); }
  void release() {
    if (count_) count_->fetch_sub(1);
    count_ = nullptr;
  }

 private:
  std::atomic<std::size_t>* count_;
};

// One spectator connection: requests one after the other, and once it asks
// for /events, the event stream until either side ends it.
class WebSession : public FeedSubscriber, public std::enable_shared_from_this<WebSession> {
 public:
  WebSession(tcp::socket socket, ServerState& server)
      : server_(server),
        slot_(server.spectator_connections),
        socket_(std::move(socket)),
        peer_(describe_peer(socket_)),
        deadline_(socket_.get_executor()),
        wake_(socket_.get_executor()) {}

  void start() {
    asio::co_spawn(
        socket_.get_executor(), [self = shared_from_this()] { return self->serve(); }, asio::detached);
  }

  // Under the feed's lock, from any thread: queue, and wake the writer.
  void begin(std::vector<FeedEvent> snapshot) override {
    std::lock_guard guard(mutex_);
    queue_ = std::move(snapshot);
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->wake_.cancel(); });
  }

  bool deliver(const FeedEvent& event) override {
    std::lock_guard guard(mutex_);
    if (!behind_.empty()) return false;
    if (queued_events_ >= kMaxBehind || queued_bytes_ + event->size() > kMaxBehindBytes) {
      behind_ = queued_events_ >= kMaxBehind ? std::to_string(kMaxBehind) + " events"
                                             : std::to_string(kMaxBehindBytes / 1024) + " KiB of events";
      queue_.clear();
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
      return false;
    }
    queue_.push_back(event);
    ++queued_events_;
    queued_bytes_ += event->size();
    if (queue_.size() == 1) {
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->wake_.cancel(); });
    }
    return true;
  }

 private:
  asio::awaitable<void> serve() {
    boost::system::error_code unknown;
    local_ = unmapped(socket_.local_endpoint(unknown).address());
    boost::beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(kMaxHead);
      parser.body_limit(kMaxBody);
      arm(kIoTimeout);
      if (auto [ec, n] = co_await http::async_read(socket_, buffer, parser, kAwait); ec) {
        if (const auto status = web::status_for(ec, parser.get().target())) co_await refuse(*status);
        break;
      }
      const auto& request = parser.get();
      if (request.target().size() > kMaxTarget) {
        co_await refuse(http::status::uri_too_long);
        break;
      }
      const auto host = request.find(http::field::host);
      if (host == request.end() ? request.version() >= 11 : !host_allowed(host->value())) {
        // Another site's page, pointed at this address through its own name
        // (DNS rebinding), gets nothing.
        co_await refuse(host == request.end() ? http::status::bad_request : http::status::forbidden);
        break;
      }
      std::string_view path = request.target();
      path = path.substr(0, path.find('?'));
      const bool head = request.method() == http::verb::head;
      if (path == "/events" && request.method() == http::verb::get) {
        co_await stream_events();
        co_return;
      }
      Answer answer = respond(path, request.method());
      answer.close = !request.keep_alive();
      if (!co_await write(answer, head, request.version() < 11)) break;
      if (answer.close) break;
    }
    close();
  }

  Answer respond(std::string_view path, http::verb method) {
    const bool page = path == "/" || path == "/index.html";
    if (!page && path != "/state" && path != "/events")
      return Answer::text(http::status::not_found, "not found\n");
    const bool events = path == "/events";
    if (method != http::verb::get && (method != http::verb::head || events)) {
      Answer answer = Answer::text(http::status::method_not_allowed, "method not allowed\n");
      answer.allow = events ? "GET" : "GET, HEAD";
      return answer;
    }
    Answer answer;
    if (page) {
      answer.type = "text/html; charset=utf-8";
      answer.page = true;
      answer.body.push_back(asio::buffer(kWebPage));
      return answer;
    }
    static const std::string open = "{";
    auto state = server_.feed.state();
    auto rest = std::make_shared<const std::string>(std::move(state.counters) + "}\n");
    answer.type = "application/json";
    answer.body = {asio::buffer(open), asio::buffer(*state.board), asio::buffer(*rest)};
    answer.held = {std::move(state.board), std::move(rest)};
    return answer;
  }

  // Writes `answer` (its head alone for HEAD); false if the connection broke.
  asio::awaitable<bool> write(const Answer& answer, bool head_only, bool keep_alive_header) {
    const std::string head = answer.head(keep_alive_header && !answer.close);
    std::vector<asio::const_buffer> buffers{asio::buffer(head)};
    if (!head_only) buffers.insert(buffers.end(), answer.body.begin(), answer.body.end());
    arm(kIoTimeout);
    auto [ec, n] = co_await asio::async_write(socket_, buffers, kAwait);
    deadline_.cancel();
    co_return !ec;
  }

  // Answers a request that cannot be served, then ends the connection.
  asio::awaitable<void> refuse(http::status status) {
    Answer answer = Answer::text(status, http::obsolete_reason(status));
    static const std::string newline = "\n";
    answer.body.push_back(asio::buffer(newline));
    answer.close = true;
    if (!co_await write(answer, false, false)) co_return;
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    arm(kLinger);
    std::array<char, 4096> sink;
    for (std::size_t drained = 0; drained < kMaxLinger;) {
      auto [ec, n] = co_await socket_.async_read_some(asio::buffer(sink), kAwait);
      if (ec) break;
      drained += n;
    }
  }

  // Whether a Host header names this server: the address the connection
  // came in on, localhost, or a name allowed on the command line.
  bool host_allowed(std::string_view host) const {
    std::string_view name = host;
    std::string_view port;
    if (name.starts_with('[')) {
      const auto end = name.find(']');
      if (end == std::string_view::npos) return false;
      port = name.substr(end + 1);
      name = name.substr(1, end - 1);
    } else if (const auto colon = name.rfind(':'); colon != std::string_view::npos) {
      port = name.substr(colon);
      name = name.substr(0, colon);
    }
    if (!port.empty() &&
        (port[0] != ':' || port.find_first_not_of("0123456789", 1) != std::string_view::npos)) {
      return false;
    }
    const std::string wanted = lower(name);
    if (wanted == "localhost") return true;
    const auto& allowed = server_.options.web_allowed_hosts;
    if (std::find(allowed.begin(), allowed.end(), wanted) != allowed.end()) return true;
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(wanted, ec);
    return !ec && unmapped(address) == local_;
  }

  asio::awaitable<void> stream_events() {
    boost::system::error_code ignored;
    socket_.set_option(asio::socket_base::send_buffer_size(kSendBuffer), ignored);
    arm(kIoTimeout);
    if (auto [ec, n] = co_await asio::async_write(socket_, asio::buffer(web::kEventsHead), kAwait); ec) {
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
        queued_events_ = 0;
        queued_bytes_ = 0;
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
    std::string behind;
    {
      std::lock_guard guard(mutex_);
      behind = behind_;
    }
    if (!behind.empty() && !server_.options.quiet) {
      console::err_line("spectator " + peer_ + " dropped: more than " + behind + " behind");
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
    slot_.release();
  }

  ServerState& server_;
  Slot slot_;
  tcp::socket socket_;
  std::string peer_;
  asio::steady_timer deadline_;
  asio::steady_timer wake_;  // the event writer waits on it
  bool closed_ = false;      // strand only
  asio::ip::address local_;  // where the connection came in
  std::mutex mutex_;         // guards the four below against the feed
  std::vector<FeedEvent> queue_;
  std::size_t queued_events_ = 0;  // in `queue_`, past the snapshot
  std::size_t queued_bytes_ = 0;
  std::string behind_;  // set once dropped: the bound it passed
};

}  // namespace

void start_web_session(tcp::socket socket, ServerState& server) {
  std::make_shared<WebSession>(std::move(socket), server)->start();
}

}  // namespace kestrel::server
