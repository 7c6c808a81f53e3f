#include "server/web.hpp"

#include <boost/asio/buffer.hpp>
#include <array>
#include <utility>

#include "server/descriptors.hpp"
#include "server/server_state.hpp"
#include "server/web_answers.hpp"
#include "server/web_session.hpp"

// Admission to the web port: a connection over --web-connections, or one
// that took a descriptor kept for players, is answered 503 and closed before
// any session exists.
namespace kestrel::server {
namespace {

// Before any session exists: a fresh socket's send buffer takes the whole
// answer at once, and what the client already sent is read first so that
// the close is a FIN, not a reset that could discard the answer.
void turn_away(tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(asio::buffer(web::kFullAnswer), ignored);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  std::array<char, 1024> sink;
  socket.read_some(asio::buffer(sink), ignored);
  socket.close(ignored);
}

}  // namespace

void start_spectator(tcp::socket socket, ServerState& server) {
  // Counted first, so that two accepts at once cannot both take the last place.
  if (server.spectator_connections.fetch_add(1) >= server.options.web_connections ||
      in_descriptor_reserve(socket)) {
    server.spectator_connections.fetch_sub(1);
    return turn_away(socket);
  }
  start_web_session(std::move(socket), server);
}

}  // namespace kestrel::server
