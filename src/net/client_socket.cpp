#include "net/client_socket.hpp"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

namespace kestrel::net {
namespace {

// Beast's own limit for a response head is 8 KiB; past this, stop watching
// and let Beast decide.
constexpr std::size_t kMaxHeadBytes = 16U * 1024U;

}  // namespace

std::optional<HandshakeResponse> ClientSocket::take_response_head() {
  std::unique_ptr<ResponseHead> head = std::move(head_);
  if (!head) return std::nullopt;
  return std::move(head->response);
}

void ClientSocket::observed(std::size_t before) {
  namespace http = boost::beast::http;
  ResponseHead& head = *head_;
  const std::size_t end = head.bytes.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
  if (end == std::string::npos) {
    if (head.bytes.size() > kMaxHeadBytes) head.complete = true;
    return;
  }
  head.complete = true;
  http::response_parser<http::empty_body> parser;
  parser.skip(true);  // the head only: no body is ever expected
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(head.bytes.data(), end + 4), ec);
  if (!ec && parser.is_header_done()) {
    head.response = to_handshake_response(parser.get());
    head.refuse_reads = parser.get().result_int() != 101;
  }
  std::string().swap(head.bytes);
}

void teardown(boost::beast::role_type, ClientSocket& socket, boost::system::error_code& ec) {
  boost::system::error_code ignored;
  socket.socket_.shutdown(boost::asio::socket_base::shutdown_both, ignored);
  socket.socket_.close(ec);
}

}  // namespace kestrel::net
