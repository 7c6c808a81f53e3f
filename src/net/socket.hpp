// The TCP socket of a session's connection. It is opened and closed through
// a process-wide registry, so that a child made by fork() can close its
// copies: the child has none of the threads that would close them, and a
// copy left open would keep the connection up after the parent let go.
// Closing a copy sends nothing; the parent's connection goes on.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace kestrel::net {

class TrackedSocket : public boost::asio::ip::tcp::socket {
 public:
  explicit TrackedSocket(const boost::asio::any_io_executor& executor) : tcp::socket(executor) {}
  TrackedSocket(TrackedSocket&&) noexcept = default;
  TrackedSocket& operator=(TrackedSocket&&) = delete;
  ~TrackedSocket();

  // Hide the base class's: every open and close goes through the registry.
  // Only the connection's own strand closes a socket, so the check that it
  // is open needs no lock.
  void open(const boost::asio::ip::tcp& protocol, boost::system::error_code& ec);
  void close(boost::system::error_code& ec);

 private:
  using tcp = boost::asio::ip::tcp;
};

// Beast closes the lowest layer of a stream through this customisation
// point; the base class's close would bypass the registry.
void beast_close_socket(TrackedSocket& socket);

}  // namespace kestrel::net
