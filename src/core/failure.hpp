// The one kind of unrecoverable condition: it carries a message and where it
// was raised. Nothing in the game or the session catches it; the runtime
// does at the task boundary, the Python entry guard at the interpreter edge.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace kestrel {

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(std::string message, std::source_location where = std::source_location::current())
      : std::runtime_error(std::move(message)), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

}  // namespace kestrel
