// Tasks on the background runtime (net/runtime.hpp): coroutines spawned
// onto a strand of their own or a given one, so a task may move between
// workers but never runs on two at once. A task that throws is caught at
// the task boundary: the worker carries on, writes
//   "thread '<name>' panicked at <file>:<line>:<column>:\n<message>\n"
// to standard error, and the task's handle reports the failure. A task
// ended by JoinHandle::cancel() or by throwing TaskAbandoned writes nothing
// and reports cancelled.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/this_coro.hpp>
#include <exception>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "net/oneshot.hpp"

namespace kestrel::net {

// Thrown inside a task to end it the way JoinHandle::cancel() would: the
// task reports cancelled and nothing is written. For work whose outside
// world is gone (the interpreter shutting down), never for failures.
struct TaskAbandoned : std::exception {
  const char* what() const noexcept override { return "task abandoned"; }
};

// How a task ended.
struct TaskFailure {
  std::optional<std::string> message;  // empty when what was thrown had none
};
struct TaskCancelled {};

template <class T>
struct TaskOutcome {
  using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
  std::variant<Value, TaskFailure, TaskCancelled> result;

  static TaskOutcome success(Value value) {
    return {decltype(result)(std::in_place_index<0>, std::move(value))};
  }
  static TaskOutcome failure(TaskFailure failure) {
    return {decltype(result)(std::in_place_index<1>, std::move(failure))};
  }
  static TaskOutcome cancellation() { return {decltype(result)(std::in_place_index<2>)}; }

  bool finished() const noexcept { return result.index() == 0; }
  bool failed() const noexcept { return result.index() == 1; }
  bool cancelled() const noexcept { return result.index() == 2; }
  Value& value() { return std::get<0>(result); }
  const std::optional<std::string>& failure_message() const { return std::get<1>(result).message; }
};

namespace task_detail {

// Shared by a running task and its handle; only touched on the task's strand.
struct TaskControl {
  explicit TaskControl(boost::asio::any_io_executor s) : strand(std::move(s)) {}
  boost::asio::any_io_executor strand;
  boost::asio::cancellation_signal signal;
  bool cancel_requested = false;
  bool finished = false;
};

// Starts the wrapped task on its strand, never inline in the caller.
void launch(const std::shared_ptr<TaskControl>& control, boost::asio::awaitable<void> body);
// Emits a terminal cancellation on the task's strand unless it has finished.
void request_cancel(const std::shared_ptr<TaskControl>& control);
// Classifies an exception that ended a task and writes the report for a
// failure (nothing for a cancellation).
std::variant<TaskFailure, TaskCancelled> end_by_exception(std::exception_ptr error, bool cancel_requested,
                                                          const std::source_location& spawn_site);

// Runs the task and hands its outcome to `on_end` (on the task's strand,
// after the task's own frame is gone).
template <class T, class OnEnd>
boost::asio::awaitable<void> run_task(boost::asio::awaitable<T> task, std::shared_ptr<TaskControl> control,
                                      OnEnd on_end, std::source_location spawn_site) {
  std::optional<TaskOutcome<T>> outcome;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(task);
      outcome.emplace(TaskOutcome<T>::success({}));
    } else {
      outcome.emplace(TaskOutcome<T>::success(co_await std::move(task)));
    }
  } catch (...) {
    auto ended = end_by_exception(std::current_exception(), control->cancel_requested, spawn_site);
    if (std::holds_alternative<TaskFailure>(ended)) {
      outcome.emplace(TaskOutcome<T>::failure(std::get<TaskFailure>(std::move(ended))));
    } else {
      outcome.emplace(TaskOutcome<T>::cancellation());
    }
  }
  // From here on a cancel is a no-op, and a cancellation already delivered
  // must not trip co_spawn's own final step.
  control->finished = true;
  co_await boost::asio::this_coro::reset_cancellation_state();
  std::move(on_end)(std::move(*outcome));
}

// The end of a task whose handle may await it (a send to a dropped handle
// does nothing: the task was detached).
template <class T>
struct SendOutcome {
  OneshotSender<TaskOutcome<T>> done;
  void operator()(TaskOutcome<T> outcome) && { done.send(std::move(outcome)); }
};

// The end of a detached task: nobody is told.
struct IgnoreOutcome {
  void operator()(TaskOutcome<void>) && {}
};

// A new strand of the runtime for a task of its own.
boost::asio::any_io_executor new_task_strand();

template <class T, class OnEnd>
std::shared_ptr<TaskControl> start(boost::asio::any_io_executor strand, boost::asio::awaitable<T> task,
                                   OnEnd on_end, std::source_location where) {
  auto control = std::make_shared<TaskControl>(std::move(strand));
  launch(control, run_task<T, OnEnd>(std::move(task), control, std::move(on_end), where));
  return control;
}

template <class T>
boost::asio::awaitable<TaskOutcome<T>> wait_outcome(OneshotReceiver<TaskOutcome<T>> done) {
  std::optional<TaskOutcome<T>> outcome = co_await done.receive();
  // A task dropped before it ended never sends; it did not finish.
  if (!outcome) co_return TaskOutcome<T>::cancellation();
  co_return std::move(*outcome);
}

}  // namespace task_detail

template <class T>
class JoinHandle;

// Hands `task` to the runtime on `strand`, one of the runtime's and maybe
// shared with other tasks (say, the two halves of one connection), and
// returns at once; callable from any thread. `where` is the location
// reported when the task throws something other than InternalFailure.
template <class T>
JoinHandle<T> spawn_on(boost::asio::any_io_executor strand, boost::asio::awaitable<T> task,
                       std::source_location where = std::source_location::current());

// Cancels one task; copyable, safe from any thread.
class TaskCanceller {
 public:
  TaskCanceller() = default;
  explicit TaskCanceller(std::shared_ptr<task_detail::TaskControl> control) noexcept
      : control_(std::move(control)) {}
  // Terminal cancellation on the task's strand; a no-op once it has ended.
  void cancel() const {
    if (control_) task_detail::request_cancel(control_);
  }

 private:
  std::shared_ptr<task_detail::TaskControl> control_;
};

// Spawns `task` on a strand of its own (creating the runtime if needed)
// and, instead of a handle to await, calls `on_end(TaskOutcome<T>)` on that
// strand once it has ended (a failure already reported). Saves a waiting
// task where nobody needs to wait.
template <class T, class OnEnd>
TaskCanceller spawn_then(boost::asio::awaitable<T> task, OnEnd on_end,
                         std::source_location where = std::source_location::current()) {
  return TaskCanceller(task_detail::start<T, OnEnd>(task_detail::new_task_strand(), std::move(task),
                                                    std::move(on_end), where));
}

// Dropping the handle detaches the task; it runs to its end regardless.
template <class T>
class JoinHandle {
 public:
  JoinHandle() = default;
  JoinHandle(JoinHandle&&) noexcept = default;
  JoinHandle& operator=(JoinHandle&&) noexcept = default;

  // Completes when the task has ended. Call once.
  boost::asio::awaitable<TaskOutcome<T>> join() { return task_detail::wait_outcome<T>(std::move(done_)); }

  // As TaskCanceller::cancel(): safe from any thread, a no-op once ended.
  void cancel() const { canceller_.cancel(); }

 private:
  template <class U>
  friend JoinHandle<U> spawn_on(boost::asio::any_io_executor strand, boost::asio::awaitable<U> task,
                                std::source_location where);
  JoinHandle(TaskCanceller canceller, OneshotReceiver<TaskOutcome<T>> done)
      : canceller_(std::move(canceller)), done_(std::move(done)) {}

  TaskCanceller canceller_;
  OneshotReceiver<TaskOutcome<T>> done_;
};

template <class T>
JoinHandle<T> spawn_on(boost::asio::any_io_executor strand, boost::asio::awaitable<T> task,
                       std::source_location where) {
  auto [sender, receiver] = make_oneshot<TaskOutcome<T>>();
  auto control = task_detail::start<T>(std::move(strand), std::move(task),
                                       task_detail::SendOutcome<T>{std::move(sender)}, where);
  return JoinHandle<T>(TaskCanceller(std::move(control)), std::move(receiver));
}

// Fire and forget: nobody awaits or cancels the task.
inline void spawn_detached_on(boost::asio::any_io_executor strand, boost::asio::awaitable<void> task,
                              std::source_location where = std::source_location::current()) {
  task_detail::start<void>(std::move(strand), std::move(task), task_detail::IgnoreOutcome{}, where);
}

}  // namespace kestrel::net
