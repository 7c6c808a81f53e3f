#include "net/handshake.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestrel::net {
namespace {

constexpr std::string_view kKey = "dGhlIHNhbXBsZSBub25jZQ==";

HandshakeResponse good_response() {
  HandshakeResponse r;
  r.version = 11;
  r.status = 101;
  r.headers = {
      {"Upgrade", "websocket"}, {"Connection", "Upgrade"}, {"Sec-WebSocket-Accept", expected_accept(kKey)}};
  return r;
}

std::string check(const HandshakeResponse& r) {
  auto checked = check_handshake_response(r, kKey);
  return checked ? "(accepted)" : checked.error().description;
}

constexpr const char* kVersion = "WebSocket protocol error: HTTP version must be 1.1 or higher";
constexpr const char* kUpgrade = R"(WebSocket protocol error: No "Upgrade: websocket" header)";
constexpr const char* kConnection = R"(WebSocket protocol error: No "Connection: upgrade" header)";
constexpr const char* kAccept = R"(WebSocket protocol error: Key mismatch in "Sec-WebSocket-Accept" header)";
constexpr const char* kSubprotocol =
    "WebSocket protocol error: SubProtocol error: Server sent a subprotocol but none was requested";

TEST(HandshakeResponseCheck, AcceptKeyIsTheRfcDigestComparedExactly) {
  // The known answer of RFC 6455 section 1.3; it also guards the Beast
  // internal that computes it.
  EXPECT_EQ(expected_accept(kKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  HandshakeResponse r = good_response();
  r.headers[2].second = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
  EXPECT_EQ(check(r), "(accepted)");
  // Base64 is case-sensitive: the same letters in another case are another
  // digest, so another key.
  for (const char* value :
       {"S3PPLMBITXAQ9KYGZZHZRBK+XOO=", "s3pplmbitxaq9kygzzhzrbk+xoo=", "S3Pplmbitxaq9KygZZHzrbK+XoO=",
        "s3pPLMBiTxaQ9kYGzzhZRbK+xOo", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=="}) {
    r.headers[2].second = value;
    EXPECT_EQ(check(r), kAccept) << value;
  }
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
  // Only spaces and tabs are trimmed around a token.
  for (const char* value :
       {"keep-alive", "", "upgraded", "up grade", "close", "upgrade\x01", "\x01upgrade"}) {
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

}  // namespace
}  // namespace kestrel::net
