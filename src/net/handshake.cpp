#include "net/handshake.hpp"

#include <boost/beast/http/status.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>

#include "core/text_checks.hpp"
#include "core/texts.hpp"

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
