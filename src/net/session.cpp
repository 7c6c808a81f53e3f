#include "net/session.hpp"

#include <boost/asio/use_awaitable.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

#include "core/console.hpp"
#include "core/failure.hpp"
#include "core/game.hpp"
#include "core/texts.hpp"
#include "core/turn_stamps.hpp"
#include "net/message_channel.hpp"
#include "net/queue.hpp"
#include "net/runtime.hpp"
#include "net/connection.hpp"
#include "net/opening.hpp"
#include "net/task.hpp"

namespace kestrel::net {

namespace asio = boost::asio;

namespace {

// Sends every queued message, each flushed on its own, until the Outbox is
// closed and empty or a send fails. Completing `drained` (by sending or by
// being dropped) tells the session that nothing queued is still on its way.
asio::awaitable<void> connection_writer(WriteHalf half, OutboxReceiver outbox,
                                        OneshotSender<std::monostate> drained) {
  {
    WriteHalf write = std::move(half);
    OutboxReceiver queue = std::move(outbox);
    while (std::optional<WsMessage> item = co_await queue.receive()) {
      KESTREL_STAMP(writer_awake);
      if (!co_await write.send(*item)) break;  // failure: dropped with the message
    }
    // Leaving the scope drops the Outbox receiver first (later sends are
    // dropped silently), then the write half.
  }
  drained.send(std::monostate{});
}

// Moves everything the server sends into the Inbox until the connection
// ends or fails, or nobody takes from the Inbox any more.
asio::awaitable<void> connection_reader(ReadHalf half, InboxSender inbox) {
  ReadHalf read = std::move(half);
  InboxSender queue = std::move(inbox);
  for (;;) {
    ReadOutcome outcome = co_await read.next();
    auto* message = std::get_if<WsMessage>(&outcome);
    if (message == nullptr) co_return;
    KESTREL_STAMP(inbox);
    if (!queue.send(std::move(*message))) co_return;
  }
}

// Stops the connection reader when the session is left before it has
// finished: cancelled, or ended by a failure. The reader notices a dropped
// Inbox only when it next has a message to deliver, and a server waiting for
// our move or for a partner sends none, so the connection would otherwise
// stay open for as long as the server stays silent. A session that finishes
// leaves the reader to end with the connection, so it never closes first.
class ReaderStop {
 public:
  explicit ReaderStop(JoinHandle<void> reader) noexcept : reader_(std::move(reader)) {}
  ReaderStop(const ReaderStop&) = delete;
  ReaderStop& operator=(const ReaderStop&) = delete;
  ~ReaderStop() {
    if (finished_) return;
    try {
      reader_.cancel();
    } catch (...) {
      // No memory to post the cancel: the reader ends when the server speaks.
    }
  }
  void finished() noexcept { finished_ = true; }

 private:
  JoinHandle<void> reader_;
  bool finished_ = false;
};

}  // namespace

asio::awaitable<void> run_client(std::string_view url, const Strategy& client,
                                 const console::LineGate& lines) {
  // The connection's executor: the reader, the writer and the stream run
  // one at a time on it, like on a strand, and a turn's answer may enter it
  // from the event loop's thread (strategy.hpp's MoveShortcut).
  ConnectionExecutor connection = make_connection_executor(background_runtime().context());
  auto executor = asio::any_io_executor(connection);
  WriteHalf write_half;
  ReadHalf read_half;
  {
    auto opened = co_await open_connection(url, executor);
    if (!opened) {
      lines.err_line(texts::failed_to_connect(url, opened.error().description));
      co_return;
    }
    std::tie(write_half, read_half) = std::move(opened.value().first).split();
  }  // The handshake response ends with this block: the session never reads it.

  auto [outbox, outbox_receiver] = make_queue<WsMessage>();
  auto [inbox_sender, inbox] = make_queue<WsMessage>();
  auto [drained_sender, drained] = make_oneshot<std::monostate>();
  // Both halves run as tasks of their own (a failure is caught and reported
  // at the task boundary) on the connection's executor.
  spawn_detached_on(executor, connection_writer(std::move(write_half), std::move(outbox_receiver),
                                                std::move(drained_sender)));
  ReaderStop reader(spawn_on(executor, connection_reader(std::move(read_half), std::move(inbox_sender))));
  lines.out_line(texts::connected_to(url));

  // The writer holds the Outbox receiver until a send has failed, and this
  // is the first message it can get.
  if (!send_message(outbox, ClientMessage{Join{GameKind::TicTacToe}})) {
    throw InternalFailure("the connection writer let go of the Outbox before the join request");
  }
  TicTacToeState state = initial_state();
  lines.out_line(texts::kWaitingForGame);

  std::uint64_t player_id = 0;
  for (;;) {
    // The Inbox directly, not receive_message: a waiting session then holds
    // no second coroutine frame, which thousands of idle sessions feel.
    std::optional<WsMessage> item = co_await inbox.receive();
    if (!item) {
      lines.err_line(texts::kEndedBeforeStart);
      reader.finished();
      co_return;
    }
    std::optional<ServerMessage> start = decode_message<ServerMessage>(*item);
    if (!start) continue;  // not a start message: dropped
    player_id = std::get<GameStarted>(start->value).player_id;
    break;
  }
  lines.out_line(texts::game_started(player_id));

  {
    Participant participant{client.clone(), std::move(outbox), std::move(inbox), player_id, connection};
    co_await run_game(state, participant, lines);
  }
  // Our Outbox sender went with the participant, so the writer is now
  // sending what is left and will then end. Finishing only after that keeps
  // a process that exits right after the game from losing its last move.
  co_await drained.receive();
  reader.finished();
}

}  // namespace kestrel::net
