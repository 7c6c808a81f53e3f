#include "net/transport_error.hpp"

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>

#include "core/texts.hpp"
#include "net/message_limits.hpp"

namespace kestrel::net {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;
using boost::system::error_code;

std::string describe_error(const error_code& error) {
  const auto& ws_category = websocket::make_error_code(websocket::error::closed).category();
  const auto& http_category = http::make_error_code(http::error::end_of_stream).category();

  if (error == websocket::error::closed) return std::string(texts::kClosedNormally);
  // Beast aborts every operation on a stream that has closed or failed.
  if (error == asio::error::operation_aborted) return std::string(texts::kClosedConnection);
  if (error.category() == ws_category) {
    switch (static_cast<websocket::error>(error.value())) {
      case websocket::error::message_too_big:
        return texts::join(texts::kSpaceLimit, texts::message_too_long(kMaxMessageSize));
      case websocket::error::buffer_overflow: return texts::join(texts::kSpaceLimit, texts::kReadBufferFull);
      case websocket::error::bad_frame_payload: return texts::join(texts::kUtf8Error, texts::kBadUtf8Text);
      case websocket::error::bad_close_payload: return texts::join(texts::kUtf8Error, texts::kBadUtf8Close);
      default: return texts::join(texts::kProtocolError, error.message());
    }
  }
  if (error.category() == http_category) {
    switch (static_cast<http::error>(error.value())) {
      case http::error::end_of_stream:
      case http::error::partial_message:
        return texts::join(texts::kProtocolError, texts::kHandshakeNotFinished);
      case http::error::header_limit:
      case http::error::body_limit:
      case http::error::buffer_overflow: return texts::join(texts::kSpaceLimit, texts::kResponseTooLarge);
      default: return texts::join(texts::kFormatError, error.message());
    }
  }
  if (error == asio::error::eof) {
    return texts::join(texts::kProtocolError, texts::kResetWithoutClose);
  }
  if (error.category() == boost::system::system_category()) {
    return texts::join(texts::kIoError, error.message(), " (os error ", std::to_string(error.value()), ")");
  }
  return texts::join(texts::kIoError, error.message());
}

}  // namespace kestrel::net
