// A one-connection server on loopback for the targets that drive the real
// client stack (open_connection, the Beast stream, the halves). It accepts
// the client, reads its handshake request, sends whatever `answer` makes of
// the request's key, shuts its sending side and then drains the client
// until the client closes, so automatic replies never stall and every input
// ends without waiting on a timer.
//
// The loopback connection is the harness's own set-up, not what is tested:
// when it cannot be made (the system has no ephemeral port to give while
// other programs hold thousands in TIME_WAIT), the input is run again after
// a pause, and only a set-up that keeps failing stops the run, under its own
// name rather than as a broken property.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "fuzz_support.hpp"

namespace kestrel::fuzz {

namespace peer_detail {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

using Answer = std::function<std::string(std::string_view key)>;

// How long the harness keeps trying to set up one input's connection: well
// inside the per-input timeout scripts/fuzz.sh gives libFuzzer (10 s).
constexpr auto kSetUpPatience = std::chrono::seconds(5);

// The pauses between tries: short at first, at most half a second.
inline std::chrono::milliseconds after(std::chrono::milliseconds pause) {
  return std::min(pause * 2, std::chrono::milliseconds(500));
}

[[noreturn]] inline void set_up_failed(std::string_view what) {
  console::err_line(std::string("fuzz harness set-up failed (not a finding): ").append(what));
  std::abort();
}

// The process's one listening socket, lent to every input. A listener per
// input, on a port the system picks, left that port in TIME_WAIT behind
// each input's connection, where no connect() may take it for a minute:
// a fast run used up the ephemeral range by itself. Behind one listener
// the TIME_WAITs all share its port.
inline int listening_socket() {
  static const int fd = [] {
    const auto give_up = std::chrono::steady_clock::now() + kSetUpPatience;
    for (auto pause = std::chrono::milliseconds(10);; pause = after(pause)) {
      asio::io_context io(1);
      tcp::acceptor acceptor(io);
      boost::system::error_code ec;
      acceptor.open(tcp::v4(), ec);
      if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
      if (!ec) acceptor.bind({asio::ip::address_v4::loopback(), 0}, ec);
      if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
      if (!ec) acceptor.non_blocking(true, ec);  // the backlog is emptied between inputs without waiting
      if (!ec) return acceptor.release(ec);
      if (std::chrono::steady_clock::now() >= give_up) set_up_failed("no loopback listener: " + ec.message());
      std::this_thread::sleep_for(pause);
    }
  }();
  return fd;
}

// Resets whatever waits in the listener's backlog: a connection an earlier
// input made but never had accepted must not be taken for this one's.
inline void drop_waiting_connections(int listener) {
  for (;;) {
    const int stale = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (stale < 0) return;
    const ::linger reset{1, 0};
    ::setsockopt(stale, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(stale);
  }
}

inline asio::awaitable<void> serve_once(tcp::acceptor& acceptor, Answer answer, std::string* key_seen,
                                        bool* accepted) {
  boost::system::error_code ec;
  tcp::socket peer = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return;  // the client could not connect and the harness called the accept off
  *accepted = true;
  acceptor.close();
  boost::beast::flat_buffer buffer;
  http::request<http::string_body> request;
  co_await http::async_read(peer, buffer, request, asio::use_awaitable);
  *key_seen = std::string(request[http::field::sec_websocket_key]);
  const std::string bytes = answer(*key_seen);

  // The client may close before taking everything; that is its right.
  co_await asio::async_write(peer, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
  peer.shutdown(tcp::socket::shutdown_send, ec);
  char sink[4096];
  while (!ec) {
    co_await peer.async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
  }
  peer.close(ec);
}

}  // namespace peer_detail

// Completion for co_spawn: a coroutine that throws is a finding too.
inline auto fail_on_exception(std::string_view who) {
  return [who](std::exception_ptr e) {
    if (!e) return;
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      fail(std::string(who) + " threw: " + ex.what());
    }
  };
}

namespace peer_detail {

// The client's run, then the accept called off when no connection of its
// reached the peer: once the client's coroutine returns, its opening has
// ended, and a connection it made is the peer's by then.
template <class Client>
asio::awaitable<void> connect_then_release(Client& client, std::string url, tcp::acceptor& acceptor,
                                           const bool* accepted) {
  co_await client(std::move(url), co_await asio::this_coro::executor);
  if (!*accepted) acceptor.close();
}

}  // namespace peer_detail

// Runs `client(url, executor)` against a peer answering with `answer(key)`
// on one io_context until both have ended; returns the key the client sent.
// When the client's connection never reached the peer, all of it runs again
// after a pause, so `client` must start from nothing each time it is called.
template <class Client>
std::string run_against_peer(const peer_detail::Answer& answer, Client client) {
  namespace asio = boost::asio;
  using peer_detail::tcp;
  const int listener = peer_detail::listening_socket();
  const auto give_up = std::chrono::steady_clock::now() + peer_detail::kSetUpPatience;
  for (auto pause = std::chrono::milliseconds(10);; pause = peer_detail::after(pause)) {
    peer_detail::drop_waiting_connections(listener);
    asio::io_context io(1);
    tcp::acceptor acceptor(io);
    // A copy of the listener for this io_context to close; the listener stays.
    const int lent = ::dup(listener);
    boost::system::error_code ec;
    if (lent < 0) {
      ec.assign(errno, boost::system::system_category());
    } else if (acceptor.assign(tcp::v4(), lent, ec); ec) {
      ::close(lent);
    } else {
      const std::string url = "ws://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/";
      std::string key;
      bool accepted = false;
      asio::co_spawn(io, peer_detail::serve_once(acceptor, answer, &key, &accepted),
                     fail_on_exception("peer"));
      asio::co_spawn(io, peer_detail::connect_then_release(client, url, acceptor, &accepted),
                     fail_on_exception("client"));
      io.run();
      if (accepted) return key;
    }
    if (std::chrono::steady_clock::now() >= give_up) {
      peer_detail::set_up_failed(ec ? "no copy of the listener: " + ec.message()
                                    : std::string("the client's connection never reached the loopback peer"));
    }
    std::this_thread::sleep_for(pause);
  }
}

}  // namespace kestrel::fuzz
