#include "net/transport.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/execution/relationship.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/asio/compose.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/system/system_error.hpp>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_set>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/random.h>
#endif

#include "core/fifo.hpp"
#include "core/process.hpp"
#include "core/queue.hpp"
#include "net/runtime.hpp"

namespace kestrel::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// ---------------------------------------------------------------------------
// URL

namespace {

constexpr std::size_t kMaxUrlLength = 65534;
constexpr std::size_t kMaxSchemeLength = 64;

TransportError format_error(std::string_view reason) {
  return {"HTTP format error: " + std::string(reason)};
}

TransportError url_error(std::string_view reason) { return {"URL error: " + std::string(reason)}; }

bool is_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_scheme_char(unsigned char c) { return is_alnum(c) || c == '+' || c == '-' || c == '.'; }

// Characters an authority may hold besides the delimiters handled apart.
bool is_authority_char(unsigned char c) {
  if (is_alnum(c)) return true;
  return std::string_view("!$&'()*+,-.;=_~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_path_char(unsigned char c) {
  return c == 0x21 || (c >= 0x24 && c <= 0x3B) || c == 0x3D || (c >= 0x40 && c <= 0x5F) ||
         (c >= 0x61 && c <= 0x7A) || c == 0x7C || c == 0x7E || c == '"' || c == '{' || c == '}';
}

bool is_query_char(unsigned char c) {
  return c == 0x21 || (c >= 0x24 && c <= 0x3B) || c == 0x3D || (c >= 0x3F && c <= 0x7E);
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    const std::uint32_t min[] = {0, 0x80, 0x800, 0x10000};
    if (cp < min[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// A URI split the way an HTTP client library splits it, before any
// WebSocket meaning is given to the parts.
struct RawUri {
  std::optional<std::string> scheme;
  std::string_view authority;  // empty when absent
  std::string_view path_and_query;
};

using Reason = const char*;

// Where the authority at the start of `s` ends, or why it is not one.
std::variant<std::size_t, Reason> authority_end(std::string_view s) {
  unsigned colons = 0;
  bool open_bracket = false;
  bool close_bracket = false;
  bool percent = false;
  std::size_t end = s.size();
  std::optional<std::size_t> at_sign;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '/' || c == '?' || c == '#') {
      end = i;
      break;
    }
    if (c == ':') {
      if (colons >= 8) return Reason{"invalid authority"};
      ++colons;
    } else if (c == '[') {
      if (percent || open_bracket) return Reason{"invalid authority"};
      open_bracket = true;
    } else if (c == ']') {
      if (!open_bracket || close_bracket) return Reason{"invalid authority"};
      close_bracket = true;
      colons = 0;  // those belonged to the IPv6 literal
      percent = false;
    } else if (c == '@') {
      at_sign = i;
      colons = 0;  // those belonged to the user information
      percent = false;
    } else if (c == '%') {
      percent = true;  // allowed only in user information
    } else if (!is_authority_char(c)) {
      return Reason{"invalid uri character"};
    }
  }
  if (open_bracket != close_bracket) return Reason{"invalid authority"};
  if (colons > 1) return Reason{"invalid authority"};
  if (end > 0 && at_sign == end - 1) return Reason{"invalid authority"};
  if (percent) return Reason{"invalid authority"};
  return end;
}

// Path and query with any fragment cut off, or why they are not valid.
std::variant<std::string_view, Reason> path_and_query(std::string_view s) {
  bool in_query = false;
  bool maybe_not_utf8 = false;
  std::size_t end = s.size();
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '#') {
      end = i;
      break;
    }
    if (!in_query && c == '?') {
      in_query = true;
      continue;
    }
    if (c >= 0x7F) {
      maybe_not_utf8 = true;
      continue;
    }
    if (in_query ? !is_query_char(c) : !is_path_char(c)) return Reason{"invalid uri character"};
  }
  const std::string_view kept = s.substr(0, end);
  if (maybe_not_utf8 && !valid_utf8(kept)) return Reason{"invalid uri character"};
  return kept;
}

// Splits `s` into scheme, authority and path with query.
std::variant<RawUri, Reason> parse_uri(std::string_view s) {
  if (s.size() > kMaxUrlLength) return Reason{"uri too long"};
  if (s.empty()) return Reason{"empty string"};
  if (s[0] == '/') {
    auto pq = path_and_query(s);
    if (auto* r = std::get_if<Reason>(&pq)) return *r;
    return RawUri{std::nullopt, {}, std::get<std::string_view>(pq)};
  }
  if (s == "*") return RawUri{std::nullopt, {}, s};

  std::optional<std::string> scheme;
  std::string_view rest = s;
  if (s.size() >= 7 && ascii_iequals(s.substr(0, 7), "http://")) {
    scheme = "http";
    rest = s.substr(7);
  } else if (s.size() >= 8 && ascii_iequals(s.substr(0, 8), "https://")) {
    scheme = "https";
    rest = s.substr(8);
  } else if (s.size() > 3) {
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c == ':') {
        if (s.size() < i + 3 || s.substr(i + 1, 2) != "//") break;
        if (i > kMaxSchemeLength) return Reason{"scheme too long"};
        scheme = std::string(s.substr(0, i));
        rest = s.substr(i + 3);
        break;
      }
      if (!is_scheme_char(c)) break;
    }
  }

  auto end_or = authority_end(rest);
  if (auto* r = std::get_if<Reason>(&end_or)) return *r;
  const std::size_t end = std::get<std::size_t>(end_or);
  if (!scheme) {
    // Without a scheme the whole text must be an authority.
    if (end != rest.size()) return Reason{"invalid format"};
    return RawUri{std::nullopt, rest, {}};
  }
  if (end == 0) return Reason{"invalid format"};
  auto pq = path_and_query(rest.substr(end));
  if (auto* r = std::get_if<Reason>(&pq)) return *r;
  return RawUri{std::move(scheme), rest.substr(0, end), std::get<std::string_view>(pq)};
}

}  // namespace

std::variant<WsUrl, TransportError> parse_ws_url(std::string_view url) {
  auto raw_or = parse_uri(url);
  if (auto* r = std::get_if<Reason>(&raw_or)) return format_error(*r);
  const RawUri& raw = std::get<RawUri>(raw_or);

  // The port is part of the URI's syntax, so a bad one is a format error.
  std::string_view host_port = raw.authority;
  if (auto at = host_port.rfind('@'); at != std::string_view::npos) host_port.remove_prefix(at + 1);
  std::string_view host = host_port;
  std::optional<std::string_view> port_text;
  if (!host_port.empty() && host_port[0] == '[') {
    const std::size_t close = host_port.find(']');
    if (close == std::string_view::npos) return format_error("invalid authority");
    host = host_port.substr(1, close - 1);
    std::string_view after = host_port.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return format_error("invalid authority");
      port_text = after.substr(1);
    }
  } else if (auto colon = host_port.find(':'); colon != std::string_view::npos) {
    host = host_port.substr(0, colon);
    port_text = host_port.substr(colon + 1);
  }
  std::optional<std::uint16_t> port;
  if (port_text && !port_text->empty()) {
    std::uint32_t value = 0;
    for (char c : *port_text) {
      if (c < '0' || c > '9') return format_error("invalid port");
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
      if (value > 65535) return format_error("invalid port");
    }
    port = static_cast<std::uint16_t>(value);
  }

  if (raw.authority.empty()) return url_error("No host name in the URL");
  if (host_port.empty() || host.empty()) return url_error("URL contains empty host name");

  WsUrl out;
  out.scheme = raw.scheme;
  out.host_header = std::string(host_port);
  out.host = std::string(host);
  out.port = port;
  if (raw.path_and_query.empty()) {
    out.target = "/";
  } else if (raw.path_and_query[0] == '?') {
    // An origin-form target always starts with a slash.
    out.target = "/" + std::string(raw.path_and_query);
  } else {
    out.target = std::string(raw.path_and_query);
  }
  return out;
}

std::variant<std::uint16_t, TransportError> choose_port(const WsUrl& url) {
  if (url.port) return *url.port;
  if (url.scheme == "ws") return std::uint16_t{80};
  if (url.scheme == "wss") return std::uint16_t{443};
  return url_error("URL scheme not supported");
}

// ---------------------------------------------------------------------------
// Handshake response

std::string expected_accept(std::string_view key) {
  websocket::detail::sec_ws_accept_type accept;
  websocket::detail::make_sec_ws_accept(accept, key);
  return std::string(accept.data(), accept.size());
}

namespace {

const std::string* first_header(const HandshakeResponse& response, std::string_view name) {
  for (const auto& [n, v] : response.headers) {
    if (ascii_iequals(n, name)) return &v;
  }
  return nullptr;
}

bool has_token(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (ascii_iequals(item, token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

std::string status_text(unsigned status) {
  const http::status known = http::int_to_status(status);
  if (known == http::status::unknown) return std::to_string(status) + " <unknown status code>";
  return std::to_string(status) + " " + std::string(http::obsolete_reason(known));
}

}  // namespace

std::optional<std::string> check_handshake_response(const HandshakeResponse& response,
                                                    std::string_view sent_key) {
  if (response.version < 11) {
    return "WebSocket protocol error: HTTP version must be 1.1 or higher";
  }
  if (response.status != 101) return "HTTP error: " + status_text(response.status);
  const std::string* upgrade = first_header(response, "Upgrade");
  if (upgrade == nullptr || !ascii_iequals(*upgrade, "websocket")) {
    return R"(WebSocket protocol error: No "Upgrade: websocket" header)";
  }
  // RFC 6455 asks for the token, so "keep-alive, Upgrade" is an upgrade.
  const std::string* connection = first_header(response, "Connection");
  if (connection == nullptr || !has_token(*connection, "upgrade")) {
    return R"(WebSocket protocol error: No "Connection: upgrade" header)";
  }
  const std::string* accept = first_header(response, "Sec-WebSocket-Accept");
  if (accept == nullptr || *accept != expected_accept(sent_key)) {
    return R"(WebSocket protocol error: Key mismatch in "Sec-WebSocket-Accept" header)";
  }
  if (first_header(response, "Sec-WebSocket-Protocol") != nullptr) {
    return "WebSocket protocol error: SubProtocol error: Server sent a subprotocol but none was "
           "requested";
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Failure descriptions

std::string describe_error(const error_code& error) {
  const auto& ws_category = websocket::make_error_code(websocket::error::closed).category();
  const auto& http_category = http::make_error_code(http::error::end_of_stream).category();

  if (error == websocket::error::closed) return "Connection closed normally";
  // Beast aborts every operation on a stream that has closed or failed.
  if (error == asio::error::operation_aborted) return "Trying to work with closed connection";
  if (error.category() == ws_category) {
    switch (static_cast<websocket::error>(error.value())) {
      case websocket::error::message_too_big:
        return "Space limit exceeded: Message too long: more than " + std::to_string(kMaxMessageSize) +
               " bytes";
      case websocket::error::buffer_overflow:
        return "Space limit exceeded: Read buffer is full";
      case websocket::error::bad_frame_payload:
        return "UTF-8 encoding error: invalid UTF-8 in a text message";
      case websocket::error::bad_close_payload:
        return "UTF-8 encoding error: invalid UTF-8 in a close reason";
      default:
        return "WebSocket protocol error: " + error.message();
    }
  }
  if (error.category() == http_category) {
    switch (static_cast<http::error>(error.value())) {
      case http::error::end_of_stream:
      case http::error::partial_message:
        return "WebSocket protocol error: Handshake not finished";
      case http::error::header_limit:
      case http::error::body_limit:
      case http::error::buffer_overflow:
        return "Space limit exceeded: Handshake response too large";
      default:
        return "HTTP format error: " + error.message();
    }
  }
  if (error == asio::error::eof) {
    return "WebSocket protocol error: Connection reset without closing handshake";
  }
  if (error.category() == boost::system::system_category()) {
    return "IO error: " + error.message() + " (os error " + std::to_string(error.value()) + ")";
  }
  return "IO error: " + error.message();
}

// ---------------------------------------------------------------------------
// Randomness

void fill_os_random(std::uint8_t* out, std::size_t size) {
#if defined(__linux__)
  while (size > 0) {
    const ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // fall back below for what is left
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
#endif
  if (size > 0) {
    std::random_device device;  // the OS source on every platform we build for
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(device());
  }
}

namespace {

// Beast's key and mask generator keeps one process-wide seed; give it the
// OS's randomness before any stream exists.
void seed_key_generator() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::uint8_t bytes[32];
    fill_os_random(bytes, sizeof bytes);
    std::uint32_t words[8];
    std::memcpy(words, bytes, sizeof words);
    std::seed_seq seq(std::begin(words), std::end(words));
    websocket::seed_prng(seq);
  });
}

}  // namespace

// ---------------------------------------------------------------------------
// The connection

namespace transport_detail {

template <class Fields>
HandshakeResponse to_handshake_response(const http::response_header<Fields>& response) {
  HandshakeResponse out;
  out.version = response.version();
  out.status = response.result_int();
  for (const auto& field : response) {
    out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return out;
}

// Sockets of this process's connections, so that a child made by fork()
// can close its copies: it has none of the threads that would close them,
// and a copy left open would keep the connection up after the parent let go.
// Closing a copy sends nothing; the parent's connection goes on. The lock is
// held across opening or closing a socket and its bookkeeping, and across a
// fork, so the list never names a number the process has already reused.
class SocketRegistry {
 public:
  static SocketRegistry& instance() {
    static auto* made = [] {
      auto* registry = new SocketRegistry;  // leaked: workers may outlive main
      process::on_fork({[registry] { registry->mutex_.lock(); },
                        [registry] { registry->mutex_.unlock(); },
                        [registry] {
                          for (const auto fd : registry->open_) close_native(fd);
                          registry->open_.clear();
                          registry->mutex_.unlock();
                        }});
      return registry;
    }();
    return *made;
  }

  void open(tcp::socket& socket, const tcp& protocol, error_code& ec) {
    std::lock_guard lock(mutex_);
    socket.open(protocol, ec);
    if (!ec) open_.insert(socket.native_handle());
  }

  void close(tcp::socket& socket, error_code& ec) {
    ec = {};
    if (!socket.is_open()) return;  // only this connection's strand closes it
    std::lock_guard lock(mutex_);
    open_.erase(socket.native_handle());
    socket.close(ec);
  }

 private:
  static void close_native(tcp::socket::native_handle_type fd) {
#if defined(_WIN32)
    ::closesocket(fd);
#else
    ::close(fd);
#endif
  }

  std::mutex mutex_;
  std::unordered_set<tcp::socket::native_handle_type> open_;
};

// The stream's next layer: a TCP socket that
// - is opened and closed through the SocketRegistry (never by the base
//   class's own calls: Beast closes it through beast_close_socket below);
// - while the opening handshake runs, watches the response go by and, once
//   its status line and headers are in, refuses further reads unless the
//   status is 101: the checks judge the head alone and never wait for a body
//   that may be endless, or never come;
// - on the WebSocket teardown after a closing handshake closes at once
//   instead of waiting for the server's FIN, so the read half reports the end
//   right after the close reply has gone out.
class ClientSocket : public tcp::socket {
 public:
  explicit ClientSocket(const asio::any_io_executor& executor) : tcp::socket(executor) {}
  ClientSocket(ClientSocket&&) noexcept = default;
  ClientSocket& operator=(ClientSocket&&) = delete;
  ~ClientSocket() {
    error_code ignored;
    close(ignored);
  }

  void open(const tcp& protocol, error_code& ec) { SocketRegistry::instance().open(*this, protocol, ec); }
  void close(error_code& ec) { SocketRegistry::instance().close(*this, ec); }

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
    if (!head_) return tcp::socket::async_read_some(buffers, std::forward<Token>(token));
    return asio::async_compose<Token, void(error_code, std::size_t)>(WatchedRead<MutableBuffers>{this, buffers},
                                                                     token, get_executor());
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
          socket->tcp::socket::async_read_some(buffers, std::move(self));
          return;
        case kReading:
          if (!ec && socket->head_) socket->observe(buffers, n);
          self.complete(ec, n);
          return;
        case kRefusing:
          self.complete(websocket::error::upgrade_declined, 0);
          return;
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

// Beast closes the lowest layer through this customisation point; the base
// class's close would bypass the registry.
void beast_close_socket(ClientSocket& socket) {
  error_code ignored;
  socket.close(ignored);
}

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
  explicit ConnectionState(ClientSocket socket)
      : ws(std::move(socket)) {
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
    ws.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
      on_control(kind, payload);
    });
  }

  void deliver(ReadOutcome outcome) {
    arrived.push(std::move(outcome));
    if (!waiting) return;
    // Resumed from the strand's queue, never inline inside Beast's read, and
    // as a continuation: on the thread that is here already rather than by
    // waking another worker for it.
    resume_waiting();
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
      case websocket::frame_type::ping:
        deliver(PingMessage{Bytes(p, p + payload.size())});
        break;
      case websocket::frame_type::pong:
        deliver(PongMessage{Bytes(p, p + payload.size())});
        break;
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
        if (ec) {
          state->read_done = true;
          if (ec == websocket::error::closed) {
            state->deliver(ConnectionEnd{});
          } else if (ec == websocket::error::message_too_big && limit < kMaxMessageSize) {
            state->deliver(TransportError{"Space limit exceeded: Message too long: a frame of more than " +
                                          std::to_string(kMaxFrameSize) + " bytes"});
          } else {
            state->deliver(TransportError{describe_error(ec)});
          }
          return;
        }
        const auto data = state->buffer.cdata();
        const auto* bytes = static_cast<const std::uint8_t*>(data.data());
        if (state->ws.got_text()) {
          std::string text(static_cast<const char*>(data.data()), data.size());
          // Beast checks UTF-8 as payload arrives, so a message whose last
          // frame is empty skips its check that the text does not end inside
          // a character; the whole text is checked again here.
          if (!valid_utf8(text)) {
            state->read_done = true;
            state->deliver(TransportError{"UTF-8 encoding error: invalid UTF-8 in a text message"});
            return;
          }
          state->deliver(TextMessage{std::move(text)});
        } else {
          state->deliver(BinaryMessage{Bytes(bytes, bytes + data.size())});
        }
        state->buffer.consume(state->buffer.size());
        // One long message must not pin its buffer for the connection's life.
        if (state->buffer.capacity() > kMaxRetainedReadBytes) state->buffer.shrink_to_fit();
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

asio::awaitable<std::optional<TransportError>> WriteHalf::send(const WsMessage& message) {
  if (!link_) co_return TransportError{"Trying to work with closed connection"};
  ConnectionState& state = *link_->state;
  asio::const_buffer payload;
  if (const auto* binary = std::get_if<BinaryMessage>(&message)) {
    state.ws.binary(true);
    payload = asio::buffer(binary->payload);
  } else if (const auto* text = std::get_if<TextMessage>(&message)) {
    state.ws.text(true);
    payload = asio::buffer(text->text);
  } else {
    co_return TransportError{"WebSocket protocol error: only data messages can be sent"};
  }
  error_code ec;
  co_await state.ws.async_write(payload, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return TransportError{describe_error(ec)};
  co_return std::nullopt;
}

Connection::Connection(std::shared_ptr<ConnectionState> state) : state_(std::move(state)) {}
Connection::~Connection() = default;

std::pair<WriteHalf, ReadHalf> Connection::split() && {
  auto link = std::make_shared<HalvesLink>(std::move(state_));
  return {WriteHalf(link), ReadHalf(link)};
}

// ---------------------------------------------------------------------------
// Opening

namespace {

using Endpoints = std::vector<tcp::endpoint>;

// getaddrinfo, blocking; the failure text is the resolver's own.
std::variant<Endpoints, std::string> lookup_host(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    return std::string("failed to lookup address information: ") + ::gai_strerror(rc);
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(list, ::freeaddrinfo);
  Endpoints out;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    tcp::endpoint endpoint;
    if (ai->ai_addrlen > endpoint.capacity()) continue;
    std::memcpy(endpoint.data(), ai->ai_addr, ai->ai_addrlen);
    endpoint.resize(ai->ai_addrlen);
    out.push_back(endpoint);
  }
  return out;
}

// Puts the request in the fixed header order, with nothing else, while
// keeping the key Beast generated so that its own accept check agrees.
struct RequestShaper {
  std::shared_ptr<std::string> key_out;

  void operator()(websocket::request_type& request) const {
    const std::string host(request[http::field::host]);
    const std::string key(request[http::field::sec_websocket_key]);
    *key_out = key;
    request.clear();
    request.set(http::field::host, host);
    request.set(http::field::connection, "Upgrade");
    request.set(http::field::upgrade, "websocket");
    request.set(http::field::sec_websocket_version, "13");
    request.set(http::field::sec_websocket_key, key);
  }
};

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
auto async_handshake_or_close(const std::shared_ptr<ConnectionState>& state, websocket::response_type& response,
                              std::string_view host, std::string_view target, Token&& token) {
  auto initiate = [state, &response, host, target](auto handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.template emplace<CloseOnCancel>(state);
    // Completes on the caller's executor, which is also where cancellations
    // are emitted, so the slot is cleared before anything else can reach it.
    auto home = asio::get_associated_executor(handler, state->ws.get_executor());
    state->ws.async_handshake(
        response, host, target,
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

asio::awaitable<std::variant<std::pair<Connection, HandshakeResponse>, TransportError>>
open_connection(std::string_view url, asio::any_io_executor executor) {
  // A cancelled wait fails like a network error would; the caller must not
  // mistake that for a failed connection.
  const asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
  auto stop_if_cancelled = [&cancellation] {
    if (cancellation.cancelled() != asio::cancellation_type::none) {
      throw boost::system::system_error(asio::error::operation_aborted);
    }
  };

  auto parsed = parse_ws_url(url);
  if (auto* failure = std::get_if<TransportError>(&parsed)) co_return std::move(*failure);
  const WsUrl& target = std::get<WsUrl>(parsed);
  auto port_or = choose_port(target);
  if (auto* failure = std::get_if<TransportError>(&port_or)) co_return std::move(*failure);
  const std::uint16_t port = std::get<std::uint16_t>(port_or);

  Endpoints endpoints;
  error_code not_literal;
  const asio::ip::address literal = asio::ip::make_address(target.host, not_literal);
  if (!not_literal) {
    endpoints.emplace_back(literal, port);
  } else {
    // Named, not a temporary inside the co_await: GCC 12 mishandles the
    // lifetime of a capturing closure passed that way.
    auto lookup = [host = target.host, port] { return lookup_host(host, port); };
    auto looked_up = co_await background_runtime().run_blocking(std::move(lookup));
    stop_if_cancelled();
    if (auto* failure = std::get_if<std::string>(&looked_up)) co_return TransportError{"IO error: " + *failure};
    endpoints = std::get<Endpoints>(std::move(looked_up));
  }

  transport_detail::ClientSocket socket(executor);
  error_code last_failure;
  bool connected = false;
  for (const tcp::endpoint& endpoint : endpoints) {
    error_code ec;
    socket.close(ec);
    socket.open(endpoint.protocol(), ec);
    if (!ec) co_await socket.async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) {
      connected = true;
      break;
    }
    stop_if_cancelled();
    last_failure = ec;
  }
  if (!connected) {
    if (endpoints.empty()) co_return TransportError{"IO error: could not resolve to any address"};
    co_return TransportError{describe_error(last_failure)};
  }

  if (target.scheme != "ws") {
    error_code ignored;
    socket.close(ignored);
    if (target.scheme == "wss") co_return url_error("TLS support not compiled in");
    co_return url_error("URL scheme not supported");
  }

  seed_key_generator();
  socket.watch_response_head();
  auto state = std::make_shared<ConnectionState>(std::move(socket));
  auto sent_key = std::make_shared<std::string>();
  state->ws.set_option(websocket::stream_base::decorator(RequestShaper{sent_key}));

  websocket::response_type response;
  error_code ec;
  co_await async_handshake_or_close(state, response, target.host_header, target.target,
                                    asio::redirect_error(asio::use_awaitable, ec));
  stop_if_cancelled();
  // Our own checks decide, in our order and with our texts, on the head as
  // it arrived: Beast may have failed on what followed it.
  std::optional<HandshakeResponse> head = state->ws.next_layer().take_response_head();
  if (head) {
    if (auto failure = check_handshake_response(*head, *sent_key)) co_return TransportError{*failure};
    if (!ec) co_return std::pair<Connection, HandshakeResponse>{Connection(std::move(state)), std::move(*head)};
  }
  co_return TransportError{describe_error(ec)};
}

}  // namespace kestrel::net
