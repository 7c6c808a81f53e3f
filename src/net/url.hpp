// The URLs a session accepts: split the way an HTTP client library splits a
// URI, then given their WebSocket meaning (host header, lookup host, port,
// request target).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "net/transport_error.hpp"

namespace kestrel::net {

// What a URL gives the opening steps.
struct WsUrl {
  std::optional<std::string> scheme;  // as written; absent without "scheme://"
  std::string host_header;            // authority without user information
  std::string host;                   // for lookup: IPv6 brackets removed
  std::optional<std::uint16_t> port;  // absent when the URL gives none
  std::string target;                 // path and query, "/" when both absent

  friend bool operator==(const WsUrl&, const WsUrl&) = default;
};

// Parses the URL and checks that it names a host: "HTTP format error: ..."
// for text that is not a URI, then the two "URL error: " host texts.
Result<WsUrl, TransportError> parse_ws_url(std::string_view url);

// "URL error: " and the reason.
TransportError url_error(std::string_view reason);

// The URL's port, else 80 for ws and 443 for wss, else
// "URL error: URL scheme not supported".
Result<std::uint16_t, TransportError> choose_port(const WsUrl& url);

}  // namespace kestrel::net
