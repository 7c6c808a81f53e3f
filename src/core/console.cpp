#include "core/console.hpp"

#include <cerrno>
#include <mutex>
#include <string>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "core/process.hpp"

namespace kestrel::console {

namespace {

// One lock per stream; the write itself is unbuffered, so "flushed" is
// simply "written". Reached through pointers so that a forked child, which
// may inherit them locked by a thread it does not have, gets fresh ones
// (the old ones are left behind, as the interpreter does with its own).
struct StreamLocks {
  std::mutex* out = new std::mutex;
  std::mutex* err = new std::mutex;
};

StreamLocks& locks() {
  static StreamLocks* streams = [] {
    auto* made = new StreamLocks;
    process::after_fork_in_child([made] {
      made->out = new std::mutex;
      made->err = new std::mutex;
    });
    return made;
  }();
  return *streams;
}

std::mutex& lock_for(int fd) { return fd == 1 ? *locks().out : *locks().err; }

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

void emit(int fd, std::string_view text, bool newline, const std::atomic<bool>* closed = nullptr) noexcept {
  try {
    std::string buffer;
    buffer.reserve(text.size() + 1);
    buffer.append(text);
    if (newline) buffer.push_back('\n');
    std::lock_guard guard(lock_for(fd));
    // Checked under the stream's lock, which close() also takes.
    if (closed != nullptr && closed->load()) return;
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

void LineGate::out_line(std::string_view line) const noexcept { emit(1, line, true, &closed_); }
void LineGate::err_line(std::string_view line) const noexcept { emit(2, line, true, &closed_); }
void LineGate::out_text(std::string_view text) const noexcept { emit(1, text, false, &closed_); }

void LineGate::close() noexcept {
  std::scoped_lock both(lock_for(1), lock_for(2));
  closed_.store(true);
}

const LineGate& LineGate::open() {
  static const LineGate never_closed;
  return never_closed;
}

}  // namespace kestrel::console
