// One tic-tac-toe game against the server: ask the local strategy on our
// turns, wait for the server's move on the opponent's, print the result.
// The game ends only by the rules applied to our own copy of the state; the
// server sends no end-of-game message.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/console.hpp"
#include "core/game.hpp"
#include "net/queue.hpp"
#include "net/serial_executor.hpp"

namespace kestrel::net {

// A local turn's answer played where it arrives. The game loop hands one to
// the strategy with each of its turns; a strategy whose answer comes in on a
// thread outside the runtime (the Python bridge, on the event loop's thread)
// may play it there at once, instead of waking a worker to do it.
class MoveShortcut {
 public:
  virtual ~MoveShortcut() = default;
  // Applies `cell` to the turn's state and hands it to the writer now, if
  // the turn still waits for its answer; true if it did. Any thread; it
  // never waits on the network and never calls into Python. The strategy
  // must still yield the same cell afterwards.
  virtual bool play(Cell cell) = 0;
};

// The game loop's only view of the local player. The Python client object
// and in-process C++ strategies plug in the same way.
class Strategy {
 public:
  virtual ~Strategy() = default;
  // Yields the cell for this turn or throws InternalFailure. The state stays
  // alive and unchanged until the awaitable completes.
  virtual boost::asio::awaitable<Cell> request_move(const TicTacToeState& state) = 0;
  // The same, with a way to play the answer early; by default unused.
  virtual boost::asio::awaitable<Cell> request_move(const TicTacToeState& state,
                                                    const std::shared_ptr<MoveShortcut>& shortcut) {
    static_cast<void>(shortcut);
    return request_move(state);
  }
  // A second, independently owned handle to the same player.
  virtual std::unique_ptr<Strategy> clone() const = 0;
};

struct Participant {
  std::unique_ptr<Strategy> strategy;  // the local player's move chooser
  OutboxSender outbox;                 // where our moves go
  InboxReceiver inbox;                 // where the opponent's moves come from
  std::uint64_t seat = 0;              // player_id from the start message
  // The connection's executor, which a shortcut enters to start the write
  // where the answer arrives; without it the writer is woken as usual.
  std::optional<ConnectionExecutor> connection = std::nullopt;
};

// What one turn did; run_game stops on InboxClosed instead of spinning.
enum class TurnOutcome { Applied, NothingApplied, InboxClosed };

// This turn's cell from the local strategy; the state is not touched.
boost::asio::awaitable<Cell> choose_move(Participant& participant, const TicTacToeState& state);

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
