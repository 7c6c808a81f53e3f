#include "python/bridge.hpp"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <new>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "net/runtime.hpp"
#include "python/args.hpp"

namespace kestrel::py {
namespace {

namespace asio = boost::asio;

// ---- process-wide Python objects, filled on first use under the lock ----

// A slot filled once under the lock and kept for the life of the process.
// A failed fill leaves it empty so the next use tries again.
template <class Make>
PyObject* cached(PyObject*& slot, Make make) {
  if (slot == nullptr) {
    PyRef made = make();
    if (slot == nullptr) slot = made.release();
  }
  return slot;
}

PyObject* asyncio_module() {
  static PyObject* slot = nullptr;
  return cached(slot, [] { return import_module("asyncio"); });
}

PyObject* contextvars_module() {
  static PyObject* slot = nullptr;
  return cached(slot, [] { return import_module("contextvars"); });
}

PyObject* ensure_future_function() {
  static PyObject* slot = nullptr;
  return cached(slot, [] { return get_attr(asyncio_module(), "ensure_future"); });
}

PyObject* get_running_loop_function() {
  static PyObject* slot = nullptr;
  return cached(slot, [] { return get_attr(asyncio_module(), "get_running_loop"); });
}

PyRef new_cancelled_error() {
  PyRef type = get_attr(asyncio_module(), "CancelledError");
  return call0(type.get());
}

// Prints the current Python error the way the interpreter reports one.
void print_error(PyError error) {
  std::move(error).restore();
  PyErr_PrintEx(1);
}

// fut.cancelled(); a raise is printed and counts as "not cancelled".
bool future_cancelled(PyObject* future) {
  try {
    PyRef result = call_method0(future, "cancelled");
    return truthy(result.get());
  } catch (PyError& error) {
    print_error(std::move(error));
    return false;
  }
}

// callable(*positional, context=context)
PyRef call_with_context(PyObject* callable, std::initializer_list<PyObject*> positional,
                        PyObject* context) {
  PyRef names = PyRef::check(Py_BuildValue("(s)", "context"));
  PyObject* vector[8];
  std::size_t count = 0;
  for (PyObject* item : positional) vector[count++] = item;
  vector[count] = context;
  return PyRef::check(PyObject_Vectorcall(callable, vector, count, names.get()));
}

// ---- bridge classes: plain callables holding C++ state ----

// Instance layout shared by the four classes: the header, then the state
// constructed in place.
template <class State>
struct Holder {
  PyObject_HEAD
  State state;
};

template <class State>
void holder_dealloc(PyObject* self) {
  guarded_void(self, [&] {
    reinterpret_cast<Holder<State>*>(self)->state.~State();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  });
}

template <class State>
State& state_of(PyObject* self) {
  return reinterpret_cast<Holder<State>*>(self)->state;
}

struct CancelSignal {};

struct DoneCallbackState {
  std::optional<OneshotSender<CancelSignal>> cancel;
};

struct CompletorState {};

struct EnsureFutureState {
  PyRef awaitable;
  std::optional<OneshotSender<PyOutcome>> completion;
};

struct TaskCompleterState {
  std::optional<OneshotSender<PyOutcome>> completion;
};

// One class per State, created on first use.
template <class State>
struct BridgeClass {
  static const char* name;
  static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs);

  static PyTypeObject* type() {
    static PyObject* slot = nullptr;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<State>)},
        {Py_tp_call, reinterpret_cast<void*>(call)},
        {0, nullptr},
    };
    // "builtins." keeps reprs free of a module name without the interpreter
    // warning about a type that has no __module__.
    static const std::string qualified = std::string("builtins.") + name;
    static PyType_Spec spec = {qualified.c_str(), static_cast<int>(sizeof(Holder<State>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(cached(slot, [] {
      PyRef created = create_type_or_fail(spec, name);
      // Instances print as <PyDoneCallback object at ...>, with no module.
      reinterpret_cast<PyTypeObject*>(created.get())->tp_name = name;
      return created;
    }));
  }

  static PyRef make(State state) {
    PyTypeObject* cls = type();
    PyRef object = PyRef::check(cls->tp_alloc(cls, 0));
    new (&state_of<State>(object.get())) State(std::move(state));
    return object;
  }
};

template <>
const char* BridgeClass<DoneCallbackState>::name = "PyDoneCallback";
template <>
const char* BridgeClass<CompletorState>::name = "CheckedCompletor";
template <>
const char* BridgeClass<EnsureFutureState>::name = "PyEnsureFuture";
template <>
const char* BridgeClass<TaskCompleterState>::name = "PyTaskCompleter";

// PyDoneCallback(fut): a cancelled future signals the work to stop.
template <>
PyObject* BridgeClass<DoneCallbackState>::call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto [fut] = args::bind_tuple<1>("PyDoneCallback.__call__()", {"fut"}, args, kwargs);
    if (future_cancelled(fut)) {
      auto& cancel = state_of<DoneCallbackState>(self).cancel;
      if (cancel) {
        OneshotSender<CancelSignal> sender = std::move(*cancel);
        cancel.reset();
        sender.send(CancelSignal{});  // the work may be gone already
      }
    }
    Py_RETURN_NONE;
  });
}

// CheckedCompletor(future, complete, value): the authoritative check, on the
// loop thread, that the future was not cancelled in the meantime.
template <>
PyObject* BridgeClass<CompletorState>::call(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto [future, complete, value] = args::bind_tuple<3>("CheckedCompletor.__call__()",
                                                         {"future", "complete", "value"}, args, kwargs);
    PyRef cancelled = call_method0(future, "cancelled");
    if (!truthy(cancelled.get())) call1(complete, value);
    Py_RETURN_NONE;
  });
}

// PyTaskCompleter(task): hands the finished task's outcome to the waiter.
template <>
PyObject* BridgeClass<TaskCompleterState>::call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto [task] = args::bind_tuple<1>("PyTaskCompleter.__call__()", {"task"}, args, kwargs);
    PyOutcome outcome;
    try {
      outcome.object = call_method0(task, "result");
    } catch (PyError& error) {
      outcome.object = error.value();
      outcome.raised = true;
    }
    auto& completion = state_of<TaskCompleterState>(self).completion;
    if (completion) {
      OneshotSender<PyOutcome> sender = std::move(*completion);
      completion.reset();
      sender.send(std::move(outcome));  // discarded if the waiter has gone
    }
    Py_RETURN_NONE;
  });
}

// PyEnsureFuture(): runs the awaitable as a task of the loop and attaches
// the completer.
template <>
PyObject* BridgeClass<EnsureFutureState>::call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    args::bind_tuple<0>("PyEnsureFuture.__call__()", {}, args, kwargs);
    auto& state = state_of<EnsureFutureState>(self);
    // Take the sender first: if scheduling fails it must close now, not when
    // this object is freed (a logged traceback can keep it alive).
    std::optional<OneshotSender<PyOutcome>> completion = std::move(state.completion);
    state.completion.reset();
    PyRef task = call1(ensure_future_function(), state.awaitable.get());
    PyRef completer = BridgeClass<TaskCompleterState>::make(TaskCompleterState{std::move(completion)});
    call_method1(task.get(), "add_done_callback", completer.get());
    Py_RETURN_NONE;
  });
}

// ---- spawn_as_future ----

// E: complete `fut` on its loop thread, unless it is cancelled by then.
void deliver_outcome(const LoopBinding& binding, PyObject* fut, PyObject* value, bool exception) {
  PyRef complete = get_attr(fut, exception ? "set_exception" : "set_result");
  PyRef completor = BridgeClass<CompletorState>::make(CompletorState{});
  PyRef method = get_attr(binding.event_loop.get(), "call_soon_threadsafe");
  call_with_context(method.get(), {completor.get(), fut, complete.get(), value}, Py_None);
}

// D, after the work: deliver None unless the future was cancelled.
void complete_work(PyRef& fut, LoopBinding& binding) {
  GilGuard gil;
  if (!gil) return;  // the interpreter is going away: leak, touch nothing
  if (!future_cancelled(fut.get())) {
    try {
      deliver_outcome(binding, fut.get(), Py_None, false);
    } catch (PyError& error) {
      print_error(std::move(error));
    }
  }
  fut.reset();
  binding = LoopBinding{};
}

// D: the work task. The work's frame, and everything it captured, is gone
// once the co_await returns, so the lock taken next applies its releases.
asio::awaitable<void> run_work(asio::awaitable<void> work, PyRef fut, LoopBinding binding) {
  co_await std::move(work);
  complete_work(fut, binding);
}

// C4: the work ended in an internal failure.
void report_failure(PyRef& fut, LoopBinding& binding, const std::optional<std::string>& message) {
  GilGuard gil;
  if (!gil) return;
  if (!future_cancelled(fut.get())) {
    std::string text = "rust future panicked: " + (message ? *message : std::string("unknown error"));
    try {
      PyRef argument = make_str(text);
      PyRef exception = call1(rust_panic_type(), argument.get());
      deliver_outcome(binding, fut.get(), exception.get(), true);
    } catch (PyError& error) {
      print_error(std::move(error));
    }
  }
  fut.reset();
  binding = LoopBinding{};
}

// Cancels the work when the done-callback signals; otherwise waits until the
// supervisor stops watching (it never completes on its own).
asio::awaitable<void> watch_cancel(OneshotReceiver<CancelSignal> cancel, const net::JoinHandle<void>& work) {
  std::optional<CancelSignal> signal = co_await cancel.receive();
  if (signal) work.cancel();
  asio::steady_timer forever(co_await asio::this_coro::executor, asio::steady_timer::time_point::max());
  co_await forever.async_wait(asio::use_awaitable);
}

// C: the supervisor task.
asio::awaitable<void> supervise(asio::awaitable<void> work_task, PyRef fut, LoopBinding binding,
                                OneshotReceiver<CancelSignal> cancel) {
  using namespace asio::experimental::awaitable_operators;
  net::JoinHandle<void> handle = net::spawn(std::move(work_task));
  auto ended = co_await (handle.join() || watch_cancel(std::move(cancel), handle));
  const auto& outcome = std::get<0>(ended);
  if (outcome.failed()) {
    report_failure(fut, binding, outcome.failure_message());
    co_return;
  }
  // The work task delivered (or skipped) the outcome itself. Let go of our
  // references under the lock, which also applies what a cancelled work left
  // in the pending lists (the client object among them), so nothing waits
  // for some later call into the module.
  GilGuard gil;
  if (!gil) co_return;
  fut.reset();
  binding = LoopBinding{};
}

}  // namespace

LoopBinding find_binding() {
  PyRef loop = call0(get_running_loop_function());
  PyRef copy_context = get_attr(contextvars_module(), "copy_context");
  PyRef context = call0(copy_context.get());
  return LoopBinding{std::move(loop), std::move(context)};
}

PyRef spawn_as_future(const WorkFactory& make_work) {
  LoopBinding binding = find_binding();
  auto [cancel_sender, cancel_receiver] = make_oneshot<CancelSignal>();
  PyRef fut = call_method0(binding.event_loop.get(), "create_future");
  {
    PyRef callback = BridgeClass<DoneCallbackState>::make(DoneCallbackState{std::move(cancel_sender)});
    call_method1(fut.get(), "add_done_callback", callback.get());
  }
  // The work and both tasks get their own references now, under the lock.
  asio::awaitable<void> work_task = run_work(make_work(binding), fut, binding);
  net::spawn_detached(supervise(std::move(work_task), fut, binding, std::move(cancel_receiver)));
  return fut;
}

asio::awaitable<PyOutcome> LoopAwait::wait() && {
  OneshotReceiver<PyOutcome> receiver = std::move(receiver_);
  std::optional<PyOutcome> outcome = co_await receiver.receive();
  if (outcome) co_return std::move(*outcome);
  GilGuard gil;
  if (!gil) throw_interpreter_gone();
  co_return PyOutcome{new_cancelled_error(), true};
}

LoopAwait await_in_loop(const LoopBinding& binding, PyRef awaitable) {
  auto [sender, receiver] = make_oneshot<PyOutcome>();
  PyRef ensure = BridgeClass<EnsureFutureState>::make(EnsureFutureState{std::move(awaitable), std::move(sender)});
  PyRef method = get_attr(binding.event_loop.get(), "call_soon_threadsafe");
  call_with_context(method.get(), {ensure.get()}, binding.context.get());
  return LoopAwait(std::move(receiver));
}

PyObject* rust_panic_type() {
  static PyObject* slot = nullptr;
  if (slot == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_asyncio.RustPanic", nullptr, PyExc_Exception, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      throw InternalFailure("Failed to initialize new exception type.");
    }
    if (slot == nullptr) {
      slot = type;
    } else {
      Py_DECREF(type);
    }
  }
  return slot;
}

// ---- the bridge's own module ----

namespace {

PyModuleDef g_bridge_module = {
    PyModuleDef_HEAD_INIT, "pyo3_asyncio", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kestrel::py

PyMODINIT_FUNC PyInit_pyo3_asyncio() {
  using namespace kestrel::py;
  return guarded<PyObject*>(nullptr, []() -> PyObject* {
    PyRef module = PyRef::check(PyModule_Create2(&g_bridge_module, 1013));
    PyObject* panic = rust_panic_type();
    if (PyModule_AddObjectRef(module.get(), "RustPanic", panic) < 0) throw PyError::fetch();
    return module.release();
  });
}
