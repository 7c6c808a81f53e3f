#include "net/handshake.hpp"

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>
#include <boost/system/system_error.hpp>
#include <type_traits>

#include "core/text_checks.hpp"
#include "core/texts.hpp"
#include "net/connection.hpp"
#include "net/connection_state.hpp"
#include "net/os_random.hpp"

namespace kestrel::net {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;
using boost::system::error_code;

std::string expected_accept(std::string_view key) {
  websocket::detail::sec_ws_accept_type accept;
  websocket::detail::make_sec_ws_accept(accept, key);
  return std::string(accept.data(), accept.size());
}

namespace {

const std::string* first_header(const HandshakeResponse& response, std::string_view name) {
  for (const auto& [n, v] : response.headers) {
    if (text_checks::ascii_iequals(n, name)) return &v;
  }
  return nullptr;
}

bool has_token(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (text_checks::ascii_iequals(item, token)) return true;
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

Result<void, TransportError> check_handshake_response(const HandshakeResponse& response,
                                                      std::string_view sent_key) {
  if (response.version < 11) {
    return TransportError{texts::join(texts::kProtocolError, texts::kOldHttpVersion)};
  }
  if (response.status != 101)
    return TransportError{texts::join(texts::kHttpError, status_text(response.status))};
  const std::string* upgrade = first_header(response, "Upgrade");
  if (upgrade == nullptr || !text_checks::ascii_iequals(*upgrade, "websocket")) {
    return TransportError{texts::join(texts::kProtocolError, texts::kNoUpgradeHeader)};
  }
  // RFC 6455 asks for the token, so "keep-alive, Upgrade" is an upgrade.
  const std::string* connection = first_header(response, "Connection");
  if (connection == nullptr || !has_token(*connection, "upgrade")) {
    return TransportError{texts::join(texts::kProtocolError, texts::kNoConnectionHeader)};
  }
  const std::string* accept = first_header(response, "Sec-WebSocket-Accept");
  if (accept == nullptr || *accept != expected_accept(sent_key)) {
    return TransportError{texts::join(texts::kProtocolError, texts::kKeyMismatch)};
  }
  if (first_header(response, "Sec-WebSocket-Protocol") != nullptr) {
    return TransportError{texts::join(texts::kProtocolError, texts::kUnaskedSubprotocol)};
  }
  return {};
}

void RequestShaper::operator()(websocket::request_type& request) const {
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

// The opening handshake itself: the request and the checks above, on a
// stream that becomes the connection's.

using connection_detail::ConnectionState;

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
