#include "net/game_loop.hpp"

#include <gtest/gtest.h>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/execution.hpp>
#include <boost/asio/io_context.hpp>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/failure.hpp"
#include "fd_capture.hpp"
#include "net/message_channel.hpp"

namespace kestrel::net {
namespace {

namespace asio = boost::asio;
using test_support::FdCapture;

// A local player that plays a fixed list of cells and records every state
// it was asked about. Clones share the script.
class ScriptedStrategy : public Strategy {
 public:
  struct Script {
    std::deque<int> cells;  // running out raises an internal failure
    std::vector<TicTacToeState> asked;
    // Play each answer through the turn's shortcut, twice, from another
    // thread (as the event loop's thread would), noting what play() said.
    bool early = false;
    std::vector<bool> played;
    std::vector<std::shared_ptr<MoveShortcut>> shortcuts;
  };

  explicit ScriptedStrategy(std::shared_ptr<Script> s) : script_(std::move(s)) {}

  asio::awaitable<Cell> request_move(const TicTacToeState& state) override {
    script_->asked.push_back(state);
    if (script_->cells.empty()) throw InternalFailure("strategy has no move left");
    const int cell = script_->cells.front();
    script_->cells.pop_front();
    co_return *cell_from_index(static_cast<std::uint64_t>(cell));
  }

  asio::awaitable<Cell> request_move(const TicTacToeState& state,
                                     const std::shared_ptr<MoveShortcut>& shortcut) override {
    const Cell cell = co_await request_move(state);
    if (script_->early) {
      std::thread([&] {
        script_->played.push_back(shortcut->play(cell));
        script_->played.push_back(shortcut->play(cell));
      }).join();
      script_->shortcuts.push_back(shortcut);
    }
    co_return cell;
  }

  std::unique_ptr<Strategy> clone() const override { return std::make_unique<ScriptedStrategy>(script_); }

 private:
  std::shared_ptr<Script> script_;
};

WsMessage move_message(int cell) { return BinaryMessage{Bytes{static_cast<std::uint8_t>(cell)}}; }

// One game on a real io_context: we play the server through the Inbox's
// sending end and read the local player's moves off the Outbox.
struct Game {
  asio::io_context io;
  std::shared_ptr<ScriptedStrategy::Script> script = std::make_shared<ScriptedStrategy::Script>();
  InboxSender server;
  OutboxReceiver sent;
  Participant participant;
  TicTacToeState state = initial_state();
  bool finished = false;
  std::exception_ptr failure;

  Game(std::uint64_t seat, std::deque<int> local_cells) {
    script->cells = std::move(local_cells);
    auto [in_tx, in_rx] = make_queue<WsMessage>();
    auto [out_tx, out_rx] = make_queue<WsMessage>();
    server = std::move(in_tx);
    sent = std::move(out_rx);
    participant =
        Participant{std::make_unique<ScriptedStrategy>(script), std::move(out_tx), std::move(in_rx), seat};
  }

  void start() {
    asio::co_spawn(io, run_game(state, participant), [this](std::exception_ptr e) {
      finished = true;
      failure = e;
    });
  }

  // Runs until nothing is ready (a game still waiting stays parked).
  void settle() {
    io.restart();
    io.poll();
  }

  // The cells the local player sent so far; the Outbox stays open.
  std::vector<int> sent_cells() {
    participant.outbox.reset();
    std::vector<int> cells;
    asio::io_context drain;
    asio::co_spawn(
        drain,
        [&]() -> asio::awaitable<void> {
          while (auto m = co_await sent.receive()) {
            const Bytes& p = std::get<BinaryMessage>(*m).payload;
            EXPECT_EQ(p.size(), 1U);
            cells.push_back(p.at(0));
          }
        },
        asio::detached);
    drain.run();
    return cells;
  }
};

struct Output {
  std::string out, err;
};

// Plays `game` to its end with the server's moves already queued.
Output play_out(Game& game, const std::vector<WsMessage>& from_server, bool close_after = false) {
  for (const auto& m : from_server) game.server.send(m);
  if (close_after) game.server.reset();
  FdCapture out(1), err(2);
  game.start();
  game.settle();
  Output o{out.finish(), err.finish()};
  EXPECT_TRUE(game.finished);
  return o;
}

TEST(GameLoop, SeatZeroAsksStrategyFirstAndSeatOneWaitsForTheServer) {
  Game first(0, {4, 0, 8});
  first.start();
  first.settle();
  ASSERT_EQ(first.script->asked.size(), 1U);
  EXPECT_EQ(first.script->asked[0], initial_state());
  EXPECT_FALSE(first.finished);  // now waiting for the opponent

  Game second(1, {4, 5});
  second.start();
  second.settle();
  EXPECT_TRUE(second.script->asked.empty());
  second.server.send(move_message(0));
  second.settle();
  ASSERT_EQ(second.script->asked.size(), 1U);
  EXPECT_EQ(second.script->asked[0].board[0], Player::Player1);
  EXPECT_EQ(second.script->asked[0].current, Player::Player2);
  EXPECT_EQ(second.sent_cells(), std::vector<int>{4});
}

TEST(GameLoop, FullBoardWithoutLinePrintsTie) {
  Game game(0, {0, 2, 3, 7, 8});
  const Output o = play_out(game, {move_message(1), move_message(4), move_message(5), move_message(6)});
  EXPECT_EQ(o.out, "Tie\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(game.sent_cells(), (std::vector<int>{0, 2, 3, 7, 8}));
  EXPECT_EQ(game.script->asked.size(), 5U);
}

TEST(GameLoop, AnswerPlayedThroughTheShortcutIsAppliedAndSentOnce) {
  Game game(0, {0, 2, 3, 7, 8});
  game.script->early = true;
  const Output o = play_out(game, {move_message(1), move_message(4), move_message(5), move_message(6)});
  EXPECT_EQ(o.out, "Tie\n");
  EXPECT_EQ(game.sent_cells(), (std::vector<int>{0, 2, 3, 7, 8}));
  // Each turn's answer plays once; the second try and any try after the
  // turn (the session has the answer back) play nothing.
  EXPECT_EQ(game.script->played,
            (std::vector<bool>{true, false, true, false, true, false, true, false, true, false}));
  for (const auto& shortcut : game.script->shortcuts) EXPECT_FALSE(shortcut->play(Cell{}));
}

TEST(GameLoop, WinnerIsNamedBySeatAndUnusableMessagesAreSkipped) {
  // Player2 completes row 1 (cells 3, 4, 5); Player1 plays 0, 1, 8.
  Game as_player1(0, {0, 1, 8});
  EXPECT_EQ(play_out(as_player1, {move_message(3), move_message(4), move_message(5)}).out, "Player2 wins!\n");

  Game as_player2(1, {3, 4, 5});
  const Output o =
      play_out(as_player2, {TextMessage{"4"}, BinaryMessage{}, move_message(9), PingMessage{Bytes{1}},
                            BinaryMessage{Bytes{0xFF}}, move_message(0), move_message(1), move_message(8)});
  EXPECT_EQ(o.out, "Player2 wins!\n");
  EXPECT_EQ(as_player2.sent_cells(), (std::vector<int>{3, 4, 5}));
  TicTacToeState expected = initial_state();
  apply_move(expected, Cell::C0);
  ASSERT_FALSE(as_player2.script->asked.empty());
  EXPECT_EQ(as_player2.script->asked[0], expected);  // the junk changed nothing
}

// Executes completions inline, at the exact moment of the send, against the
// queue's wish for non-blocking execution: the test needs to see what was
// already printed when the move was queued.
struct InlineExecutor {
  asio::execution_context* context;
  asio::execution_context& query(asio::execution::context_t) const noexcept { return *context; }
  static constexpr auto query(asio::execution::blocking_t) noexcept {
    return asio::execution::blocking.always;
  }
  InlineExecutor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }
  template <class F>
  void execute(F&& f) const {
    std::forward<F>(f)();
  }
  friend bool operator==(const InlineExecutor&, const InlineExecutor&) noexcept = default;
};

TEST(GameLoop, WinningLocalMoveIsQueuedBeforeTheResultLine) {
  Game game(0, {0, 1, 2});  // Player1 completes row 0 with its third move
  for (int c : {3, 4}) game.server.send(move_message(c));
  FdCapture out(1);
  long printed_at_send = -1;
  int count = 0;
  std::function<void()> watch = [&] {
    game.sent.async_receive(asio::bind_executor(InlineExecutor{&game.io},
                                                [&](boost::system::error_code, std::optional<WsMessage> m) {
                                                  if (!m) return;
                                                  if (++count == 3) printed_at_send = out.written();
                                                  watch();
                                                }));
  };
  watch();
  game.start();
  game.settle();
  const std::string printed = out.finish();
  EXPECT_EQ(printed, "Player1 wins!\n");
  EXPECT_EQ(count, 3);
  EXPECT_EQ(printed_at_send, 0);
  game.sent.close();
}

TEST(GameLoop, ClosedInboxEndsTheGameWithAnErrorLine) {
  Game game(1, {4});
  const Output o = play_out(game, {move_message(0)}, /*close_after=*/true);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "Connection to the server ended before the game was over\n");
  EXPECT_EQ(game.sent_cells(), std::vector<int>{4});
}

TEST(GameLoop, SeatThatIsNoPlayerIsRefusedAtOnce) {
  Game game(2, {0});
  const Output o = play_out(game, {move_message(0)});  // Inbox stays open
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "Game not played: the server assigned seat 2, which is neither 0 nor 1\n");
  EXPECT_TRUE(game.script->asked.empty());
  EXPECT_TRUE(game.sent_cells().empty());
}

// One turn's outcome by seat: ours and the opponent's apply one move; a
// seat that is neither player, or an unusable message, applies none.
TEST(GameLoop, PlayTurnSaysWhetherAMoveWasApplied) {
  auto turn = [](Game& game, Player mover) {
    TurnOutcome outcome = TurnOutcome::InboxClosed;
    asio::co_spawn(game.io, play_turn(game.participant, game.state, mover),
                   [&](std::exception_ptr, TurnOutcome o) { outcome = o; });
    game.settle();
    return outcome;
  };
  Game ours(0, {4});
  EXPECT_EQ(turn(ours, Player::Player1), TurnOutcome::Applied);
  EXPECT_EQ(ours.state.board[4], Player::Player1);
  EXPECT_EQ(ours.sent_cells(), std::vector<int>{4});

  Game theirs(1, {});
  theirs.server.send(BinaryMessage{Bytes{0xFF, 0xFF}});
  theirs.server.send(move_message(2));
  EXPECT_EQ(turn(theirs, Player::Player1), TurnOutcome::NothingApplied);
  EXPECT_EQ(turn(theirs, Player::Player1), TurnOutcome::Applied);
  EXPECT_EQ(theirs.state.board[2], Player::Player1);

  Game neither(2, {4});
  EXPECT_EQ(turn(neither, Player::Player1), TurnOutcome::NothingApplied);
  EXPECT_EQ(neither.state, initial_state());
  EXPECT_TRUE(neither.script->asked.empty());
}

TEST(GameLoop, StrategyFailurePropagates) {
  Game game(0, {});
  const Output o = play_out(game, {});
  ASSERT_TRUE(game.failure);
  EXPECT_THROW(std::rethrow_exception(game.failure), InternalFailure);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
}

}  // namespace
}  // namespace kestrel::net
