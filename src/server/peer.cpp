#include "server/peer.hpp"

#include <boost/system/error_code.hpp>

namespace kestrel::server {

std::string describe_peer(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ec;
  const auto ep = socket.remote_endpoint(ec);
  if (ec) return "unknown peer";
  const auto address = ep.address();
  return (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
         std::to_string(ep.port());
}

}  // namespace kestrel::server
