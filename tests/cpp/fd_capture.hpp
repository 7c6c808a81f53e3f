// The console writes to file descriptors 1 and 2 directly, past every C and
// C++ stream and from any thread, so tests capture at the descriptor level.
#pragma once

#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <io.h>  // the POSIX names dup, dup2, close, lseek, read
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kestrel::test_support {

// A file that goes away when closed. On Windows std::tmpfile creates it in
// the root of the current drive, which an ordinary user may not write to.
inline std::FILE* temporary_file() {
#if defined(_WIN32)
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (::GetTempPathW(MAX_PATH + 1, folder) == 0 || ::GetTempFileNameW(folder, L"kst", 0, name) == 0)
    return nullptr;
  return ::_wfopen(name, L"w+bD");  // D: deleted on close
#else
  return std::tmpfile();
#endif
}

// Redirects a file descriptor to a temporary file until finish().
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd), file_(temporary_file()), saved_(dup(fd)) { dup2(fileno(file_), fd_); }
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;
  ~FdCapture() { finish(); }

  // Bytes written so far.
  long written() const { return static_cast<long>(lseek(fileno(file_), 0, SEEK_CUR)); }

  // Gives the descriptor back and returns what was written to it; later
  // calls return the same text.
  std::string finish() {
    if (saved_ >= 0) {
      dup2(saved_, fd_);
      close(saved_);
      saved_ = -1;
      lseek(fileno(file_), 0, SEEK_SET);
      char buf[4096];
      for (long n; (n = static_cast<long>(read(fileno(file_), buf, sizeof buf))) > 0;) {
        text_.append(buf, static_cast<std::size_t>(n));
      }
      std::fclose(file_);
    }
    return text_;
  }

 private:
  int fd_;
  std::FILE* file_;
  int saved_;
  std::string text_;
};

}  // namespace kestrel::test_support
