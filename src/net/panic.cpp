#include "net/panic.hpp"

#include <string>

#include "core/console.hpp"
#include "core/texts.hpp"
#include "net/os_thread.hpp"

namespace kestrel::net {

void report_panic(const std::source_location* where, std::string_view message) noexcept {
  try {
    const std::string place = where == nullptr
                                  ? std::string("<unknown>")
                                  : std::string(where->file_name()) + ":" + std::to_string(where->line()) +
                                        ":" + std::to_string(where->column());
    const std::string report = texts::panic_report(current_thread_name(), place, message);
    console::err_text(report);
  } catch (...) {
    // Out of memory while describing the failure: say at least that much.
    console::err_line("thread panicked");
  }
}

}  // namespace kestrel::net
