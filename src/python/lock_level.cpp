#include "python/lock_level.hpp"

#include "python/interpreter_probes.hpp"

namespace kestrel::py {

bool holds_lock() noexcept {
  if (t_lock_level > 0) return true;
  // Once shutdown began, only our own count is trustworthy.
  if (g_exit_hook_ran.load(std::memory_order_relaxed)) return false;
  return thread_state_is_current();
}

}  // namespace kestrel::py
