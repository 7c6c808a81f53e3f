#include "server/descriptors.hpp"

#include <algorithm>
#include <cstdint>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace kestrel::server {

bool in_descriptor_reserve([[maybe_unused]] boost::asio::ip::tcp::socket& socket) {
#if defined(_WIN32)
  return false;
#else
  // Read each time: the limit can be changed from outside (prlimit), and
  // the call costs less than the accept that precedes it.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
  const auto soft = static_cast<std::uint64_t>(limit.rlim_cur);
  const std::uint64_t kept = std::max<std::uint64_t>(soft / 4, 16);
  const auto number = socket.native_handle();
  return number < 0 || soft <= kept || static_cast<std::uint64_t>(number) >= soft - kept;
#endif
}

}  // namespace kestrel::server
