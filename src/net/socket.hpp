// The TCP socket of a session's connection. It is opened and closed through
// a process-wide registry, so that a child made by fork() can close its
// copies: the child has none of the threads that would close them, and a
// copy left open would keep the connection up after the parent let go.
// Closing a copy sends nothing; the parent's connection goes on.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <utility>

namespace kestrel::net {

// Holds its Asio socket rather than being one, so no caller can reach the
// socket's own open or close and skip the registry. Only the connection's
// own strand closes a socket, so the check that it is open needs no lock.
class TrackedSocket {
 public:
  using executor_type = boost::asio::ip::tcp::socket::executor_type;

  explicit TrackedSocket(const boost::asio::any_io_executor& executor) : socket_(executor) {}
  TrackedSocket(TrackedSocket&&) noexcept = default;
  TrackedSocket& operator=(TrackedSocket&&) = delete;
  ~TrackedSocket();

  executor_type get_executor() noexcept { return socket_.get_executor(); }

  void open(const boost::asio::ip::tcp& protocol, boost::system::error_code& ec);
  void close(boost::system::error_code& ec);
  void shutdown(boost::asio::socket_base::shutdown_type what, boost::system::error_code& ec) {
    socket_.shutdown(what, ec);
  }

  template <class Token>
  auto async_connect(const boost::asio::ip::tcp::endpoint& endpoint, Token&& token) {
    return socket_.async_connect(endpoint, std::forward<Token>(token));
  }
  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return socket_.async_read_some(buffers, std::forward<Token>(token));
  }
  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return socket_.async_write_some(buffers, std::forward<Token>(token));
  }

 private:
  boost::asio::ip::tcp::socket socket_;
};

// Beast closes the lowest layer of a stream through this customisation
// point; it has to go through the registry too.
void beast_close_socket(TrackedSocket& socket);

}  // namespace kestrel::net
