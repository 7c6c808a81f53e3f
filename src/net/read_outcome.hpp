// What one read of a connection gives (net/connection.hpp's read half).
#pragma once

#include <variant>

#include "net/transport_error.hpp"
#include "net/ws_message.hpp"

namespace kestrel::net {

// The read half reports a message, the end of the connection, or a failure;
// after the end or a failure it reports the end from then on.
struct ConnectionEnd {};
using ReadOutcome = std::variant<WsMessage, ConnectionEnd, TransportError>;

}  // namespace kestrel::net
