#include "server/accept.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <string>
#include <utility>

#include "core/console.hpp"

namespace kestrel::server {

namespace asio = boost::asio;

asio::awaitable<void> accept_loop(asio::ip::tcp::acceptor& acceptor, asio::io_context& io,
                                  AcceptFailures failures, StartConnection start) {
  constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
  asio::steady_timer backoff(acceptor.get_executor());
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(asio::make_strand(io), kAwait);
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
    if (ec) {
      // Typically out of file descriptors: let live connections finish
      // instead of spinning on the error.
      if (failures == AcceptFailures::Logged)
        console::err_line("kestrel-server: accept failed: " + ec.message());
      backoff.expires_after(std::chrono::milliseconds(100));
      co_await backoff.async_wait(kAwait);
      continue;
    }
    start(std::move(socket));
  }
}

}  // namespace kestrel::server
