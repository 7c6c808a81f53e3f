// What the spectator port answers: an answer's status line and headers, the
// security policy every answer and the page carry, the status a malformed
// request gets, the head of the event stream and the answer to a connection
// turned away at accept.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/system/error_code.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::server::web {

// Starts the event stream: its status line, headers and reconnect delay.
extern const std::string_view kEventsHead;
// Written whole to a socket turned away at accept (503).
extern const std::string_view kFullAnswer;

// The page's Content-Security-Policy.
const std::string& page_policy();

// The status a request that failed to parse gets; none when there is nobody
// to answer (the peer closed, or the deadline did). `target` is what the
// parser read of the request line: empty if it never got past it.
std::optional<boost::beast::http::status> status_for(const boost::system::error_code& ec,
                                                     std::string_view target);

// One answer: the status line and headers, then a body in parts (shared
// text stays shared while it is written).
struct Answer {
  boost::beast::http::status status = boost::beast::http::status::ok;
  std::string_view type = "text/plain; charset=utf-8";
  std::string_view allow;
  bool page = false;
  bool close = false;
  std::vector<std::shared_ptr<const std::string>> held;
  std::vector<boost::asio::const_buffer> body;

  static Answer text(boost::beast::http::status status, std::string_view text);
  std::string head(bool keep_alive_header) const;
};

}  // namespace kestrel::server::web
