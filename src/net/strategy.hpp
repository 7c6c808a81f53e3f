// The game loop's view of the local player (Strategy), and the way a turn's
// answer may be played where it arrives (MoveShortcut).
#pragma once

#include <boost/asio/awaitable.hpp>
#include <memory>

#include "core/game.hpp"

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

}  // namespace kestrel::net
