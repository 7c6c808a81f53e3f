// How a transport failure reaches the session: one printable description
// that begins with one of the fixed prefixes in core/texts.hpp. The session
// prints it only when opening fails.
#pragma once

#include <boost/system/error_code.hpp>
#include <string>

namespace kestrel::net {

struct TransportError {
  std::string description;
  friend bool operator==(const TransportError&, const TransportError&) = default;
};

// Every Beast/Asio failure becomes its description here, and only here.
std::string describe_error(const boost::system::error_code& error);

}  // namespace kestrel::net
