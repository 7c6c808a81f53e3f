#include "python/bridge.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <atomic>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"
#include "net/task.hpp"
#include "python/bridge_callables.hpp"
#include "python/calls.hpp"
#include "python/errors.hpp"
#include "python/futures.hpp"
#include "python/gil.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

namespace asio = boost::asio;

PyRef new_cancelled_error() {
  PyRef type = get_attr(asyncio_module(), "CancelledError");
  return call0(type.get());
}

// loop.call_soon_threadsafe(*positional, context=context)
PyRef call_soon_threadsafe(PyObject* loop, std::initializer_list<PyObject*> positional, PyObject* context) {
  PyObject* name = interned_name(&ProcessState::name_call_soon_threadsafe, "call_soon_threadsafe");
  PyObject* names = context_kwnames();
  // vector[0] is scratch space for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
  PyObject* vector[8] = {nullptr, loop};
  std::size_t count = 1;
  for (PyObject* item : positional) vector[1 + count++] = item;
  vector[1 + count] = context;
  return checked(PyObject_VectorcallMethod(name, vector + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

// ---- spawn_as_future ----

// Completes `fut` on its loop thread, unless it is cancelled by then.
void deliver_outcome(const LoopBinding& binding, PyObject* fut, PyObject* value, bool exception) {
  PyRef complete = get_attr(fut, exception ? "set_exception" : "set_result");
  PyRef completor = make_checked_completor();
  call_soon_threadsafe(binding.event_loop.get(), {completor.get(), fut, complete.get(), value}, Py_None);
}

// The end of the work, on its strand, under one acquisition of the lock:
// complete the future (None, or RustPanic for an internal failure) unless it
// was cancelled, then let go of the references. The work's frame is gone by
// now, so taking the lock also applies the releases it left pending (the
// client object among them) instead of leaving them for some later call
// into the module.
struct FinishWork {
  PyRef fut;
  LoopBinding binding;

  void operator()(net::TaskOutcome<void> outcome) && {
    GilGuard gil;
    if (!gil) return;  // the interpreter is going away: leak, touch nothing
    if (!outcome.cancelled() && !future_cancelled(fut.get())) {
      try {
        if (outcome.failed()) {
          const std::optional<std::string>& message = outcome.failure_message();
          std::string text = texts::join(texts::kFuturePanicked,
                                         message ? std::string_view(*message) : texts::kUnknownError);
          PyRef argument = make_str(text);
          PyRef exception = call1(rust_panic_type(), argument.get());
          deliver_outcome(binding, fut.get(), exception.get(), true);
        } else {
          deliver_outcome(binding, fut.get(), Py_None, false);
        }
      } catch (PyError& error) {
        print_error(std::move(error));
      }
    }
    fut.reset();
    binding = LoopBinding{};
  }
};

}  // namespace

LoopBinding find_binding() {
  PyRef loop = call0(get_running_loop_function());
  PyRef copy_context = get_attr(contextvars_module(), "copy_context");
  PyRef context = call0(copy_context.get());
  return LoopBinding{std::move(loop), std::move(context), nullptr};
}

PyRef spawn_as_future(const WorkFactory& make_work, std::shared_ptr<console::LineGate> lines) {
  LoopBinding binding = find_binding();
  binding.abandoned = std::make_shared<std::atomic<bool>>(false);
  PyRef fut = call_method0(binding.event_loop.get(), "create_future");
  PyRef callback = make_done_callback(std::move(lines), binding.abandoned);
  call_method1(fut.get(), "add_done_callback", callback.get());
  // The work and its end get their own references now, under the lock.
  asio::awaitable<void> work = make_work(binding);
  net::TaskCanceller canceller = net::spawn_then(std::move(work), FinishWork{fut, std::move(binding)});
  set_done_callback_work(callback.get(), std::move(canceller));
  return fut;
}

asio::awaitable<PyOutcome> LoopAwait::wait() && {
  net::OneshotReceiver<PyOutcome> receiver = std::move(receiver_);
  std::optional<PyOutcome> outcome = co_await receiver.receive();
  if (!outcome || !outcome->played) KESTREL_STAMP(worker_resumed);
  // A cancel posted before the answer runs first on the work's strand: the
  // answer of a cancelled session is discarded, never played.
  if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) {
    throw net::TaskAbandoned{};
  }
  if (outcome) co_return std::move(*outcome);
  GilGuard gil;
  if (!gil) throw net::TaskAbandoned{};  // the interpreter is going away
  co_return PyOutcome{new_cancelled_error(), true, std::nullopt, false};
}

LoopAwait await_in_loop(const LoopBinding& binding, PyRef awaitable,
                        std::shared_ptr<net::MoveShortcut> shortcut) {
  auto [sender, receiver] = net::make_oneshot<PyOutcome>();
  PyRef ensure = make_ensure_future(std::move(awaitable), std::move(sender),
                                    EarlyPlay{std::move(shortcut), binding.abandoned});
  call_soon_threadsafe(binding.event_loop.get(), {ensure.get()}, binding.context.get());
  KESTREL_STAMP(scheduled);
  return LoopAwait(std::move(receiver));
}

}  // namespace kestrel::py
