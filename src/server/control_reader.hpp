// The control channel's reading end (--control): stdin, line by line, on a
// thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace kestrel::server {

// Calls `on_line` for each line and `on_end` once at end of input (the
// parent is gone). A blocking read cannot be interrupted portably, so the
// thread is never joined; once the handle is destroyed it calls nothing more.
class ControlReader {
 public:
  ControlReader(std::function<void(std::string_view)> on_line, std::function<void()> on_end);
  ~ControlReader();
  ControlReader(const ControlReader&) = delete;
  ControlReader& operator=(const ControlReader&) = delete;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kestrel::server
