// The bridge between the caller's asyncio loop and the background runtime:
// spawn_as_future starts background work and hands Python a future of the
// running loop at once; await_in_loop lets that work await a Python
// awaitable on the same loop without holding the lock or a thread.
#pragma once

#include "python/py_outcome.hpp"
#include "python/ref.hpp"

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <functional>
#include <memory>

#include "core/console.hpp"
#include "net/strategy.hpp"
#include "net/oneshot.hpp"

namespace kestrel::py {

// The loop and context variables captured when the work was started. It
// travels with the work as a value; nothing stores it per thread.
struct LoopBinding {
  PyRef event_loop;
  PyRef context;  // a contextvars.Context
  // Set on the loop thread once Python has cancelled the work's future,
  // before the work is told: from then on no answer is played early.
  std::shared_ptr<std::atomic<bool>> abandoned;
};

// asyncio.get_running_loop() and contextvars.copy_context(). Lock held;
// throws PyError (no running loop: the RuntimeError of get_running_loop).
LoopBinding find_binding();

// Makes the work from its own copy of the binding. Called once, with the
// lock held; the coroutine it returns must not have started.
using WorkFactory = std::function<boost::asio::awaitable<void>(LoopBinding)>;

// Starts the work on the background runtime and returns the loop's future,
// which completes with None, with RustPanic when the work ends in an
// internal failure, or is cancelled by Python (which cancels the work at its
// current suspension point). Lock held. Throws PyError before anything
// started; InternalFailure if the runtime cannot be created. `lines`, the
// work's console lines if it has any, are closed as soon as Python cancels
// the future: the work may still be running, but it prints nothing more.
PyRef spawn_as_future(const WorkFactory& make_work, std::shared_ptr<console::LineGate> lines = nullptr);

// The pending result of await_in_loop.
class LoopAwait {
 public:
  explicit LoopAwait(net::OneshotReceiver<PyOutcome> receiver) : receiver_(std::move(receiver)) {}
  // Waits without the lock. A completion channel closed without an outcome
  // yields a new asyncio.CancelledError as the raised exception.
  boost::asio::awaitable<PyOutcome> wait() &&;

 private:
  net::OneshotReceiver<PyOutcome> receiver_;
};

// Schedules `awaitable` on the binding's loop (ensure_future inside the
// binding's context) and returns the handle to its outcome. Lock held;
// throws PyError when call_soon_threadsafe fails. An answer that is exactly
// an int from 0 to 8 is played through `shortcut` (if any) on the loop
// thread, unless the work was abandoned; every other outcome only travels.
LoopAwait await_in_loop(const LoopBinding& binding, PyRef awaitable,
                        std::shared_ptr<net::MoveShortcut> shortcut = nullptr);

}  // namespace kestrel::py
