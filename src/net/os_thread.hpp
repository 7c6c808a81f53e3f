// Small portable wrappers over the OS for threads: the one place where the
// platform's thread calls are made, Windows and POSIX side by side.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::net {

std::size_t processor_count() noexcept;  // at least 1
void set_current_thread_name(std::string_view name) noexcept;
std::string current_thread_name();  // as set here, else the OS name, else "<unnamed>"

}  // namespace kestrel::net
