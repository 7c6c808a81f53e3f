// Tic-tac-toe rules: players, cells, the state and how a move changes it.
// Pure values and functions; nothing here allocates or fails.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrel {

enum class Player : std::uint8_t { Player1 = 0, Player2 = 1 };

// A board position, 3 * row + column; also the whole content of a move.
enum class Cell : std::uint8_t { C0, C1, C2, C3, C4, C5, C6, C7, C8 };

inline constexpr std::size_t kCellCount = 9;

using CellContent = std::optional<Player>;
using Board = std::array<CellContent, kCellCount>;

struct TicTacToeState {
  Player current = Player::Player1;  // whose turn it is
  Board board{};                     // marks, indexed by Cell value

  friend constexpr bool operator==(const TicTacToeState&, const TicTacToeState&) = default;
};

constexpr Player other(Player p) noexcept { return static_cast<Player>(static_cast<std::uint8_t>(p) ^ 1U); }

constexpr std::string_view player_name(Player p) noexcept {
  return p == Player::Player1 ? "Player1" : "Player2";
}

constexpr std::uint8_t cell_index(Cell c) noexcept { return static_cast<std::uint8_t>(c); }

// Cells 0..8 only; anything else is not a cell.
constexpr std::optional<Cell> cell_from_index(std::uint64_t i) noexcept {
  if (i >= kCellCount) return std::nullopt;
  return static_cast<Cell>(i);
}

// Checked in this order; it decides only when overwriting has produced two
// complete lines of different players.
inline constexpr std::array<std::array<std::uint8_t, 3>, 8> kLines{{
    {0, 1, 2},
    {3, 4, 5},
    {6, 7, 8},  // rows
    {0, 3, 6},
    {1, 4, 7},
    {2, 5, 8},  // columns
    {0, 4, 8},
    {2, 4, 6},  // diagonals
}};

constexpr std::optional<Player> winner(const Board& board) noexcept {
  for (const auto& line : kLines) {
    const CellContent& a = board[line[0]];
    if (a && a == board[line[1]] && a == board[line[2]]) return a;
  }
  return std::nullopt;
}

constexpr bool is_over(const TicTacToeState& state) noexcept {
  if (winner(state.board)) return true;
  for (const auto& c : state.board) {
    if (!c) return false;
  }
  return true;
}

// No legality check: the server is the authority, so an occupied cell is
// overwritten and the turn passes regardless.
constexpr void apply_move(TicTacToeState& state, Cell cell) noexcept {
  state.board[cell_index(cell)] = state.current;
  state.current = other(state.current);
}

constexpr TicTacToeState initial_state() noexcept { return TicTacToeState{}; }

}  // namespace kestrel
