#include "net/game_loop.hpp"

#include <string>

#include "core/console.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"
#include "net/message_channel.hpp"

namespace kestrel::net {

boost::asio::awaitable<Cell> choose_move(Participant& participant, const TicTacToeState& state) {
  co_return co_await participant.strategy->request_move(state);
}

boost::asio::awaitable<TurnOutcome> play_turn(Participant& participant, TicTacToeState& state, Player mover) {
  const auto mover_seat = static_cast<std::uint64_t>(mover);
  if (mover_seat == participant.seat) {
    const Cell cell = co_await choose_move(participant, state);
    // Applied before it is sent; nothing waits for the server to confirm.
    apply_move(state, cell);
    KESTREL_STAMP(move_sending);
    send_message(participant.outbox, cell);
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
