// A one-connection server on loopback for the targets that drive the real
// client stack (open_connection, the Beast stream, the halves). It accepts
// the client, reads its handshake request, sends whatever `answer` makes of
// the request's key, shuts its sending side and then drains the client
// until the client closes, so automatic replies never stall and every input
// ends without waiting on a timer.
#pragma once

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

namespace kestrel::fuzz {

namespace peer_detail {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

using Answer = std::function<std::string(std::string_view key)>;

inline asio::awaitable<void> serve_once(tcp::acceptor& acceptor, Answer answer, std::string* key_seen) {
  tcp::socket peer = co_await acceptor.async_accept(asio::use_awaitable);
  acceptor.close();
  boost::beast::flat_buffer buffer;
  http::request<http::string_body> request;
  co_await http::async_read(peer, buffer, request, asio::use_awaitable);
  *key_seen = std::string(request[http::field::sec_websocket_key]);
  const std::string bytes = answer(*key_seen);

  // The client may close before taking everything; that is its right.
  boost::system::error_code ec;
  co_await asio::async_write(peer, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
  peer.shutdown(tcp::socket::shutdown_send, ec);
  char sink[4096];
  while (!ec) {
    co_await peer.async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
  }
  // Reset rather than linger: a run opens thousands of connections.
  peer.set_option(asio::socket_base::linger(true, 0), ec);
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

// Runs `client(url, executor)` against a peer answering with `answer(key)`
// on one io_context until both have ended; returns the key the client sent.
template <class Client>
std::string run_against_peer(const peer_detail::Answer& answer, Client client) {
  namespace asio = boost::asio;
  asio::io_context io(1);
  peer_detail::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  const std::string url = "ws://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/";
  std::string key;
  asio::co_spawn(io, peer_detail::serve_once(acceptor, answer, &key), fail_on_exception("peer"));
  asio::co_spawn(io, client(url, io.get_executor()), fail_on_exception("client"));
  io.run();
  return key;
}

}  // namespace kestrel::fuzz
