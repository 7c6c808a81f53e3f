// The handshake-response checks on arbitrary HTTP responses, twice: once as
// a parsed response handed to check_handshake_response(), and once as the
// bytes a loopback server answers open_connection() with. "{accept}" in the
// input stands for the accept value of the key the client actually sent, so
// inputs can get past the key check.
//
// Properties: no crash; every failure carries one of the transport's
// prefixes; what the checks accept really is an upgrade to a WebSocket;
// and, for responses short enough that Beast reads them in one buffer, the
// real opening ends exactly as the checks say.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/core/string.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "loopback_peer.hpp"
#include "net/handshake.hpp"
#include "net/opening.hpp"

namespace kestrel::fuzz {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using net::HandshakeResponse;
using net::TransportError;

constexpr std::string_view kAcceptMark = "{accept}";
// Size of the buffer Beast's handshake reads the response into first
// (websocket::stream's private tcp_frame_size).
constexpr std::size_t kHandshakeBuffer = 1536;

constexpr std::string_view kCheckFailures[] = {
    "WebSocket protocol error: HTTP version must be 1.1 or higher",
    R"(WebSocket protocol error: No "Upgrade: websocket" header)",
    R"(WebSocket protocol error: No "Connection: upgrade" header)",
    R"(WebSocket protocol error: Key mismatch in "Sec-WebSocket-Accept" header)",
    "WebSocket protocol error: SubProtocol error: Server sent a subprotocol but none was requested",
};

std::string with_accept(std::string_view input, std::string_view key) {
  const std::string accept = net::expected_accept(key);
  std::string out;
  for (std::size_t at = 0;;) {
    const std::size_t mark = input.find(kAcceptMark, at);
    out.append(input.substr(at, mark - at));
    if (mark == std::string_view::npos) return out;
    out.append(accept);
    at = mark + kAcceptMark.size();
  }
}

// A stream with nothing left to give: the server has closed.
struct ClosedStream {
  using executor_type = asio::any_io_executor;
  template <class Buffers>
  std::size_t read_some(const Buffers&, boost::system::error_code& ec) {
    ec = asio::error::eof;
    return 0;
  }
  template <class Buffers>
  std::size_t read_some(const Buffers&) {
    throw boost::system::system_error(asio::error::eof);
  }
};

// What opening should end with, judged from the bytes alone. First the
// response head, up to the blank line that ends it, parsed alone as the
// client watches it: a head the checks refuse decides at once, whatever
// follows (a body is never waited for). Otherwise Beast's parse of the whole
// response (the parser the handshake uses), then our checks. nullopt: the
// connection opens.
struct Judged {
  std::optional<std::string> failure;
  std::optional<HandshakeResponse> response;  // when it parsed
};

Judged judge(const std::string& bytes, std::string_view key) {
  if (const std::size_t end = bytes.find("\r\n\r\n"); end != std::string::npos) {
    http::response_parser<http::empty_body> head;
    head.skip(true);
    boost::system::error_code ec;
    head.put(asio::buffer(bytes.data(), end + 4), ec);
    if (!ec && head.is_header_done()) {
      HandshakeResponse response = net::to_handshake_response(head.get());
      auto checked = net::check_handshake_response(response, key);
      if (!checked) return {std::move(checked).error().description, std::move(response)};
    }
  }

  beast::flat_buffer buffer;
  buffer.commit(asio::buffer_copy(buffer.prepare(bytes.size()), asio::buffer(bytes)));
  http::response_parser<http::string_body> parser;
  ClosedStream stream;
  boost::system::error_code ec;
  http::read(stream, buffer, parser, ec);
  if (ec) return {net::describe_error(ec), std::nullopt};

  const auto& parsed = parser.get();
  HandshakeResponse response;
  response.version = parsed.version();
  response.status = parsed.result_int();
  for (const auto& field : parsed) {
    response.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  auto checked = net::check_handshake_response(response, key);
  if (checked) return {std::nullopt, std::move(response)};
  return {std::move(checked).error().description, std::move(response)};
}

bool iequals(std::string_view a, std::string_view b) { return beast::iequals(a, b); }

const std::string* first(const HandshakeResponse& r, std::string_view name) {
  for (const auto& [n, v] : r.headers) {
    if (iequals(n, name)) return &v;
  }
  return nullptr;
}

void check_verdict(const HandshakeResponse& r, const std::optional<std::string>& failure,
                   std::string_view key) {
  if (!failure) {
    require(r.version >= 11 && r.status == 101, "accepted a response that is no 1.1 switch");
    const std::string* upgrade = first(r, "Upgrade");
    require(upgrade && iequals(*upgrade, "websocket"), "accepted without Upgrade: websocket");
    require(first(r, "Connection") != nullptr, "accepted without a Connection header");
    const std::string* accept = first(r, "Sec-WebSocket-Accept");
    require(accept && *accept == net::expected_accept(key), "accepted a wrong accept value");
    require(first(r, "Sec-WebSocket-Protocol") == nullptr, "accepted a subprotocol nobody asked for");
    return;
  }
  if (failure->starts_with("HTTP error: ")) {
    require(r.version >= 11 && r.status != 101, "status failure for a 101 or an old version");
    require(failure->starts_with("HTTP error: " + std::to_string(r.status) + " "),
            "status text names another code");
    return;
  }
  bool known = false;
  for (std::string_view text : kCheckFailures) known = known || *failure == text;
  require(known, "unknown check failure: " + *failure);
  require((r.version < 11) == (*failure == kCheckFailures[0]), "version failure for the wrong version");
}

struct Opened {
  bool done = false;
  std::optional<std::string> failure;
  HandshakeResponse response;
};

asio::awaitable<void> open_client(std::string url, asio::any_io_executor executor, Opened* out) {
  auto opened = co_await net::open_connection(url, executor);
  out->done = true;
  if (!opened) {
    out->failure = opened.error().description;
  } else {
    out->response = std::move(opened.value().second);
  }
}

void run(std::string_view input) {
  Opened real;
  const std::string key =
      run_against_peer([input](std::string_view sent_key) { return with_accept(input, sent_key); },
                       [&real](std::string url, asio::any_io_executor executor) {
                         real = Opened{};
                         return open_client(std::move(url), std::move(executor), &real);
                       });
  require(real.done, "opening never finished");
  require(key.size() == 24, "handshake key is not 24 characters");
  if (real.failure) {
    require(starts_with_any(*real.failure,
                            {"IO error: ", "HTTP error: ", "WebSocket protocol error: ",
                             "Space limit exceeded: ", "UTF-8 encoding error: ", "HTTP format error: "}),
            "opening failed with an unknown text: " + *real.failure);
  }

  const std::string bytes = with_accept(input, key);
  const Judged judged = judge(bytes, key);
  if (judged.response) check_verdict(*judged.response, judged.failure, key);
  if (!real.failure) {
    require(judged.response && !judged.failure, "opened although the checks refuse the response");
    require(real.response.status == judged.response->status &&
                real.response.version == judged.response->version &&
                real.response.headers == judged.response->headers,
            "handed-back response differs from the one received");
  }
  // Beast reads a short response in one buffer; longer ones take a path
  // whose size limits this judge does not model.
  if (bytes.size() <= kHandshakeBuffer) {
    require(real.failure == judged.failure, "opening ended with \"" + real.failure.value_or("(open)") +
                                                "\" but the checks say \"" +
                                                judged.failure.value_or("(open)") + "\"");
  }
}

}  // namespace
}  // namespace kestrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrel::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
