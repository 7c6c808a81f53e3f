// How close the process is to its limit of open descriptors, for the
// spectator listener: it must never take the descriptors a player needs.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace kestrel::server {

// Whether `socket`, just accepted, took one of the last descriptors the
// process may open: a quarter of the soft RLIMIT_NOFILE (at least 16) is
// kept for the game port. Descriptors are numbered from the lowest free one,
// so a socket numbered N means N others are open; spectators never hold a
// number in the kept range, which therefore stays for players whatever
// spectators do. Always false where sockets are not numbered that way
// (Windows handles) or the limit is unlimited.
bool in_descriptor_reserve(boost::asio::ip::tcp::socket& socket);

}  // namespace kestrel::server
