#include "net/transport.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/error.hpp>
#include <cerrno>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

namespace kestrel::net {
namespace {

WsUrl url_of(std::string_view text) {
  auto parsed = parse_ws_url(text);
  if (auto* failure = std::get_if<TransportError>(&parsed)) {
    ADD_FAILURE() << text << " -> " << failure->description;
    return {};
  }
  return std::get<WsUrl>(parsed);
}

std::string failure_of(std::string_view text) {
  auto parsed = parse_ws_url(text);
  if (auto* failure = std::get_if<TransportError>(&parsed)) return failure->description;
  auto port = choose_port(std::get<WsUrl>(parsed));
  if (auto* failure = std::get_if<TransportError>(&port)) return failure->description;
  return "(accepted)";
}

std::uint16_t port_of(std::string_view text) {
  auto port = choose_port(url_of(text));
  if (auto* failure = std::get_if<TransportError>(&port)) {
    ADD_FAILURE() << text << " -> " << failure->description;
    return 0;
  }
  return std::get<std::uint16_t>(port);
}

TEST(WsUrl, SplitsAuthorityAndTargetLikeTheRequestNeedsThem) {
  const WsUrl full = url_of("ws://player@example.com:9000/game?x=1");
  EXPECT_EQ(full.scheme, "ws");
  EXPECT_EQ(full.host_header, "example.com:9000");  // no user information
  EXPECT_EQ(full.host, "example.com");
  EXPECT_EQ(full.port, 9000);
  EXPECT_EQ(full.target, "/game?x=1");

  const WsUrl bare = url_of("ws://example.com");
  EXPECT_EQ(bare.host_header, "example.com");
  EXPECT_EQ(bare.port, std::nullopt);
  EXPECT_EQ(bare.target, "/");

  EXPECT_EQ(url_of("ws://u:secret@h:1/").host_header, "h:1");
  EXPECT_EQ(url_of("ws://h/a/b#fragment").target, "/a/b");
  EXPECT_EQ(url_of("ws://h#fragment").target, "/");
  EXPECT_EQ(url_of("ws://h?x=1").target, "/?x=1");
  EXPECT_EQ(url_of("ws://h/%7Bq%7D?a=b/c?d").target, "/%7Bq%7D?a=b/c?d");
  EXPECT_EQ(url_of("ws://h/caf\xc3\xa9").target, "/caf\xc3\xa9");
  EXPECT_EQ(url_of("ws://h:").port, std::nullopt);
}

TEST(WsUrl, Ipv6LiteralsLoseTheirBracketsOnlyForTheLookup) {
  const WsUrl v6 = url_of("ws://[::1]:8080/p");
  EXPECT_EQ(v6.host, "::1");
  EXPECT_EQ(v6.host_header, "[::1]:8080");
  EXPECT_EQ(v6.port, 8080);
  EXPECT_EQ(url_of("ws://[fe80::1:2]").host, "fe80::1:2");
  EXPECT_EQ(port_of("ws://[::1]"), 80);
}

TEST(WsUrl, PortComesFromTheUrlOrTheExactScheme) {
  EXPECT_EQ(port_of("ws://example.com"), 80);
  EXPECT_EQ(port_of("ws://example.com/game"), 80);
  EXPECT_EQ(port_of("wss://example.com"), 443);
  EXPECT_EQ(port_of("http://example.com:8080"), 8080);
  EXPECT_EQ(port_of("localhost:8080"), 8080);  // no scheme; refused after connecting
  EXPECT_EQ(port_of("ws://h:0"), 0);
  EXPECT_EQ(port_of("ws://h:65535"), 65535);

  EXPECT_EQ(failure_of("http://example.com"), "URL error: URL scheme not supported");
  EXPECT_EQ(failure_of("WS://example.com"), "URL error: URL scheme not supported");
  EXPECT_EQ(failure_of("Ws://example.com/x"), "URL error: URL scheme not supported");
  EXPECT_EQ(failure_of("localhost"), "URL error: URL scheme not supported");
}

TEST(WsUrl, TextThatIsNoUriFailsWithTheParsersReason) {
  EXPECT_EQ(failure_of("ws://bad host"), "HTTP format error: invalid uri character");
  EXPECT_EQ(failure_of("ws://h/a b"), "HTTP format error: invalid uri character");
  EXPECT_EQ(failure_of("ws://h/<x>"), "HTTP format error: invalid uri character");
  EXPECT_EQ(failure_of("ws://h/\xff"), "HTTP format error: invalid uri character");
  EXPECT_EQ(failure_of("ws://h\xc3\xa9"), "HTTP format error: invalid uri character");
  EXPECT_EQ(failure_of(""), "HTTP format error: empty string");
  EXPECT_EQ(failure_of("ws://"), "HTTP format error: invalid format");
  EXPECT_EQ(failure_of("localhost:8080/game"), "HTTP format error: invalid format");
  EXPECT_EQ(failure_of("ws://a:1:2"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://[::1"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://::1]"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://[::1]x"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://user@"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://h%41"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://h:99999"), "HTTP format error: invalid port");
  EXPECT_EQ(failure_of("ws://h:8x"), "HTTP format error: invalid port");
  EXPECT_EQ(failure_of("ws://h/" + std::string(70000, 'a')), "HTTP format error: uri too long");
  EXPECT_EQ(failure_of(std::string(65, 's') + "://h"), "HTTP format error: scheme too long");
  // Percent signs are fine in user information.
  EXPECT_EQ(url_of("ws://us%41r@h").host_header, "h");
}

TEST(WsUrl, MissingOrEmptyHostsAreUrlErrors) {
  EXPECT_EQ(failure_of("/game"), "URL error: No host name in the URL");
  EXPECT_EQ(failure_of("/"), "URL error: No host name in the URL");
  EXPECT_EQ(failure_of("*"), "URL error: No host name in the URL");
  EXPECT_EQ(failure_of("ws://:9000"), "URL error: URL contains empty host name");
  EXPECT_EQ(failure_of("ws://player@:9000/x"), "URL error: URL contains empty host name");
  EXPECT_EQ(failure_of("ws://[]:9000"), "URL error: URL contains empty host name");
}

// --- handshake response ---------------------------------------------------

constexpr std::string_view kKey = "dGhlIHNhbXBsZSBub25jZQ==";

HandshakeResponse good_response() {
  HandshakeResponse r;
  r.version = 11;
  r.status = 101;
  r.headers = {{"Upgrade", "websocket"},
               {"Connection", "Upgrade"},
               {"Sec-WebSocket-Accept", expected_accept(kKey)}};
  return r;
}

std::string check(const HandshakeResponse& r) {
  return check_handshake_response(r, kKey).value_or("(accepted)");
}

constexpr const char* kVersion = "WebSocket protocol error: HTTP version must be 1.1 or higher";
constexpr const char* kUpgrade = R"(WebSocket protocol error: No "Upgrade: websocket" header)";
constexpr const char* kConnection = R"(WebSocket protocol error: No "Connection: upgrade" header)";
constexpr const char* kAccept =
    R"(WebSocket protocol error: Key mismatch in "Sec-WebSocket-Accept" header)";
constexpr const char* kSubprotocol =
    "WebSocket protocol error: SubProtocol error: Server sent a subprotocol but none was requested";

TEST(HandshakeResponseCheck, AcceptKeyIsTheRfcDigest) {
  EXPECT_EQ(expected_accept(kKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(check(good_response()), "(accepted)");
}

TEST(HandshakeResponseCheck, ChecksRunInOrderAndTheFirstFailureWins) {
  HandshakeResponse r = good_response();
  r.version = 10;
  r.status = 200;
  r.headers.clear();
  EXPECT_EQ(check(r), kVersion);
  r.version = 11;
  EXPECT_EQ(check(r), "HTTP error: 200 OK");
  r.status = 101;
  EXPECT_EQ(check(r), kUpgrade);  // Upgrade before Connection
  r.headers = {{"Upgrade", "websocket"}};
  EXPECT_EQ(check(r), kConnection);
  r.headers.emplace_back("Connection", "upgrade");
  EXPECT_EQ(check(r), kAccept);
  r.headers.emplace_back("Sec-WebSocket-Protocol", "chat");
  EXPECT_EQ(check(r), kAccept);  // accept is checked first
  r.headers.emplace_back("Sec-WebSocket-Accept", "x");
  r.headers.emplace_back("Sec-WebSocket-Accept", expected_accept(kKey));
  EXPECT_EQ(check(r), kAccept);  // only the first accept header counts
  r.headers.erase(r.headers.end() - 2);
  EXPECT_EQ(check(r), kSubprotocol);
}

TEST(HandshakeResponseCheck, StatusTextUsesTheCanonicalReason) {
  HandshakeResponse r = good_response();
  r.status = 404;
  EXPECT_EQ(check(r), "HTTP error: 404 Not Found");
  r.status = 200;
  EXPECT_EQ(check(r), "HTTP error: 200 OK");
  r.status = 299;
  EXPECT_EQ(check(r), "HTTP error: 299 <unknown status code>");
  r.version = 20;  // later versions are fine
  r.status = 101;
  EXPECT_EQ(check(r), "(accepted)");
}

TEST(HandshakeResponseCheck, UpgradeValueIsComparedWhole) {
  HandshakeResponse r = good_response();
  r.headers[0].second = "WebSocket";
  EXPECT_EQ(check(r), "(accepted)");
  r.headers[0].second = "websocket, h2c";
  EXPECT_EQ(check(r), kUpgrade);
  r.headers[0] = {"upgrade", "websocket"};  // names ignore case
  EXPECT_EQ(check(r), "(accepted)");
  r.headers.insert(r.headers.begin(), {"Upgrade", "h2c"});
  EXPECT_EQ(check(r), kUpgrade);  // the first one counts
}

TEST(HandshakeResponseCheck, ConnectionNeedsTheUpgradeToken) {
  for (const char* value : {"Upgrade", "upgrade", "UPGRADE", "keep-alive, Upgrade", "Upgrade,keep-alive",
                            "keep-alive ,\tupgrade "}) {
    HandshakeResponse r = good_response();
    r.headers[1].second = value;
    EXPECT_EQ(check(r), "(accepted)") << value;
  }
  for (const char* value : {"keep-alive", "", "upgraded", "up grade", "close"}) {
    HandshakeResponse r = good_response();
    r.headers[1].second = value;
    EXPECT_EQ(check(r), kConnection) << value;
  }
  HandshakeResponse r = good_response();
  r.headers.insert(r.headers.begin(), {"Connection", "close"});
  EXPECT_EQ(check(r), kConnection);
}

TEST(HandshakeResponseCheck, SubprotocolIsRefusedSinceNoneWasAsked) {
  HandshakeResponse r = good_response();
  r.headers.emplace_back("sec-websocket-protocol", "chat");
  EXPECT_EQ(check(r), kSubprotocol);
  r = good_response();
  r.headers[2].second = expected_accept("AAAAAAAAAAAAAAAAAAAAAA==");
  EXPECT_EQ(check(r), kAccept);
}

// --- failure descriptions -------------------------------------------------

TEST(DescribeError, EachKindGetsItsPrefix) {
  namespace websocket = boost::beast::websocket;
  namespace http = boost::beast::http;
  const std::string refused =
      describe_error(boost::system::error_code(ECONNREFUSED, boost::system::system_category()));
  EXPECT_EQ(refused.rfind("IO error: Connection refused (os error ", 0), 0U) << refused;
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

// --- reading what a server sends -------------------------------------------

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
  while (!ec) co_await peer.async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<void> read_until_end(std::string url, asio::any_io_executor executor,
                                     std::vector<ReadOutcome>* outcomes) {
  auto opened = co_await open_connection(url, executor);
  if (auto* failure = std::get_if<TransportError>(&opened)) {
    outcomes->push_back(std::move(*failure));
    co_return;
  }
  auto [write_half, read_half] = std::move(std::get<0>(opened).first).split();
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
  outcomes = read_after_handshake(
      frames({0x01, 0x01, 0xC2, 0x00, 0x01, 0xA9, 0x80, 0x00, 0x88, 0x02, 0x03, 0xE8}));
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
