// One tic-tac-toe game against the server: ask the local strategy on our
// turns, wait for the server's move on the opponent's, print the result.
// The game ends only by the rules applied to our own copy of the state; the
// server sends no end-of-game message.
#pragma once

#include <boost/asio/awaitable.hpp>

#include "core/console.hpp"
#include "core/game.hpp"
#include "net/participant.hpp"
#include "net/strategy.hpp"

namespace kestrel::net {

// What one turn did; run_game stops on InboxClosed instead of spinning.
enum class TurnOutcome { Applied, NothingApplied, InboxClosed };

// One turn of the seat `mover`: ours -> choose, apply, send; the opponent's
// -> take one Inbox item and apply it if it is a move. At most one move is
// applied.
boost::asio::awaitable<TurnOutcome> play_turn(Participant& participant, TicTacToeState& state, Player mover);

// Plays until the state is over and prints "Tie" or "<Player> wins!" to
// standard output. A seat other than 0 or 1, or an Inbox closed during the
// opponent's turn, ends it early with one line on standard error instead.
// Strategy failures (InternalFailure) pass through. Lines go through `lines`.
boost::asio::awaitable<void> run_game(TicTacToeState& state, Participant& participant,
                                      const console::LineGate& lines = console::LineGate::open());

}  // namespace kestrel::net
