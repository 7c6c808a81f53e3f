// A player's connection as the lobby, the seating and a game see it. The
// connection (PlayerSession) knows its game; a game knows its players only
// through this, so neither needs the other's whole definition.
#pragma once

#include <boost/beast/websocket/rfc6455.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/protocol.hpp"

namespace kestrel::server {

class Match;
namespace websocket = boost::beast::websocket;

class SeatConnection {
 public:
  virtual ~SeatConnection() = default;

  // These may be called from any thread; the connection hops onto its own
  // strand.

  // Makes `match` this connection's game and queues the start message.
  virtual void begin_game(std::shared_ptr<Match> match, std::uint64_t seat) = 0;
  // Queues one move of the game; `turn` is the number of moves played with
  // it, handed back to the game once the message is written (its clock).
  virtual void send(Payload payload, std::size_t turn) = 0;
  // Sends what is queued, then closes with `code` and `reason`.
  virtual void finish(websocket::close_code code, std::string reason = {}) = 0;

  // "address:port" of the client, fixed at accept.
  virtual const std::string& peer() const noexcept = 0;
  // The name the parent gave this player (--control), fixed at the
  // handshake; empty: none.
  virtual const std::string& name() const noexcept = 0;
};

}  // namespace kestrel::server
