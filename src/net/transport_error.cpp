#include "net/transport_error.hpp"

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>

namespace kestrel::net {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;
using boost::system::error_code;

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

}  // namespace kestrel::net
