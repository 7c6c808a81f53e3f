#include "net/connection.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

#include "net/opening.hpp"

namespace kestrel::net {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::string frames(std::initializer_list<unsigned char> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Answers one upgrade request with a valid 101 followed by `after`, then
// sends its FIN and takes whatever the client still writes until it closes.
asio::awaitable<void> serve_then_send(tcp::acceptor& acceptor, std::string after) {
  tcp::socket peer = co_await acceptor.async_accept(asio::use_awaitable);
  boost::beast::flat_buffer buffer;
  boost::beast::http::request<boost::beast::http::string_body> request;
  co_await boost::beast::http::async_read(peer, buffer, request, asio::use_awaitable);
  const std::string key(request[boost::beast::http::field::sec_websocket_key]);
  const std::string answer =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      expected_accept(key) + "\r\n\r\n" + after;
  boost::system::error_code ec;
  co_await asio::async_write(peer, asio::buffer(answer), asio::redirect_error(asio::use_awaitable, ec));
  peer.shutdown(tcp::socket::shutdown_send, ec);
  char sink[512];
  while (!ec)
    co_await peer.async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<void> read_until_end(std::string url, asio::any_io_executor executor,
                                     std::vector<ReadOutcome>* outcomes) {
  auto opened = co_await open_connection(url, executor);
  if (!opened) {
    outcomes->push_back(std::move(opened).error());
    co_return;
  }
  auto [write_half, read_half] = std::move(opened.value().first).split();
  for (;;) {
    outcomes->push_back(co_await read_half.next());
    if (!std::holds_alternative<WsMessage>(outcomes->back())) co_return;
  }
}

// Everything the read half reports for `after`, up to its end or failure.
std::vector<ReadOutcome> read_after_handshake(const std::string& after) {
  asio::io_context io;
  tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  const std::string url = "ws://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/";
  std::vector<ReadOutcome> outcomes;
  auto rethrow = [](std::exception_ptr e) {
    if (e) std::rethrow_exception(e);
  };
  asio::co_spawn(io, serve_then_send(acceptor, after), rethrow);
  asio::co_spawn(io, read_until_end(url, io.get_executor(), &outcomes), rethrow);
  io.run();
  return outcomes;
}

std::string failure_in(const ReadOutcome& outcome) {
  const auto* failure = std::get_if<TransportError>(&outcome);
  return failure ? failure->description : "(no failure)";
}

constexpr const char* kBadText = "UTF-8 encoding error: invalid UTF-8 in a text message";

TEST(ReadHalf, TextMustNotEndInsideACharacterHoweverItIsFragmented) {
  // One frame: Beast's own check.
  auto outcomes = read_after_handshake(frames({0x81, 0x01, 0xC2}));
  ASSERT_EQ(outcomes.size(), 1U);
  EXPECT_EQ(failure_in(outcomes[0]), kBadText);

  // The cut character in a first fragment, then an empty final one, which
  // Beast lets through without finishing its check.
  outcomes = read_after_handshake(frames({0x01, 0x01, 0xC2, 0x00, 0x00, 0x80, 0x00}));
  ASSERT_EQ(outcomes.size(), 1U);
  EXPECT_EQ(failure_in(outcomes[0]), kBadText);

  // A character split across fragments and ended by an empty frame is whole.
  outcomes =
      read_after_handshake(frames({0x01, 0x01, 0xC2, 0x00, 0x01, 0xA9, 0x80, 0x00, 0x88, 0x02, 0x03, 0xE8}));
  ASSERT_EQ(outcomes.size(), 3U);
  const auto* message = std::get_if<WsMessage>(&outcomes[0]);
  const auto* text = message ? std::get_if<TextMessage>(message) : nullptr;
  ASSERT_NE(text, nullptr) << failure_in(outcomes[0]);
  EXPECT_EQ(text->text, "\xC2\xA9");
  message = std::get_if<WsMessage>(&outcomes[1]);
  EXPECT_TRUE(message && std::holds_alternative<CloseMessage>(*message));
  EXPECT_TRUE(std::holds_alternative<ConnectionEnd>(outcomes[2]));
}

}  // namespace
}  // namespace kestrel::net
