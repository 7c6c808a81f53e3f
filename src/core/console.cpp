#include "core/console.hpp"

#include <cerrno>
#include <mutex>
#include <string>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kestrel::console {
namespace {

// One lock per stream; the write itself is unbuffered, so "flushed" is
// simply "written".
std::mutex& lock_for(int fd) {
  static std::mutex out;
  static std::mutex err;
  return fd == 1 ? out : err;
}

void write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
#if defined(_WIN32)
    const int n = ::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
#else
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
#endif
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a console failure
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void emit(int fd, std::string_view text, bool newline) noexcept {
  try {
    std::string buffer;
    buffer.reserve(text.size() + 1);
    buffer.append(text);
    if (newline) buffer.push_back('\n');
    std::lock_guard guard(lock_for(fd));
    write_all(fd, buffer);
  } catch (...) {
    // Out of memory while formatting a console line: drop the line.
  }
}

}  // namespace

void out_line(std::string_view line) noexcept { emit(1, line, true); }
void err_line(std::string_view line) noexcept { emit(2, line, true); }
void out_text(std::string_view text) noexcept { emit(1, text, false); }
void err_text(std::string_view text) noexcept { emit(2, text, false); }

}  // namespace kestrel::console
