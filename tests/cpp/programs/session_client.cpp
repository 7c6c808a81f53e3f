// Drives one session (or one bare transport connection) on the background
// runtime with an in-process strategy, for tests against real servers.
//
//   session_client URL [options]
//     --moves 4,0,8     cells to play, in order; then the first free cell
//     --strategy fail   the first turn throws InternalFailure
//     --strategy hang   the first turn never answers (until cancelled)
//     --hold N          the Nth move waits for a line "go" on standard input
//     --linger          after the session, stay until standard input ends
//     --print-workers   report the runtime's worker count
//     --probe           open a bare connection instead and print, one line
//                       each, what the read half yields (see run_probe)
//     --send HEX        (probe) binary messages to send right after opening
//
// Standard input: a line "cancel" cancels the session (JoinHandle::cancel),
// a line "go" releases a held move. The session's own lines are untouched;
// the driver's go to standard error prefixed "driver: ", only when something
// other than a normal finish happened, or always with --linger (then as soon
// as the session has ended: "driver: session finished"). Exit status: 0 finished, 2 usage, 3 runtime creation failed,
// 4 the session failed, 5 cancelled. Without --linger the process ends the
// moment the session has finished, with no clean-up at all.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/console.hpp"
#include "core/failure.hpp"
#include "core/turn_stamps.hpp"
#include "net/game_loop.hpp"
#include "net/runtime.hpp"
#include "net/session.hpp"
#include "net/connection.hpp"
#include "net/opening.hpp"
#include "net/task.hpp"

namespace asio = boost::asio;
using namespace kestrel;
using namespace kestrel::net;

namespace {

enum class Mode { Play, Fail, Hang };

// Plays the scripted cells, then the first free one. Clones share the script.
class ScriptedStrategy final : public Strategy {
 public:
  ScriptedStrategy(Mode mode, std::vector<int> cells, std::size_t hold, OneshotReceiver<std::monostate> go)
      : shared_(std::make_shared<Shared>(mode, std::move(cells), hold, std::move(go))) {}

  asio::awaitable<Cell> request_move(const TicTacToeState& state) override {
    if (shared_->mode == Mode::Fail) throw InternalFailure("the test strategy refused to move");
    if (shared_->mode == Mode::Hang) {
      asio::steady_timer never(co_await asio::this_coro::executor, std::chrono::hours(24));
      co_await never.async_wait(asio::use_awaitable);
      throw InternalFailure("the test strategy woke up");
    }
    if (++shared_->turns == shared_->hold) co_await shared_->go.receive();
    std::lock_guard lock(shared_->mutex);
    if (shared_->next < shared_->cells.size()) {
      co_return static_cast<Cell>(shared_->cells[shared_->next++]);
    }
    for (std::size_t i = 0; i < kCellCount; ++i) {
      if (!state.board[i]) co_return static_cast<Cell>(i);
    }
    co_return Cell::C0;
  }

  std::unique_ptr<Strategy> clone() const override { return std::make_unique<ScriptedStrategy>(*this); }

 private:
  struct Shared {
    Shared(Mode m, std::vector<int> c, std::size_t h, OneshotReceiver<std::monostate> g)
        : mode(m), cells(std::move(c)), hold(h), go(std::move(g)) {}
    Mode mode;
    std::vector<int> cells;
    std::size_t hold;  // 1-based turn that waits for "go"; 0: none
    OneshotReceiver<std::monostate> go;
    std::size_t turns = 0;  // only touched by the one game
    std::size_t next = 0;
    std::mutex mutex;
  };
  std::shared_ptr<Shared> shared_;
};

std::string hex(const Bytes& bytes, std::size_t limit = 32) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

Bytes unhex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string show(const ReadOutcome& outcome) {
  if (std::holds_alternative<ConnectionEnd>(outcome)) return "end";
  if (const auto* failure = std::get_if<TransportError>(&outcome)) return "error " + failure->description;
  const WsMessage& message = std::get<WsMessage>(outcome);
  if (const auto* m = std::get_if<TextMessage>(&message)) return "text " + m->text;
  if (const auto* m = std::get_if<BinaryMessage>(&message)) {
    return "binary " + std::to_string(m->payload.size()) + " " + hex(m->payload);
  }
  if (const auto* m = std::get_if<PingMessage>(&message)) return "ping " + hex(m->payload);
  if (const auto* m = std::get_if<PongMessage>(&message)) return "pong " + hex(m->payload);
  const auto& close = std::get<CloseMessage>(message);
  if (!close.frame) return "close none";
  return "close " + std::to_string(close.frame->code) + " " + close.frame->reason;
}

// Sends, then prints every read outcome up to the end, then what a further
// read and a further send give.
asio::awaitable<void> probe_halves(WriteHalf write, ReadHalf read, std::vector<Bytes> sends) {
  for (Bytes& payload : sends) {
    const WsMessage message = BinaryMessage{std::move(payload)};
    auto sent = co_await write.send(message);
    console::out_line(!sent ? "send failed " + sent.error().description : "sent");
  }
  for (;;) {
    ReadOutcome outcome = co_await read.next();
    console::out_line(show(outcome));
    if (!std::holds_alternative<WsMessage>(outcome)) break;
  }
  console::out_line("again " + show(co_await read.next()));
  const WsMessage late = BinaryMessage{Bytes(1, 1)};
  auto sent = co_await write.send(late);
  console::out_line(!sent ? "send after end " + sent.error().description : "send after end ok");
}

asio::awaitable<void> run_probe(std::string url, std::vector<Bytes> sends) {
  auto strand = asio::any_io_executor(asio::make_strand(background_runtime().context()));
  auto opened = co_await open_connection(url, strand);
  if (!opened) {
    console::out_line("open failed " + opened.error().description);
    co_return;
  }
  console::out_line("open ok");
  auto [write, read] = std::move(opened.value().first).split();
  asio::awaitable<void> halves = probe_halves(std::move(write), std::move(read), std::move(sends));
  co_await asio::co_spawn(strand, std::move(halves), asio::use_awaitable);
}

asio::awaitable<void> run_session(std::string url, std::shared_ptr<Strategy> strategy) {
  co_await run_client(url, *strategy);
}

// Each task gets a strand of its own, so none waits for another.
asio::any_io_executor new_strand() { return asio::make_strand(background_runtime().context()); }

struct Ending {
  int status;
  std::string line;
};

asio::awaitable<void> watch(asio::awaitable<TaskOutcome<void>> joined,
                            std::shared_ptr<std::promise<Ending>> done) {
  TaskOutcome<void> outcome = co_await std::move(joined);
  if (outcome.finished()) {
    done->set_value({0, "driver: session finished"});
  } else if (outcome.cancelled()) {
    done->set_value({5, "driver: session cancelled"});
  } else {
    done->set_value({4, "driver: session failed: " + outcome.failure_message().value_or("?")});
  }
}

[[noreturn]] void usage() {
  console::err_line(
      "usage: session_client URL [--moves 4,0,8] [--strategy fail|hang] [--hold N] [--linger] "
      "[--print-workers] [--probe] [--send HEX]...");
  std::_Exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) usage();
  const std::string url = argv[1];
  Mode mode = Mode::Play;
  std::vector<int> cells;
  std::vector<Bytes> sends;
  bool linger = false;
  bool print_workers = false;
  bool probe = false;
  std::size_t hold = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--moves") {
      std::stringstream list(value());
      for (std::string cell; std::getline(list, cell, ',');) cells.push_back(std::stoi(cell));
    } else if (arg == "--strategy") {
      const std::string name = value();
      mode = name == "fail" ? Mode::Fail : name == "hang" ? Mode::Hang : Mode::Play;
    } else if (arg == "--hold") {
      hold = static_cast<std::size_t>(std::stoul(value()));
    } else if (arg == "--linger") {
      linger = true;
    } else if (arg == "--print-workers") {
      print_workers = true;
    } else if (arg == "--probe") {
      probe = true;
    } else if (arg == "--send") {
      sends.push_back(unhex(value()));
    } else {
      usage();
    }
  }

  try {
    const std::size_t workers = background_runtime().worker_count();
    if (print_workers) console::err_line("driver: workers " + std::to_string(workers));
  } catch (const InternalFailure& failure) {
    console::err_line(std::string("driver: InternalFailure: ") + failure.what());
    std::_Exit(3);
  }

  auto [go_sender, go] = make_oneshot<std::monostate>();
  auto strategy = std::make_shared<ScriptedStrategy>(mode, cells, hold, std::move(go));
  JoinHandle<void> handle = probe ? spawn_on(new_strand(), run_probe(url, std::move(sends)))
                                  : spawn_on(new_strand(), run_session(url, strategy));
  auto done = std::make_shared<std::promise<Ending>>();
  std::future<Ending> ending = done->get_future();
  spawn_detached_on(new_strand(), watch(handle.join(), done));

  std::promise<void> input_closed;
  std::future<void> input_end = input_closed.get_future();
  std::thread([&handle, &input_closed, &go_sender] {
    for (std::string line; std::getline(std::cin, line);) {
      if (line == "cancel") handle.cancel();
      if (line == "go") go_sender.send(std::monostate{});
    }
    input_closed.set_value();
  }).detach();

  const Ending result = ending.get();
  KESTREL_STAMPS_FLUSH();
  if (result.status != 0 || linger) console::err_line(result.line);
  if (linger) input_end.wait();
  std::_Exit(result.status);
}
