// Shutdown as background threads see it: the exit hook registered with
// atexit keeps them away from an interpreter that is shutting down, and
// waits for the ones holding the lock to let go.
#pragma once

namespace kestrel::py {

// Registers the exit hook once (from module initialisation): when the
// interpreter starts to shut down, background threads stop taking the lock,
// and the hook waits for the ones holding it to let go.
void install_exit_hook();

// Counts a background thread about to take the lock; false (nothing
// counted) once shutdown has begun, when it must not take it.
bool begin_background_hold() noexcept;
// Its lock released: uncounts it and wakes a waiting exit hook.
void end_background_hold() noexcept;

}  // namespace kestrel::py
