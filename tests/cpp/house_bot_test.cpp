// The house player's minimax: it must never lose, whichever seat it takes
// and whatever the opponent does, and it must not throw away a won position.
#include <gtest/gtest.h>

#include <bit>
#include <initializer_list>

#include "core/game.hpp"
#include "core/perfect_play.hpp"

namespace kestrel {
namespace {

TicTacToeState board_of(std::initializer_list<std::pair<int, Player>> marks, Player to_move) {
  TicTacToeState s;
  for (auto [cell, p] : marks) s.board[static_cast<std::size_t>(cell)] = p;
  s.current = to_move;
  return s;
}

struct Tally {
  long games = 0;
  long losses = 0;
  long wins = 0;
};

// Plays out every game in which `house` follows any of its optimal moves and
// the opponent tries every empty cell, counting how each one ends.
void explore(const TicTacToeState& state, Player house, Tally& tally) {
  if (is_over(state)) {
    ++tally.games;
    const auto w = winner(state.board);
    if (w == house) ++tally.wins;
    if (w == other(house)) ++tally.losses;
    return;
  }
  CellSet choices = 0;
  if (state.current == house) {
    choices = optimal_moves(state);
    EXPECT_NE(choices, 0) << "no move offered in a running game";
  } else {
    for (std::size_t i = 0; i < kCellCount; ++i)
      if (!state.board[i]) choices = static_cast<CellSet>(choices | (1U << i));
  }
  for (std::uint8_t i = 0; i < kCellCount; ++i) {
    if (!(choices & (1U << i))) continue;
    ASSERT_FALSE(state.board[i]) << "optimal move onto an occupied cell " << int(i);
    TicTacToeState next = state;
    apply_move(next, static_cast<Cell>(i));
    explore(next, house, tally);
  }
}

TEST(HouseBot, NeverLosesFromAnyReachablePositionInEitherSeat) {
  for (Player house : {Player::Player1, Player::Player2}) {
    Tally tally;
    explore(initial_state(), house, tally);
    EXPECT_EQ(tally.losses, 0) << player_name(house);
    EXPECT_GT(tally.games, 100) << "the search did not branch";
    EXPECT_GT(tally.wins, 0) << "never punished a weak opponent as " << player_name(house);
  }
}

TEST(HouseBot, ScoresTheOpeningAsADraw) {
  EXPECT_EQ(position_score(initial_state()), 0);
  // With the empty board every cell keeps the draw.
  EXPECT_EQ(std::popcount(optimal_moves(initial_state())), 9);
}

TEST(HouseBot, TakesAnImmediateWinOverABlock) {
  // X: 0 1, O: 3 4, X to move: 2 wins now; 5 would only block.
  const auto s =
      board_of({{0, Player::Player1}, {1, Player::Player1}, {3, Player::Player2}, {4, Player::Player2}},
               Player::Player1);
  EXPECT_EQ(optimal_moves(s), CellSet{1U << 2});
  EXPECT_EQ(best_move(s), Cell::C2);
  EXPECT_GT(position_score(s), 0);
}

TEST(HouseBot, BlocksAThreat) {
  // X: 0 1, O: 4, O to move: only 2 avoids losing at once.
  const auto s =
      board_of({{0, Player::Player1}, {1, Player::Player1}, {4, Player::Player2}}, Player::Player2);
  EXPECT_EQ(best_move(s), Cell::C2);
}

TEST(HouseBot, AnswersACornerOpeningWithTheCentre) {
  // Any other reply to a corner loses against perfect play.
  const auto s = board_of({{0, Player::Player1}}, Player::Player2);
  EXPECT_EQ(optimal_moves(s), CellSet{1U << 4});
}

TEST(HouseBot, OffersNothingOnceTheGameIsOver) {
  const auto won = board_of({{0, Player::Player1},
                             {4, Player::Player1},
                             {8, Player::Player1},
                             {1, Player::Player2},
                             {2, Player::Player2}},
                            Player::Player2);
  EXPECT_EQ(optimal_moves(won), 0);
  EXPECT_EQ(best_move(won), std::nullopt);
  EXPECT_LT(position_score(won), 0);  // the player to move has lost
}

}  // namespace
}  // namespace kestrel
