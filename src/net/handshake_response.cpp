#include "net/handshake_response.hpp"

namespace kestrel::net {

HandshakeResponse to_handshake_response(const boost::beast::http::response_header<>& head) {
  HandshakeResponse out;
  out.version = head.version();
  out.status = head.result_int();
  for (const auto& field : head) {
    out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return out;
}

}  // namespace kestrel::net
