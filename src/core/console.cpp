#include "core/console.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
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

#if defined(_WIN32)
// The C runtime's _write would turn each "\n" into "\r\n" on a descriptor
// in text mode (the default): the bytes go to the descriptor's handle
// instead, as they are. A console gets them as UTF-16, so that it shows the
// text whatever its code page.
void write_all(int fd, std::string_view bytes) noexcept {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  DWORD mode = 0;
  if (::GetConsoleMode(handle, &mode)) {
    const int size = static_cast<int>(bytes.size());
    const int wide_size = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
    if (wide_size > 0) {
      try {
        std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, wide.data(), wide_size);
        DWORD written = 0;
        ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
      } catch (...) {
        // Out of memory: drop the line, as on any other console failure.
      }
      return;
    }
  }
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return;
    bytes.remove_prefix(written);
  }
}
#else
void write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a console failure
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}
#endif

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
