#include "core/game.hpp"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <optional>

namespace kestrel {
namespace {

constexpr auto X = Player::Player1;
constexpr auto O = Player::Player2;

// Plays cells in turn from the initial state.
TicTacToeState play(std::initializer_list<int> cells) {
  TicTacToeState s = initial_state();
  for (int c : cells) apply_move(s, *cell_from_index(static_cast<std::uint64_t>(c)));
  return s;
}

TEST(Game, InitialState) {
  const TicTacToeState s = initial_state();
  EXPECT_EQ(s.current, X);
  EXPECT_FALSE(is_over(s));
  EXPECT_FALSE(winner(s.board));
  EXPECT_EQ(other(X), O);
  EXPECT_EQ(other(O), X);
  EXPECT_FALSE(cell_from_index(9));
}

// The eight winning lines, written out here rather than taken from the code
// under test.
constexpr std::array<std::array<int, 3>, 8> kWinningLines{{
    {0, 1, 2},
    {3, 4, 5},
    {6, 7, 8},
    {0, 3, 6},
    {1, 4, 7},
    {2, 5, 8},
    {0, 4, 8},
    {2, 4, 6},
}};

// Every set of cells one player may hold, the others empty: it wins exactly
// when it holds a whole line, so a wrong, missing or extra line fails here.
TEST(Game, ASetOfCellsWinsExactlyWhenItHoldsALine) {
  for (unsigned cells = 0; cells < (1U << 9); ++cells) {
    bool holds_line = false;
    for (const auto& line : kWinningLines) {
      bool whole = true;
      for (int c : line) whole = whole && (cells >> c & 1U) != 0;
      holds_line = holds_line || whole;
    }
    Board b{};
    for (int c = 0; c < 9; ++c) {
      if ((cells >> c & 1U) != 0) b[static_cast<std::size_t>(c)] = O;
    }
    EXPECT_EQ(winner(b), holds_line ? std::optional<Player>(O) : std::nullopt) << "cells mask " << cells;
  }
}

TEST(Game, DiagonalAmongMixedCells) {
  Board b{X, O, O, O, X, X, O, X, X};  // 0,4,8 all X; no other line complete
  EXPECT_EQ(winner(b), X);
}

TEST(Game, FullBoardIsTieUnlessItHoldsALine) {
  const TicTacToeState tie = play({0, 1, 2, 4, 3, 5, 7, 6, 8});
  EXPECT_TRUE(is_over(tie));
  EXPECT_FALSE(winner(tie.board));

  // The ninth move completes the diagonal 0-4-8: a win, not a tie.
  const TicTacToeState before_last = play({0, 1, 2, 3, 4, 5, 7, 6});
  ASSERT_FALSE(is_over(before_last));
  const TicTacToeState last_wins = play({0, 1, 2, 3, 4, 5, 7, 6, 8});
  for (const auto& c : last_wins.board) ASSERT_TRUE(c);
  EXPECT_TRUE(is_over(last_wins));
  EXPECT_EQ(winner(last_wins.board), X);
}

TEST(Game, MovesAreNeverRefused) {
  TicTacToeState s = play({4});
  apply_move(s, Cell::C4);  // O overwrites X and the turn still passes
  EXPECT_EQ(s.board[4], O);
  EXPECT_EQ(s.current, X);

  TicTacToeState over = play({0, 3, 1, 4, 2});
  ASSERT_TRUE(is_over(over));
  apply_move(over, Cell::C8);  // after the end: still applied
  EXPECT_EQ(over.board[8], O);
  EXPECT_EQ(over.current, X);
}

TEST(Game, EarlierLineDecidesBetweenTwoWinners) {
  // Only overwriting makes such boards, and only parallel lines can be
  // complete for different players: a row meets every column and diagonal.
  // Every pair of rows and of columns, both ways round: the row read first
  // (top to bottom), the column first (left to right) decides.
  const std::array<std::array<std::array<int, 3>, 3>, 2> groups{{
      {{{0, 1, 2}, {3, 4, 5}, {6, 7, 8}}},
      {{{0, 3, 6}, {1, 4, 7}, {2, 5, 8}}},
  }};
  for (const auto& lines : groups) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      for (std::size_t j = i + 1; j < lines.size(); ++j) {
        for (const Player first : {X, O}) {
          Board b{};
          for (int c : lines[i]) b[static_cast<std::size_t>(c)] = first;
          for (int c : lines[j]) b[static_cast<std::size_t>(c)] = other(first);
          EXPECT_EQ(winner(b), first) << "lines starting at " << lines[i][0] << " and " << lines[j][0];
          EXPECT_TRUE(is_over(TicTacToeState{X, b}));
        }
      }
    }
  }
}

}  // namespace
}  // namespace kestrel
