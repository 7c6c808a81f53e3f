#include "net/handshake.hpp"

#include <boost/beast/http/status.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>

#include "core/text.hpp"

namespace kestrel::net {

namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;

std::string expected_accept(std::string_view key) {
  websocket::detail::sec_ws_accept_type accept;
  websocket::detail::make_sec_ws_accept(accept, key);
  return std::string(accept.data(), accept.size());
}

namespace {

const std::string* first_header(const HandshakeResponse& response, std::string_view name) {
  for (const auto& [n, v] : response.headers) {
    if (text::ascii_iequals(n, name)) return &v;
  }
  return nullptr;
}

bool has_token(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (text::ascii_iequals(item, token)) return true;
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
    return TransportError{"WebSocket protocol error: HTTP version must be 1.1 or higher"};
  }
  if (response.status != 101) return TransportError{"HTTP error: " + status_text(response.status)};
  const std::string* upgrade = first_header(response, "Upgrade");
  if (upgrade == nullptr || !text::ascii_iequals(*upgrade, "websocket")) {
    return TransportError{R"(WebSocket protocol error: No "Upgrade: websocket" header)"};
  }
  // RFC 6455 asks for the token, so "keep-alive, Upgrade" is an upgrade.
  const std::string* connection = first_header(response, "Connection");
  if (connection == nullptr || !has_token(*connection, "upgrade")) {
    return TransportError{R"(WebSocket protocol error: No "Connection: upgrade" header)"};
  }
  const std::string* accept = first_header(response, "Sec-WebSocket-Accept");
  if (accept == nullptr || *accept != expected_accept(sent_key)) {
    return TransportError{R"(WebSocket protocol error: Key mismatch in "Sec-WebSocket-Accept" header)"};
  }
  if (first_header(response, "Sec-WebSocket-Protocol") != nullptr) {
    return TransportError{
        "WebSocket protocol error: SubProtocol error: Server sent a subprotocol but none was requested"};
  }
  return {};
}

HandshakeResponse to_handshake_response(const http::response_header<>& head) {
  HandshakeResponse out;
  out.version = head.version();
  out.status = head.result_int();
  for (const auto& field : head) {
    out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return out;
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

}  // namespace kestrel::net
