#include "server/control_reader.hpp"

#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel::server {

struct ControlReader::Shared {
  std::mutex mutex;
  bool closed = false;
  std::function<void(std::string_view)> on_line;
  std::function<void()> on_end;
};

ControlReader::ControlReader(std::function<void(std::string_view)> on_line, std::function<void()> on_end)
    : shared_(std::make_shared<Shared>()) {
  shared_->on_line = std::move(on_line);
  shared_->on_end = std::move(on_end);
  std::thread([shared = shared_] {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::lock_guard guard(shared->mutex);
      if (shared->closed) return;
      shared->on_line(line);
    }
    std::lock_guard guard(shared->mutex);
    if (!shared->closed) shared->on_end();
  }).detach();
}

ControlReader::~ControlReader() {
  std::lock_guard guard(shared_->mutex);
  shared_->closed = true;
}

}  // namespace kestrel::server
