// Perfect tic-tac-toe play by exhaustive minimax over every board, for the
// match server's house player and for anything else that needs a strategy
// that never loses.
#pragma once

#include <cstdint>
#include <optional>

#include "core/game.hpp"

namespace kestrel {

// One bit per cell (bit i = cell i).
using CellSet = std::uint16_t;

// The value of `state` for the player to move under perfect play by both
// sides: positive means a forced win, 0 a draw, negative a forced loss. Its
// size says how soon: 10 + the cells still empty when the game ends, so a
// quicker win (or a slower loss) scores higher. A finished game scores its
// result as it stands.
int position_score(const TicTacToeState& state) noexcept;

// Every empty cell whose move keeps the best score for the player to move;
// empty once the game is over.
CellSet optimal_moves(const TicTacToeState& state) noexcept;

// The lowest-numbered optimal move, or none once the game is over.
std::optional<Cell> best_move(const TicTacToeState& state) noexcept;

}  // namespace kestrel
