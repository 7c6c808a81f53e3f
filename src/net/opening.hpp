// Opening a connection from a URL, in fixed steps: parse the URL, choose the
// port, resolve (host names on the blocking pool), connect to each address
// in turn, refuse schemes other than ws, then the handshake. Every failure
// carries its printable description.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <string_view>
#include <utility>

#include "core/result.hpp"
#include "net/connection.hpp"
#include "net/handshake.hpp"
#include "net/transport_error.hpp"

namespace kestrel::net {

// Opens a connection to `url`. `executor` (a strand) becomes the
// connection's executor; the calling coroutine may run elsewhere. A
// cancellation ends it with operation_aborted, never with a failure value.
boost::asio::awaitable<Result<std::pair<Connection, HandshakeResponse>, TransportError>> open_connection(
    std::string_view url, boost::asio::any_io_executor executor);

}  // namespace kestrel::net
