#include "net/url.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestrel::net {
namespace {

WsUrl url_of(std::string_view text) {
  auto parsed = parse_ws_url(text);
  if (!parsed) {
    ADD_FAILURE() << text << " -> " << parsed.error().description;
    return {};
  }
  return parsed.value();
}

std::string failure_of(std::string_view text) {
  auto parsed = parse_ws_url(text);
  if (!parsed) return parsed.error().description;
  auto port = choose_port(parsed.value());
  if (!port) return port.error().description;
  return "(accepted)";
}

std::uint16_t port_of(std::string_view text) {
  auto port = choose_port(url_of(text));
  if (!port) {
    ADD_FAILURE() << text << " -> " << port.error().description;
    return 0;
  }
  return port.value();
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
  EXPECT_EQ(failure_of("ws://h/caf\xc3\xa9 x"), "HTTP format error: invalid uri character");
  EXPECT_EQ(url_of("ws://h/a#b c#<d>").target, "/a");  // a fragment is cut, not read
  // The query allows more than the path, but no space, control or quote.
  EXPECT_EQ(url_of("ws://h/?a=`^[]{}|?/").target, "/?a=`^[]{}|?/");
  EXPECT_EQ(url_of("ws://h/\"{}").target, "/\"{}");
  for (const char* text :
       {"ws://h/`", "ws://h/?a b", "ws://h/?a\x01", "ws://h/?\"", "ws://h/?<", "ws://h/?>"}) {
    EXPECT_EQ(failure_of(text), "HTTP format error: invalid uri character") << text;
  }
  EXPECT_EQ(failure_of(""), "HTTP format error: empty string");
  EXPECT_EQ(failure_of("ws://"), "HTTP format error: invalid format");
  EXPECT_EQ(failure_of("localhost:8080/game"), "HTTP format error: invalid format");
  EXPECT_EQ(failure_of("ws://a:1:2"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://[::1"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://::1]"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://]h["), "HTTP format error: invalid authority");  // closed before opened
  EXPECT_EQ(failure_of("ws://[::1]x"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://user@"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://h%41"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://h:99999"), "HTTP format error: invalid port");
  EXPECT_EQ(failure_of("ws://h:8x"), "HTTP format error: invalid port");
  EXPECT_EQ(failure_of("ws://h:8.0"), "HTTP format error: invalid port");  // below '0' too
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
TEST(WsUrl, EachAsciiCharacterIsTakenOrRefusedByWhereItStands) {
  auto taken = [](std::string_view text) {
    return failure_of(text).find("HTTP format error") == std::string::npos;
  };
  const std::string alnum = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const std::string path_extra = "!$%&'()*+,-./:;=@[\\]^_|~\"{}";
  const std::string query_extra = "!$%&'()*+,-./:;=?@[\\]^_`{|}~";
  const std::string authority_extra = "!$&'()*+,-.;=_~";
  const std::string scheme_extra = "+-.";
  for (int i = 0; i < 0x7F; ++i) {
    const char c = static_cast<char>(i);
    const std::string one(1, c);
    const bool is_alnum = alnum.find(c) != std::string::npos;
    if (c != '#' && c != '?') {
      EXPECT_EQ(taken("ws://h/a" + one), is_alnum || path_extra.find(c) != std::string::npos) << "path " << i;
    }
    if (c != '#') {
      EXPECT_EQ(taken("ws://h/?a" + one), is_alnum || query_extra.find(c) != std::string::npos)
          << "query " << i;
    }
    if (std::string_view("/?#:[]@%").find(c) == std::string_view::npos) {
      EXPECT_EQ(taken("ws://a" + one + "b"), is_alnum || authority_extra.find(c) != std::string::npos)
          << "authority " << i;
    }
    // A scheme stops at its first character that cannot be in one.
    const bool scheme_char = is_alnum || scheme_extra.find(c) != std::string::npos;
    EXPECT_EQ(failure_of("a" + one + "b://h") == "URL error: URL scheme not supported", scheme_char)
        << "scheme " << i;
  }
}

TEST(WsUrl, LimitsHoldToTheLastCharacter) {
  const std::string prefix = "ws://h/";
  EXPECT_EQ(url_of(prefix + std::string(65534 - prefix.size(), 'a')).target.size(),
            65534 - prefix.size() + 1);
  EXPECT_EQ(failure_of(prefix + std::string(65535 - prefix.size(), 'a')), "HTTP format error: uri too long");
  EXPECT_EQ(failure_of(std::string(64, 's') + "://h"), "URL error: URL scheme not supported");
  // Eight colons fit an IPv6 literal, a ninth does not; a port's colon is counted apart.
  EXPECT_EQ(url_of("ws://[1:2:3:4:5:6:7::]:9").host, "1:2:3:4:5:6:7::");
  EXPECT_EQ(failure_of("ws://[1:2:3:4:5:6:7:8::]"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://[[::1]"), "HTTP format error: invalid authority");
  EXPECT_EQ(failure_of("ws://[::1]]"), "HTTP format error: invalid authority");
  // A second closing bracket is the authority's fault even where a port follows.
  EXPECT_EQ(failure_of("ws://[::1]:80]"), "HTTP format error: invalid authority");
  EXPECT_EQ(url_of("ws://a@b@h").host, "h");  // the last @ ends the user information
}

TEST(WsUrl, HttpSchemesAreReadWhateverTheirCase) {
  EXPECT_EQ(url_of("HTTPS://h:8443").scheme, "https");
  EXPECT_EQ(url_of("Http://h:8080").scheme, "http");
  EXPECT_EQ(port_of("https://example.com:8443"), 8443);
  EXPECT_EQ(url_of("https://example.com:8443/x").host, "example.com");
  EXPECT_EQ(failure_of("https://example.com"), "URL error: URL scheme not supported");
  EXPECT_EQ(failure_of("http://"), "HTTP format error: invalid format");
  EXPECT_EQ(failure_of("https://"), "HTTP format error: invalid format");
}
}  // namespace
}  // namespace kestrel::net
