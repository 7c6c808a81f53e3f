// PyTicTacToeState: the read-only snapshot of the board handed to
// handle_turn. Not published by the module; Python reaches the class only
// through its instances.
#pragma once

#include "python/ref.hpp"

#include <optional>
#include <string>
#include <vector>

#include "core/game.hpp"

namespace kestrel::py {

using BoardEntries = std::vector<std::optional<std::string>>;

// "X" for Player1, "O" for Player2, nothing for an empty cell, in cell order.
BoardEntries board_entries(const TicTacToeState& state);

// A new PyTicTacToeState owning `entries`. Requires the lock; creating the
// class on first use may throw InternalFailure, allocation throws PyError.
PyRef make_state_object(BoardEntries entries);

// Rust-style debug rendering: [None, Some("X"), ...].
std::string render_entries(const BoardEntries& entries);

}  // namespace kestrel::py
