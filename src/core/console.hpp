// Whole lines straight to file descriptors 1 and 2, bypassing every stream
// buffer (C++, C and Python's sys.stdout alike), so lines from concurrent
// sessions never interleave and a process that exits at once loses nothing.
#pragma once

#include <string_view>

namespace kestrel::console {

// Writes `line` followed by "\n" to standard output as one unit.
void out_line(std::string_view line) noexcept;
// Writes `line` followed by "\n" to standard error as one unit.
void err_line(std::string_view line) noexcept;
// Writes `text` exactly as given (it carries its own line ends).
void out_text(std::string_view text) noexcept;
void err_text(std::string_view text) noexcept;

}  // namespace kestrel::console
