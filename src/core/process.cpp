#include "core/process.hpp"

#include <mutex>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace kestrel::process {
namespace {

// The registrations, leaked on purpose (a fork may come while static
// destructors run). The mutex is held from prepare to parent/child, so no
// registration lands halfway through a fork.
struct Registry {
  std::mutex mutex;
  std::vector<ForkHandlers> handlers;
};

Registry& registry() {
  static auto* made = new Registry;
  return *made;
}

#if !defined(_WIN32)
void run_prepare() {
  Registry& r = registry();
  r.mutex.lock();
  for (auto it = r.handlers.rbegin(); it != r.handlers.rend(); ++it) {
    if (it->prepare) it->prepare();
  }
}

void run_parent() {
  Registry& r = registry();
  for (auto& handlers : r.handlers) {
    if (handlers.parent) handlers.parent();
  }
  r.mutex.unlock();
}

void run_child() {
  Registry& r = registry();
  for (auto& handlers : r.handlers) {
    if (handlers.child) handlers.child();
  }
  r.mutex.unlock();
}
#endif

}  // namespace

void on_fork(ForkHandlers handlers) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
#if !defined(_WIN32)
  // One registration with the C library for the whole process; it is
  // inherited by children, so it is never needed again.
  static const bool installed = [] { return ::pthread_atfork(run_prepare, run_parent, run_child) == 0; }();
  (void)installed;
#endif
  r.handlers.push_back(std::move(handlers));
}

}  // namespace kestrel::process
