#include "net/os_random.hpp"

#include <boost/beast/websocket/stream.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <random>

#if defined(_WIN32)
#include <windows.h>
// After <windows.h>, which it needs.
#include <bcrypt.h>
#elif defined(__linux__)
#include <sys/random.h>
#endif

namespace kestrel::net {

void fill_os_random(std::uint8_t* out, std::size_t size) {
#if defined(_WIN32)
  while (size > 0) {
    const auto chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1 << 20));
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) break;
    out += chunk;
    size -= chunk;
  }
#elif defined(__linux__)
  while (size > 0) {
    const ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // fall back below for what is left
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
#endif
  if (size > 0) {
    std::random_device device;  // the OS source on every platform we build for
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(device());
  }
}

// Beast's key and mask generator keeps one process-wide seed.
void seed_key_generator() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::uint8_t bytes[32];
    fill_os_random(bytes, sizeof bytes);
    std::uint32_t words[8];
    std::memcpy(words, bytes, sizeof words);
    std::seed_seq seq(std::begin(words), std::end(words));
    boost::beast::websocket::seed_prng(seq);
  });
}

}  // namespace kestrel::net
