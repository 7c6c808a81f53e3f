#include "net/opening.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include "core/texts.hpp"
#include "net/runtime.hpp"
#include "net/socket.hpp"
#include "net/url.hpp"

namespace kestrel::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

using Endpoints = std::vector<tcp::endpoint>;

// getaddrinfo, blocking; the failure text is the resolver's own.
Result<Endpoints, std::string> lookup_host(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
#if defined(_WIN32)
    // gai_strerror there fills one static buffer (lookups run on several
    // threads) and keeps the message's line break; the code is a Winsock
    // error, whose system text serves as well.
    return texts::join(texts::kLookupFailed,
                       boost::system::error_code(rc, boost::system::system_category()).message());
#else
    return texts::join(texts::kLookupFailed, std::string_view(::gai_strerror(rc)));
#endif
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

}  // namespace

asio::awaitable<Result<std::pair<Connection, HandshakeResponse>, TransportError>> open_connection(
    std::string_view url, asio::any_io_executor executor) {
  // A cancelled wait fails like a network error would; the caller must not
  // mistake that for a failed connection.
  const asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
  auto stop_if_cancelled = [&cancellation] {
    if (cancellation.cancelled() != asio::cancellation_type::none) {
      throw boost::system::system_error(asio::error::operation_aborted);
    }
  };

  auto parsed = parse_ws_url(url);
  if (!parsed) co_return std::move(parsed).error();
  const WsUrl& target = parsed.value();
  auto port_or = choose_port(target);
  if (!port_or) co_return std::move(port_or).error();
  const std::uint16_t port = port_or.value();

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
    if (!looked_up) co_return TransportError{texts::join(texts::kIoError, looked_up.error())};
    endpoints = std::move(looked_up).value();
  }

  TrackedSocket socket(executor);
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
    if (endpoints.empty()) co_return TransportError{texts::join(texts::kIoError, texts::kNoAddress)};
    co_return TransportError{describe_error(last_failure)};
  }

  if (target.scheme != "ws") {
    error_code ignored;
    socket.close(ignored);
    if (target.scheme == "wss") co_return url_error(texts::kNoTls);
    co_return url_error(texts::kSchemeNotSupported);
  }
  co_return co_await handshake(std::move(socket), target.host_header, target.target);
}

}  // namespace kestrel::net
