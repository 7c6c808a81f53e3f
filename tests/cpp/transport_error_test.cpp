#include "net/transport_error.hpp"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>
#include <string>

namespace kestrel::net {
namespace {

namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;

TEST(DescribeError, EachKindGetsItsPrefix) {
  namespace websocket = boost::beast::websocket;
  namespace http = boost::beast::http;
  const std::string refused = describe_error(boost::asio::error::connection_refused);
#if defined(_WIN32)
  // The system's own text (FormatMessage), then the Winsock code.
  EXPECT_EQ(refused.rfind("IO error: ", 0), 0U) << refused;
  EXPECT_TRUE(refused.ends_with(" (os error 10061)")) << refused;
#else
  EXPECT_EQ(refused.rfind("IO error: Connection refused (os error ", 0), 0U) << refused;
#endif
  EXPECT_EQ(describe_error(websocket::error::closed), "Connection closed normally");
  EXPECT_EQ(describe_error(boost::asio::error::operation_aborted), "Trying to work with closed connection");
  EXPECT_EQ(describe_error(websocket::error::message_too_big),
            "Space limit exceeded: Message too long: more than 67108864 bytes");
  EXPECT_EQ(describe_error(websocket::error::bad_frame_payload).rfind("UTF-8 encoding error: ", 0), 0U);
  EXPECT_EQ(describe_error(websocket::error::bad_masked_frame).rfind("WebSocket protocol error: ", 0), 0U);
  EXPECT_EQ(describe_error(http::error::bad_version).rfind("HTTP format error: ", 0), 0U);
  EXPECT_EQ(describe_error(http::error::end_of_stream), "WebSocket protocol error: Handshake not finished");
  EXPECT_EQ(describe_error(boost::asio::error::eof),
            "WebSocket protocol error: Connection reset without closing handshake");
}

}  // namespace
}  // namespace kestrel::net
