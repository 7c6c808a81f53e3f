#include "net/socket.hpp"

#include <mutex>
#include <unordered_set>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <unistd.h>
#endif

#include "core/process.hpp"

namespace kestrel::net {
namespace {

using boost::system::error_code;
#if defined(_WIN32)
// Asio's Windows handle type is a wrapper; the registry keeps the SOCKET in it.
using Native = SOCKET;
#else
using Native = boost::asio::ip::tcp::socket::native_handle_type;
#endif

// The lock is held across opening or closing a socket and its bookkeeping,
// and across a fork, so the set never names a number the process has
// already given to something else.
class Registry {
 public:
  static Registry& instance() {
    static auto* made = [] {
      auto* registry = new Registry;  // leaked: workers may outlive main
      process::on_fork({[registry] { registry->mutex_.lock(); }, [registry] { registry->mutex_.unlock(); },
                        [registry] {
                          for (const Native fd : registry->open_) close_native(fd);
                          registry->open_.clear();
                          registry->mutex_.unlock();
                        }});
      return registry;
    }();
    return *made;
  }

  void open(boost::asio::ip::tcp::socket& socket, const boost::asio::ip::tcp& protocol, error_code& ec) {
    std::lock_guard lock(mutex_);
    socket.open(protocol, ec);
    if (!ec) open_.insert(socket.native_handle());
  }

  void close(boost::asio::ip::tcp::socket& socket, error_code& ec) {
    ec = {};
    if (!socket.is_open()) return;
    std::lock_guard lock(mutex_);
    open_.erase(socket.native_handle());
    socket.close(ec);
  }

 private:
  static void close_native(Native fd) {
#if defined(_WIN32)
    ::closesocket(fd);
#else
    ::close(fd);
#endif
  }

  std::mutex mutex_;
  std::unordered_set<Native> open_;
};

}  // namespace

TrackedSocket::~TrackedSocket() {
  error_code ignored;
  close(ignored);
}

void TrackedSocket::open(const boost::asio::ip::tcp& protocol, error_code& ec) {
  Registry::instance().open(socket_, protocol, ec);
}

void TrackedSocket::close(error_code& ec) { Registry::instance().close(socket_, ec); }

void beast_close_socket(TrackedSocket& socket) {
  error_code ignored;
  socket.close(ignored);
}

}  // namespace kestrel::net
