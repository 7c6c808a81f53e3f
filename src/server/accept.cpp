#include "server/accept.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/console.hpp"

namespace kestrel::server {

namespace asio = boost::asio;

asio::awaitable<void> accept_loop(asio::ip::tcp::acceptor& acceptor, asio::io_context& io, std::string port,
                                  StartConnection start) {
  constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
  constexpr auto kReportEvery = std::chrono::seconds(10);
  asio::steady_timer backoff(acceptor.get_executor());
  std::optional<std::chrono::steady_clock::time_point> reported;
  std::uint64_t unreported = 0;
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(asio::make_strand(io), kAwait);
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
    if (ec) {
      // Typically out of file descriptors: let live connections finish
      // instead of spinning on the error, and say so without flooding the
      // log (--quiet or not: the operator needs to know, once).
      const auto now = std::chrono::steady_clock::now();
      if (!reported || now - *reported >= kReportEvery) {
        std::string line = "kestrel-server: accept failed on the " + port + ": " + ec.message();
        if (unreported) line += " (and " + std::to_string(unreported) + " more since the last report)";
        console::err_line(line);
        reported = now;
        unreported = 0;
      } else {
        ++unreported;
      }
      backoff.expires_after(std::chrono::milliseconds(100));
      co_await backoff.async_wait(kAwait);
      continue;
    }
    start(std::move(socket));
  }
}

}  // namespace kestrel::server
