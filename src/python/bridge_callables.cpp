#include "python/bridge_callables.hpp"

#include <new>
#include <optional>
#include <string>

#include "core/turn_stamps.hpp"
#include "python/args.hpp"
#include "python/calls.hpp"
#include "python/entry.hpp"
#include "python/futures.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {

namespace {

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

}  // namespace

PyRef make_done_callback(std::shared_ptr<console::LineGate> lines,
                         std::shared_ptr<std::atomic<bool>> abandoned) {
  return BridgeClass<DoneCallbackState>::make(DoneCallbackState{{}, std::move(lines), std::move(abandoned)});
}

void set_done_callback_work(PyObject* callback, net::TaskCanceller work) {
  state_of<DoneCallbackState>(callback).work = std::move(work);
}

PyRef make_checked_completor() { return BridgeClass<CompletorState>::make(CompletorState{}); }

PyRef make_ensure_future(PyRef awaitable, net::OneshotSender<PyOutcome> completion, EarlyPlay early) {
  return BridgeClass<EnsureFutureState>::make(
      EnsureFutureState{std::move(awaitable), std::move(completion), std::move(early)});
}

}  // namespace kestrel::py
