// The head of the server's answer to the upgrade request: what the client
// socket (net/client_socket.hpp) collects while the opening handshake runs
// and what the handshake's checks (net/handshake.hpp) judge.
#pragma once

#include <boost/beast/http/message.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::net {

// The server's answer to the upgrade request, as far as the checks need it.
struct HandshakeResponse {
  unsigned version = 11;  // 10 * major + minor
  unsigned status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
};

// The head of a response as the checks see it.
HandshakeResponse to_handshake_response(const boost::beast::http::response_header<>& head);

}  // namespace kestrel::net
