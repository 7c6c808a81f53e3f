// The URL parser on arbitrary text. Failures carry one of the known texts;
// a success yields a Host value, host, port and request target that are
// pieces of the input, safe to put in a request line and header, and that
// parse back to themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "net/url.hpp"

namespace kestrel::fuzz {
namespace {

using net::TransportError;
using net::WsUrl;

constexpr std::string_view kKnownFailures[] = {
    "HTTP format error: uri too long",         "HTTP format error: empty string",
    "HTTP format error: invalid authority",    "HTTP format error: invalid uri character",
    "HTTP format error: invalid format",       "HTTP format error: scheme too long",
    "HTTP format error: invalid port",         "URL error: No host name in the URL",
    "URL error: URL contains empty host name",
};

bool is_known_failure(std::string_view description) {
  for (std::string_view known : kKnownFailures) {
    if (description == known) return true;
  }
  return false;
}

// Nothing that could end or split a request line or a header line. (DEL
// and UTF-8 may stand in a path: the URI grammar we follow lets them through
// and they split nothing.)
bool fits_request_line(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) <= 0x20) return false;
  }
  return true;
}

bool is_plain_ascii(std::string_view s) {
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) return false;
  }
  return true;
}

bool all_digits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

void check_port(std::string_view text, const WsUrl& url) {
  require(all_digits(text), "port text holds a non-digit");
  if (text.empty()) {
    require(!url.port.has_value(), "empty port text gave a port");
    return;
  }
  std::uint32_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint32_t>(c - '0');
  require(url.port.has_value() && *url.port == value, "port differs from its text");
}

void check_success(std::string_view input, const WsUrl& url) {
  require(!url.host.empty() && !url.host_header.empty(), "accepted an empty host");
  require(is_plain_ascii(url.host_header), "Host value holds more than visible ASCII");
  require(fits_request_line(url.target), "request target could break the request line");
  require(input.find(url.host_header) != std::string_view::npos, "Host value is not from the input");
  require(url.host_header.find('@') == std::string::npos, "user information leaked into the Host value");

  // Host value = host (bracketed for IPv6), then an optional ":port".
  std::string_view rest = url.host_header;
  if (rest.front() == '[') {
    const std::size_t close = rest.find(']');
    require(close != std::string_view::npos && rest.substr(1, close - 1) == url.host,
            "bracketed host differs from the lookup host");
    rest.remove_prefix(close + 1);
  } else {
    require(rest.substr(0, url.host.size()) == url.host, "Host value does not start with the host");
    // Brackets inside a host are the lookup's problem, as in the URI grammar we follow.
    require(url.host.find_first_of(":/?#@") == std::string::npos, "host holds a delimiter");
    rest.remove_prefix(url.host.size());
  }
  if (rest.empty()) {
    require(!url.port.has_value(), "port without port text");
  } else {
    require(rest.front() == ':', "Host value has something after the host that is not a port");
    check_port(rest.substr(1), url);
  }

  // The target is the input's path and query, with a slash in front when
  // the URL gave only a query, "/" when it gave neither.
  require(!url.target.empty() && url.target.front() == '/', "target does not start with a slash");
  require(url.target.find('#') == std::string::npos, "fragment kept in the target");
  const bool from_input = input.find(url.target) != std::string_view::npos;
  const bool slash_added = url.target.size() > 1 && url.target[1] == '?' &&
                           input.find(std::string_view(url.target).substr(1)) != std::string_view::npos;
  require(from_input || slash_added || url.target == "/", "target is not from the input");

  if (url.scheme) {
    require(lower(input.substr(0, url.scheme->size() + 3)) == lower(*url.scheme + "://"),
            "scheme is not the input's");
  }

  auto port = net::choose_port(url);
  if (!port) {
    require(port.error().description == "URL error: URL scheme not supported" && !url.port &&
                url.scheme != "ws" && url.scheme != "wss",
            "port choice failed wrongly");
  } else {
    const std::uint16_t chosen = port.value();
    require(url.port ? chosen == *url.port : chosen == (url.scheme == "ws" ? 80 : 443), "wrong port chosen");
  }

  // What the request is built from reads back to itself. Not when a bracket
  // pair spans the user information ("[u@h]"): the authority is valid as a
  // whole, but the host left after the "@" has a bracket without its mate.
  const bool split_brackets =
      url.host_header.front() != '[' && url.host_header.find_first_of("[]") != std::string::npos;
  if (split_brackets) return;
  const std::string rebuilt = "ws://" + url.host_header + url.target;
  auto again = net::parse_ws_url(rebuilt);
  require(again.has_value(), "rebuilt URL no longer parses");
  const WsUrl* same = &again.value();
  require(same->host_header == url.host_header && same->host == url.host && same->port == url.port &&
              same->target == url.target,
          "rebuilt URL parses differently");
}

void run(std::string_view input) {
  auto parsed = net::parse_ws_url(input);
  if (!parsed) {
    const std::string& failure = parsed.error().description;
    require(is_known_failure(failure), "unknown failure text: " + failure);
    return;
  }
  check_success(input, parsed.value());
}

}  // namespace
}  // namespace kestrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrel::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
