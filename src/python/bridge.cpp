#include "python/bridge.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <atomic>
#include <new>
#include <optional>
#include <string>

#include "core/failure.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"
#include "net/task.hpp"
#include "python/args.hpp"
#include "python/calls.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

namespace asio = boost::asio;

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
    PyRef result = call_method0(future, interned_name(&ProcessState::name_cancelled, "cancelled"));
    return truthy(result.get());
  } catch (PyError& error) {
    print_error(std::move(error));
    return false;
  }
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
  return PyRef::check(
      PyObject_VectorcallMethod(name, vector + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

// ---- bridge classes: plain callables holding C++ state ----

// Instance layout shared by the four classes: the header, then the state
// constructed in place.
template <class State>
struct Holder {
  PyObject_HEAD State state;
};

template <class State>
void holder_dealloc(PyObject* self) {
  guarded_void(self, [&] {
    reinterpret_cast<Holder<State>*>(self)->state.~State();
    PyTypeObject* type = Py_TYPE(self);
    free_instance(self);
    Py_DECREF(type);
  });
}

template <class State>
State& state_of(PyObject* self) {
  return reinterpret_cast<Holder<State>*>(self)->state;
}

struct DoneCallbackState {
  net::TaskCanceller work;
  std::shared_ptr<console::LineGate> lines;
  std::shared_ptr<std::atomic<bool>> abandoned;
};

struct CompletorState {};

// What an answer may be played through on the loop thread.
struct EarlyPlay {
  std::shared_ptr<net::MoveShortcut> shortcut;
  std::shared_ptr<std::atomic<bool>> abandoned;
};

struct EnsureFutureState {
  PyRef awaitable;
  std::optional<net::OneshotSender<PyOutcome>> completion;
  EarlyPlay early;
};

struct TaskCompleterState {
  std::optional<net::OneshotSender<PyOutcome>> completion;
  EarlyPlay early;
};

// One class per State, created on first use.
template <class State>
struct BridgeClass {
  static const char* name;
  static PyObject* ProcessState::*const member;
  static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs);

  static PyTypeObject* type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<State>)},
        {Py_tp_call, reinterpret_cast<void*>(call)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {0, nullptr},
    };
    // "builtins." keeps reprs free of a module name without the interpreter
    // warning about a type that has no __module__.
    static const std::string qualified = std::string("builtins.") + name;
    static PyType_Spec spec = {qualified.c_str(), static_cast<int>(sizeof(Holder<State>)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(fill(member, [] { return create_type_or_fail(spec, name); }));
  }

  // Instances print as <PyDoneCallback object at ...>, with no module, the
  // way object.__repr__ prints a class whose name has none.
  static PyObject* repr(PyObject* self) { return PyUnicode_FromFormat("<%s object at %p>", name, self); }

  static PyRef make(State state) {
    PyTypeObject* cls = type();
    PyRef object = alloc_instance(cls);
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

template <>
PyObject* ProcessState::*const BridgeClass<DoneCallbackState>::member = &ProcessState::done_callback_type;
template <>
PyObject* ProcessState::*const BridgeClass<CompletorState>::member = &ProcessState::completor_type;
template <>
PyObject* ProcessState::*const BridgeClass<EnsureFutureState>::member = &ProcessState::ensure_future_type;
template <>
PyObject* ProcessState::*const BridgeClass<TaskCompleterState>::member = &ProcessState::task_completer_type;

// PyDoneCallback(fut): a cancelled future signals the work to stop.
template <>
PyObject* BridgeClass<DoneCallbackState>::call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto [fut] = args::bind_tuple<1>("PyDoneCallback.__call__()", {"fut"}, args, kwargs);
    // Silenced here, on the loop thread, before the awaiting task learns of
    // the cancel; stopping the work only posts to its strand and never waits
    // (a no-op once the work has ended).
    if (future_cancelled(fut)) {
      DoneCallbackState& state = state_of<DoneCallbackState>(self);
      if (state.abandoned) state.abandoned->store(true);
      if (state.lines) state.lines->close();
      state.work.cancel();
    }
    Py_RETURN_NONE;
  });
}

// CheckedCompletor(future, complete, value): the authoritative check, on the
// loop thread, that the future was not cancelled in the meantime.
template <>
PyObject* BridgeClass<CompletorState>::call(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto [future, complete, value] =
        args::bind_tuple<3>("CheckedCompletor.__call__()", {"future", "complete", "value"}, args, kwargs);
    PyRef cancelled = call_method0(future, interned_name(&ProcessState::name_cancelled, "cancelled"));
    if (!truthy(cancelled.get())) call1(complete, value);
    Py_RETURN_NONE;
  });
}

// Reads an exact int or bool result in place. Their __index__ is the
// interpreter's own, so no user code runs and the result is the one the
// worker would compute; anything else (including an int out of range, whose
// error the worker renders) travels as the object.
// True for an exact int (not a bool).
bool read_plain_index(PyOutcome& outcome) {
  PyObject* value = outcome.object.get();
  const bool exact_int = PyLong_CheckExact(value);
  if (!exact_int && !PyBool_Check(value)) return false;
  unsigned long long index = PyLong_AsUnsignedLongLong(value);
  if (index == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
  outcome.index = index;
  outcome.object.reset();
  return exact_int;
}

// The loop-thread fast path, the one place where a turn goes on outside a
// worker: an exact int naming a cell cannot run user code or fail, so the
// move is applied and its write started here, saving the wake-up of a
// worker before the frame leaves. Anything else -- a bool, an object with
// __index__, a number out of range, an exception, a cancelled turn or
// session -- goes to the worker as before, which converts it and reports
// any failure under its own name.
void play_early(const EarlyPlay& early, PyOutcome& outcome) {
  if (!early.shortcut || (early.abandoned && early.abandoned->load())) return;
  std::optional<Cell> cell = cell_from_index(*outcome.index);
  if (!cell) return;
  try {
    outcome.played = early.shortcut->play(*cell);
  } catch (const std::exception&) {
    // Not played (no memory to encode it): the worker plays it instead.
  }
}

// PyTaskCompleter(task): hands the finished task's outcome to the waiter.
template <>
PyObject* BridgeClass<TaskCompleterState>::call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto [task] = args::bind_tuple<1>("PyTaskCompleter.__call__()", {"task"}, args, kwargs);
    KESTREL_STAMP(completer);
    PyOutcome outcome;
    bool exact_int = false;
    try {
      outcome.object = call_method0(task, interned_name(&ProcessState::name_result, "result"));
      exact_int = read_plain_index(outcome);
    } catch (PyError& error) {
      outcome.object = error.value();
      outcome.raised = true;
    }
    auto& state = state_of<TaskCompleterState>(self);
    if (state.completion) {
      net::OneshotSender<PyOutcome> sender = std::move(*state.completion);
      state.completion.reset();
      EarlyPlay early = std::move(state.early);
      state.early = EarlyPlay{};
      KESTREL_STAMP(answer_ready);
      if (exact_int) play_early(early, outcome);
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
    KESTREL_STAMP(loop_callback);
    auto& state = state_of<EnsureFutureState>(self);
    // Take the sender first: if scheduling fails it must close now, not when
    // this object is freed (a logged traceback can keep it alive).
    std::optional<net::OneshotSender<PyOutcome>> completion = std::move(state.completion);
    state.completion.reset();
    PyRef task = call1(ensure_future_function(), state.awaitable.get());
    KESTREL_STAMP(task_created);
    PyRef completer = BridgeClass<TaskCompleterState>::make(
        TaskCompleterState{std::move(completion), std::move(state.early)});
    call_method1(task.get(), interned_name(&ProcessState::name_add_done_callback, "add_done_callback"),
                 completer.get());
    KESTREL_STAMP(callback_added);
    Py_RETURN_NONE;
  });
}

// ---- spawn_as_future ----

// Completes `fut` on its loop thread, unless it is cancelled by then.
void deliver_outcome(const LoopBinding& binding, PyObject* fut, PyObject* value, bool exception) {
  PyRef complete = get_attr(fut, exception ? "set_exception" : "set_result");
  PyRef completor = BridgeClass<CompletorState>::make(CompletorState{});
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
  PyRef callback =
      BridgeClass<DoneCallbackState>::make(DoneCallbackState{{}, std::move(lines), binding.abandoned});
  call_method1(fut.get(), "add_done_callback", callback.get());
  // The work and its end get their own references now, under the lock.
  asio::awaitable<void> work = make_work(binding);
  net::TaskCanceller canceller = net::spawn_then(std::move(work), FinishWork{fut, std::move(binding)});
  state_of<DoneCallbackState>(callback.get()).work = std::move(canceller);
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
  if (!gil) throw_interpreter_gone();
  co_return PyOutcome{new_cancelled_error(), true, std::nullopt, false};
}

LoopAwait await_in_loop(const LoopBinding& binding, PyRef awaitable,
                        std::shared_ptr<net::MoveShortcut> shortcut) {
  auto [sender, receiver] = net::make_oneshot<PyOutcome>();
  PyRef ensure = BridgeClass<EnsureFutureState>::make(EnsureFutureState{
      std::move(awaitable), std::move(sender), EarlyPlay{std::move(shortcut), binding.abandoned}});
  call_soon_threadsafe(binding.event_loop.get(), {ensure.get()}, binding.context.get());
  KESTREL_STAMP(scheduled);
  return LoopAwait(std::move(receiver));
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
    PyRef module = PyRef::check(PyModule_Create(&g_bridge_module));
    PyObject* panic = rust_panic_type();
    if (PyModule_AddObjectRef(module.get(), "RustPanic", panic) < 0) throw PyError::fetch();
    return module.release();
  });
}
