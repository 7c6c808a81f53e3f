// The strategy behind a Python client object: each local turn calls the
// object's handle_turn with a PyTicTacToeState and awaits the answer on the
// caller's event loop.
#pragma once

#include "python/errors.hpp"
#include "python/bridge.hpp"

#include <boost/asio/awaitable.hpp>
#include <memory>

#include "net/strategy.hpp"

namespace kestrel::py {

class PyStrategy final : public net::Strategy {
 public:
  PyStrategy(PyRef client, LoopBinding binding) noexcept
      : client_(std::move(client)), binding_(std::move(binding)) {}

  // Yields the answer of handle_turn as a Cell, or throws InternalFailure
  // when the answer is unusable or calling into Python failed.
  boost::asio::awaitable<Cell> request_move(const TicTacToeState& state) override;
  // The same; an exact int answer from 0 to 8 is played through `shortcut`
  // on the loop thread, and the cell still yielded here.
  boost::asio::awaitable<Cell> request_move(const TicTacToeState& state,
                                            const std::shared_ptr<net::MoveShortcut>& shortcut) override;
  // Another reference to the same client object and loop.
  std::unique_ptr<net::Strategy> clone() const override;

 private:
  LoopAwait start_turn(const TicTacToeState& state, std::shared_ptr<net::MoveShortcut> shortcut) const;

  PyRef client_;
  LoopBinding binding_;
};

// Turns an unsigned number of the interpreter's integer-index protocol into
// a cell, or throws InternalFailure with the unwrap messages. Lock held.
Cell cell_from_answer(PyObject* answer);

// "called `Result::unwrap()` on an `Err` value: PyErr { ... }". Lock held.
std::string unwrap_failure_text(const PyError& error);

}  // namespace kestrel::py
