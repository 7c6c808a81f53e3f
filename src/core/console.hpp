// Whole lines straight to file descriptors 1 and 2, bypassing every stream
// buffer (C++, C and Python's sys.stdout alike), so lines from concurrent
// sessions never interleave and a process that exits at once loses nothing.
#pragma once

#include <atomic>
#include <string_view>

namespace kestrel::console {

// Writes `line` followed by "\n" to standard output as one unit.
void out_line(std::string_view line) noexcept;
// Writes `line` followed by "\n" to standard error as one unit.
void err_line(std::string_view line) noexcept;
// Writes `text` exactly as given (it carries its own line ends).
void out_text(std::string_view text) noexcept;
void err_text(std::string_view text) noexcept;

// The lines of one session, which fall silent for good when the session is
// abandoned: once close() has returned, none of them is written any more (a
// line already being written is finished first). Safe from any thread.
class LineGate {
 public:
  void out_line(std::string_view line) const noexcept;
  void err_line(std::string_view line) const noexcept;
  void out_text(std::string_view text) const noexcept;
  void close() noexcept;

  // A gate that is never closed, for sessions nobody abandons.
  static const LineGate& open();

 private:
  std::atomic<bool> closed_{false};
};

}  // namespace kestrel::console
