#include "core/perfect_play.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

namespace kestrel {
namespace {

constexpr std::size_t kBoardCodes = 19683;  // 3^9
constexpr std::int8_t kUnknown = std::numeric_limits<std::int8_t>::min();

// Base-3 board code (digit 0 empty, 1 Player1, 2 Player2), doubled and
// offset by the player to move, so every state has its own slot.
std::size_t key_of(const TicTacToeState& state) noexcept {
  std::size_t code = 0;
  for (const CellContent& c : state.board) {
    code = code * 3 + (c ? static_cast<std::size_t>(*c) + 1 : 0);
  }
  return code * 2 + static_cast<std::size_t>(state.current);
}

int empty_cells(const Board& board) noexcept {
  return static_cast<int>(std::count(board.begin(), board.end(), std::nullopt));
}

int terminal_score(const TicTacToeState& state) noexcept {
  const std::optional<Player> w = winner(state.board);
  if (!w) return 0;
  const int magnitude = 10 + empty_cells(state.board);
  return *w == state.current ? magnitude : -magnitude;
}

class ScoreTable {
 public:
  ScoreTable() { scores_.fill(kUnknown); }

  // Scores `state`, filling every slot it depends on.
  int fill(const TicTacToeState& state) noexcept {
    std::int8_t& slot = scores_[key_of(state)];
    if (slot == kUnknown) slot = static_cast<std::int8_t>(compute(state));
    return slot;
  }

  int at(const TicTacToeState& state) const noexcept { return scores_[key_of(state)]; }

 private:
  int compute(const TicTacToeState& state) noexcept {
    if (is_over(state)) return terminal_score(state);
    int best = std::numeric_limits<int>::min();
    for (std::uint8_t i = 0; i < kCellCount; ++i) {
      if (state.board[i]) continue;
      TicTacToeState next = state;
      apply_move(next, static_cast<Cell>(i));
      best = std::max(best, -fill(next));
    }
    return best;
  }

  std::array<std::int8_t, kBoardCodes * 2> scores_{};
};

// Filled completely on first use (a few milliseconds), then read-only, so
// any number of threads may share it without locking.
const ScoreTable& table() {
  static const ScoreTable filled = [] {
    ScoreTable t;
    for (std::size_t code = 0; code < kBoardCodes; ++code) {
      TicTacToeState state;
      std::size_t rest = code;
      for (std::size_t i = kCellCount; i-- > 0;) {
        const std::size_t digit = rest % 3;
        rest /= 3;
        if (digit != 0) state.board[i] = static_cast<Player>(digit - 1);
      }
      for (Player p : {Player::Player1, Player::Player2}) {
        state.current = p;
        t.fill(state);
      }
    }
    return t;
  }();
  return filled;
}

}  // namespace

int position_score(const TicTacToeState& state) noexcept { return table().at(state); }

CellSet optimal_moves(const TicTacToeState& state) noexcept {
  if (is_over(state)) return 0;
  const int target = position_score(state);
  CellSet cells = 0;
  for (std::uint8_t i = 0; i < kCellCount; ++i) {
    if (state.board[i]) continue;
    TicTacToeState next = state;
    apply_move(next, static_cast<Cell>(i));
    if (-position_score(next) == target) cells = static_cast<CellSet>(cells | (1U << i));
  }
  return cells;
}

std::optional<Cell> best_move(const TicTacToeState& state) noexcept {
  const CellSet cells = optimal_moves(state);
  if (cells == 0) return std::nullopt;
  return static_cast<Cell>(std::countr_zero(cells));
}

}  // namespace kestrel
