// The four plain callables the bridge hands to asyncio, each an instance
// of a small class holding C++ state, created on first use:
//   PyDoneCallback(fut)      a cancelled connect() future stops the work;
//   CheckedCompletor(future, complete, value)
//                            completes a future unless it was cancelled
//                            meanwhile (the authoritative check, on the loop);
//   PyEnsureFuture()         runs an awaitable as a task of the loop and
//                            attaches a PyTaskCompleter;
//   PyTaskCompleter(task)    hands the task's outcome to the waiting worker,
//                            playing an exact int answer on the loop thread.
// All of them run on the loop thread with the lock held.
#pragma once

#include <atomic>
#include <memory>

#include "core/console.hpp"
#include "net/strategy.hpp"
#include "net/oneshot.hpp"
#include "net/task.hpp"
#include "python/py_outcome.hpp"
#include "python/ref.hpp"

namespace kestrel::py {

// What an answer may be played through on the loop thread.
struct EarlyPlay {
  std::shared_ptr<net::MoveShortcut> shortcut;
  std::shared_ptr<std::atomic<bool>> abandoned;
};

// A PyDoneCallback for a work's future; `lines` are closed and `abandoned`
// set when the future is cancelled, before the work is told to stop.
PyRef make_done_callback(std::shared_ptr<console::LineGate> lines,
                         std::shared_ptr<std::atomic<bool>> abandoned);
// The work the callback stops, once it has been spawned.
void set_done_callback_work(PyObject* callback, net::TaskCanceller work);

PyRef make_checked_completor();

// A PyEnsureFuture for `awaitable`, whose outcome goes to `completion`.
PyRef make_ensure_future(PyRef awaitable, net::OneshotSender<PyOutcome> completion, EarlyPlay early);

}  // namespace kestrel::py
