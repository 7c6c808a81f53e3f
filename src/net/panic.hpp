// The report of an internal failure, written where it was caught: by a
// task's boundary (net/task.hpp), a worker's loop (net/runtime.cpp) or the
// Python module's error path.
#pragma once

#include <source_location>
#include <string_view>

namespace kestrel::net {

// Writes the report of an internal failure to standard error:
//   "thread '<name>' panicked at <file>:<line>:<column>:\n<message>\n"
// naming the calling thread ("<unknown>" when there is no location).
void report_panic(const std::source_location* where, std::string_view message) noexcept;

}  // namespace kestrel::net
