#include "net/game_loop.hpp"

#include <mutex>
#include <string>

#include "core/console.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"
#include "net/message_channel.hpp"

namespace kestrel::net {

namespace {

// Our move: applied to our copy of the state, then sent (nothing waits for
// the server to confirm). The one place a move of ours is made, whether the
// answer is played where it arrived or by the session's worker. `frame` is
// the move already encoded, so nothing has changed if encoding failed.
void play_move(TicTacToeState& state, OutboxSender& outbox, Cell cell, WsMessage frame) {
  apply_move(state, cell);
  KESTREL_STAMP(move_sending);
  send_encoded(outbox, std::move(frame));
}

// One turn's shortcut: open while the turn waits for its answer. The state
// and the Outbox belong to the session, which is suspended in the turn
// while the shortcut is open; closing it (the session has the answer again,
// or leaves the turn) waits for a play in progress to finish.
class TurnShortcut final : public MoveShortcut {
 public:
  TurnShortcut(TicTacToeState& state, OutboxSender& outbox,
               const std::optional<ConnectionExecutor>& connection)
      : state_(state), outbox_(outbox), connection_(connection) {}

  bool play(Cell cell) override {
    std::lock_guard lock(mutex_);
    if (!open_) return false;
    WsMessage frame = encode_message(cell);
    open_ = false;
    played_ = true;
    auto send = [&] { play_move(state_, outbox_, cell, std::move(frame)); };
    // Inside the connection's executor the writer's wake-up is queued there
    // and run before leaving, so its write starts on this thread; if a worker
    // runs the connection now, that worker picks it up instead.
    if (!connection_ || !connection_->try_run_here(send)) send();
    return true;
  }

  // True if the answer was played here already.
  bool close() noexcept {
    std::lock_guard lock(mutex_);
    open_ = false;
    return played_;
  }

 private:
  std::mutex mutex_;
  bool open_ = true;
  bool played_ = false;
  TicTacToeState& state_;
  OutboxSender& outbox_;
  const std::optional<ConnectionExecutor>& connection_;
};

// Closes the turn's shortcut however the turn is left.
struct CloseShortcut {
  std::shared_ptr<TurnShortcut> shortcut;
  ~CloseShortcut() { shortcut->close(); }
};

}  // namespace

boost::asio::awaitable<TurnOutcome> play_turn(Participant& participant, TicTacToeState& state, Player mover) {
  const auto mover_seat = static_cast<std::uint64_t>(mover);
  if (mover_seat == participant.seat) {
    auto shortcut = std::make_shared<TurnShortcut>(state, participant.outbox, participant.connection);
    CloseShortcut closing{shortcut};
    const Cell cell = co_await participant.strategy->request_move(state, shortcut);
    if (shortcut->close()) co_return TurnOutcome::Applied;  // played where the answer arrived
    play_move(state, participant.outbox, cell, encode_message(cell));
    co_return TurnOutcome::Applied;
  }
  if (participant.seat == (mover_seat ^ 1U)) {
    Received<Move> received = co_await receive_message_or_closed<Move>(participant.inbox);
    KESTREL_STAMP(game_loop);
    if (received.value) {
      apply_move(state, *received.value);
      co_return TurnOutcome::Applied;
    }
    // Unusable items are dropped and the same turn is played again.
    co_return received.closed ? TurnOutcome::InboxClosed : TurnOutcome::NothingApplied;
  }
  co_return TurnOutcome::NothingApplied;
}

boost::asio::awaitable<void> run_game(TicTacToeState& state, Participant& participant,
                                      const console::LineGate& lines) {
  // A seat that is neither player would make every turn a no-op forever:
  // refuse the game instead of spinning.
  if (participant.seat > 1) {
    lines.err_line(texts::game_not_played(participant.seat));
    co_return;
  }
  while (!is_over(state)) {
    if (co_await play_turn(participant, state, state.current) == TurnOutcome::InboxClosed) {
      // A closed Inbox answers at once and forever: the opponent's move can
      // never come, so the game ends here without a result line.
      lines.err_line(texts::kEndedBeforeOver);
      co_return;
    }
  }
  if (const auto won = winner(state.board)) {
    lines.out_line(texts::winner_line(player_name(*won)));
  } else {
    lines.out_line(texts::kTie);
  }
}

}  // namespace kestrel::net
