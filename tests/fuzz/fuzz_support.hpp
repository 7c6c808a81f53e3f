// Shared by the fuzz targets: a broken property stops the run with a line
// naming it, which libFuzzer reports as a crash and keeps the input for.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/console.hpp"

namespace kestrel::fuzz {

[[noreturn]] inline void fail(std::string_view what) {
  console::err_line(std::string("fuzz property broken: ").append(what));
  std::abort();
}

inline void require(bool holds, std::string_view what) {
  if (!holds) fail(what);
}

inline bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
  for (std::string_view p : prefixes) {
    if (text.starts_with(p)) return true;
  }
  return false;
}

}  // namespace kestrel::fuzz
