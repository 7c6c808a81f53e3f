#include "python/turn.hpp"

#include "core/failure.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"
#include "net/task.hpp"
#include "python/calls.hpp"
#include "python/error_text.hpp"
#include "python/gil.hpp"
#include "python/process_state.hpp"
#include "python/state.hpp"

namespace kestrel::py {

std::string unwrap_failure_text(const PyError& error) {
  return texts::join(texts::kUnwrapErr, render_error(error));
}

Cell cell_from_answer(PyObject* answer) {
  try {
    PyRef index = checked(PyNumber_Index(answer));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw PyError::fetch();
    std::optional<Cell> cell = cell_from_index(value);
    if (!cell) throw InternalFailure(std::string(texts::kUnwrapNone));
    return *cell;
  } catch (const PyError& error) {
    throw InternalFailure(unwrap_failure_text(error));
  }
}

// Stage 1: with the lock, build the state, call handle_turn and schedule its
// result on the loop.
LoopAwait PyStrategy::start_turn(const TicTacToeState& state,
                                 std::shared_ptr<net::MoveShortcut> shortcut) const {
  GilGuard gil;
  if (!gil) throw net::TaskAbandoned{};  // the interpreter is going away
  KESTREL_STAMP(lock_taken);
  try {
    PyRef state_object = make_state_object(board_entries(state));
    PyRef answer = call_method1(client_.get(), interned_name(&ProcessState::name_handle_turn, "handle_turn"),
                                state_object.get());
    KESTREL_STAMP(turn_called);
    state_object.reset();
    return await_in_loop(binding_, std::move(answer), std::move(shortcut));
  } catch (const PyError& error) {
    throw InternalFailure(unwrap_failure_text(error));
  }
}

boost::asio::awaitable<Cell> PyStrategy::request_move(const TicTacToeState& state) {
  co_return co_await request_move(state, std::shared_ptr<net::MoveShortcut>());
}

boost::asio::awaitable<Cell> PyStrategy::request_move(const TicTacToeState& state,
                                                      const std::shared_ptr<net::MoveShortcut>& shortcut) {
  LoopAwait pending = start_turn(state, shortcut);
  KESTREL_STAMP(lock_released);
  // Stage 2: no lock, no thread held while the loop runs the coroutine.
  PyOutcome outcome = co_await std::move(pending).wait();
  // Stage 3: a plain int came already read on the loop thread; anything else
  // takes the lock again, only to convert the answer.
  if (outcome.index) {
    std::optional<Cell> cell = cell_from_index(*outcome.index);
    if (!cell) throw InternalFailure(std::string(texts::kUnwrapNone));
    co_return *cell;
  }
  GilGuard gil;
  if (!gil) throw net::TaskAbandoned{};  // the interpreter is going away
  if (outcome.raised) {
    throw InternalFailure(unwrap_failure_text(PyError::from_value(std::move(outcome.object))));
  }
  Cell cell = cell_from_answer(outcome.object.get());
  outcome.object.reset();
  co_return cell;
}

std::unique_ptr<net::Strategy> PyStrategy::clone() const { return std::make_unique<PyStrategy>(*this); }

}  // namespace kestrel::py
