#include "server/web_answers.hpp"

#include <boost/beast/http.hpp>

#include "server/server_state.hpp"
#include "server/web_page.hpp"

namespace kestrel::server::web {

namespace http = boost::beast::http;

// On every answer.
#define KESTREL_COMMON_HEADERS          \
  "Server: kestrel-server\r\n"          \
  "Cache-Control: no-store\r\n"         \
  "X-Content-Type-Options: nosniff\r\n" \
  "Referrer-Policy: no-referrer\r\n"

const std::string_view kEventsHead = "HTTP/1.1 200 OK\r\n" KESTREL_COMMON_HEADERS
                                     "Content-Type: text/event-stream\r\n"
                                     "Connection: close\r\n"
                                     "\r\n"
                                     "retry: 1000\n\n";

// Written whole to a socket turned away at accept.
const std::string_view kFullAnswer = "HTTP/1.1 503 Service Unavailable\r\n" KESTREL_COMMON_HEADERS
                                     "Content-Type: text/plain; charset=utf-8\r\n"
                                     "Content-Length: 20\r\n"
                                     "Retry-After: 5\r\n"
                                     "Connection: close\r\n"
                                     "\r\n"
                                     "too many spectators\n";

// The page may run and style only what it carries itself, talk only to this
// server and be framed by nobody.
const std::string& page_policy() {
  static const std::string policy = [] {
    auto sources = [](std::string_view hashes) {
      return hashes.empty() ? std::string("'none'") : std::string(hashes);
    };
    return "default-src 'none'; script-src " + sources(kWebPageScriptHashes) + "; style-src " +
           sources(kWebPageStyleHashes) +
           "; img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
  }();
  return policy;
}

// The status a request that failed to parse gets; none when there is nobody
// to answer (the peer closed, or the deadline did). `target` is what the
// parser read of the request line: empty if it never got past it.
std::optional<http::status> status_for(const boost::system::error_code& ec, std::string_view target) {
  if (ec.category() != http::make_error_code(http::error::end_of_stream).category()) return std::nullopt;
  if (ec == http::error::end_of_stream || ec == http::error::partial_message) return std::nullopt;
  if (ec == http::error::body_limit) return http::status::payload_too_large;
  if (ec == http::error::header_limit) {
    // Over the limit with the request line still open: the target is to blame.
    return target.empty() ? http::status::uri_too_long : http::status::request_header_fields_too_large;
  }
  return http::status::bad_request;
}

Answer Answer::text(http::status status, std::string_view text) {
  Answer answer;
  answer.status = status;
  answer.body.push_back(asio::buffer(text));
  return answer;
}

std::string Answer::head(bool keep_alive_header) const {
  std::size_t length = 0;
  for (const auto& part : body) length += part.size();
  std::string out = "HTTP/1.1 " + std::to_string(static_cast<unsigned>(status)) + " ";
  out += http::obsolete_reason(status);
  out += "\r\n" KESTREL_COMMON_HEADERS "Content-Type: ";
  out += type;
  out += "\r\nContent-Length: " + std::to_string(length) + "\r\n";
  if (!allow.empty()) out.append("Allow: ").append(allow).append("\r\n");
  if (page) out += "Content-Security-Policy: " + page_policy() + "\r\n";
  if (close) {
    out += "Connection: close\r\n";
  } else if (keep_alive_header) {
    out += "Connection: keep-alive\r\n";
  }
  return out + "\r\n";
}

}  // namespace kestrel::server::web
