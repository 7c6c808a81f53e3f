#include "net/queue.hpp"

#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/oneshot.hpp"

namespace kestrel::net {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

// Drains a receiver on a fresh io_context until it reports the end.
template <class T>
std::vector<T> drain(Receiver<T>& rx) {
  asio::io_context io;
  std::vector<T> got;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        while (auto item = co_await rx.receive()) got.push_back(std::move(*item));
      },
      asio::detached);
  io.run();
  return got;
}

// Starts one receive with a plain callback bound to `io`; the outcome lands
// in `result` once the context runs it.
struct Outcome {
  bool done = false;
  error_code ec;
  std::optional<int> value;
};

// Runs whatever is ready, even after the context ran out of work before.
void settle(asio::io_context& io) {
  io.restart();
  io.poll();
}

template <class Slot>
void start_receive(asio::io_context& io, Receiver<int>& rx, Outcome& result, Slot slot) {
  rx.async_receive(asio::bind_cancellation_slot(
      slot, asio::bind_executor(io, [&result](error_code ec, std::optional<int> v) {
        result = {true, ec, v};
      })));
}

TEST(Queue, DeliversInOrderAndEndsOnceAllSendersAreGone) {
  auto [tx, rx] = make_queue<std::string>();
  Sender<std::string> copy = tx;
  for (int i = 0; i < 100; ++i) (i % 2 ? tx : copy).send(std::to_string(i));
  tx.reset();
  EXPECT_TRUE(copy.send("last"));  // one copy still holds the queue open
  copy = Sender<std::string>();
  auto got = drain(rx);
  ASSERT_EQ(got.size(), 101U);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(got[i], std::to_string(i));
  EXPECT_EQ(got.back(), "last");
  // Closed and empty stays closed.
  EXPECT_TRUE(drain(rx).empty());
}

// The buffer compacts itself under a consumer that lags behind and resets
// when drained; through both, order and contents stay intact.
TEST(Fifo, KeepsOrderThroughCompactionAndReuse) {
  Fifo<std::string> fifo;
  EXPECT_TRUE(fifo.empty());
  int pushed = 0;
  int popped = 0;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 150; ++i) fifo.push(std::to_string(pushed++));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(fifo.pop(), std::to_string(popped++));
  }
  while (!fifo.empty()) ASSERT_EQ(fifo.pop(), std::to_string(popped++));
  EXPECT_EQ(popped, pushed);
  fifo.push("again");
  EXPECT_EQ(fifo.pop(), "again");
  EXPECT_TRUE(fifo.empty());
}

TEST(Queue, ManyProducersOnSeveralThreadsLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 20000;
  auto [tx, rx] = make_queue<std::pair<int, int>>();
  asio::io_context io;
  std::vector<int> next(kProducers, 0);
  bool in_order = true;
  asio::co_spawn(
      io,
      [&, r = &rx]() -> asio::awaitable<void> {
        while (auto item = co_await r->receive()) {
          auto [who, seq] = *item;
          if (seq != next[who]) in_order = false;
          next[who] = seq + 1;
        }
      },
      asio::detached);
  std::thread consumer([&] { io.run(); });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p, mine = tx]() mutable {
      for (int i = 0; i < kPerProducer; ++i) mine.send({p, i});
    });
  }
  tx.reset();
  for (auto& t : producers) t.join();
  consumer.join();  // returns only after the receiver saw the end
  EXPECT_TRUE(in_order);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer);
}

TEST(Queue, ParkedCoroutineIsWokenBySendFromAnotherThread) {
  auto [tx, rx] = make_queue<int>();
  asio::io_context io;
  std::optional<int> got;
  std::thread::id resumed_on;
  asio::co_spawn(
      io,
      [&, r = &rx]() -> asio::awaitable<void> {
        got = co_await r->receive();
        resumed_on = std::this_thread::get_id();
      },
      asio::detached);
  io.poll();  // runs the coroutine up to its parked receive
  ASSERT_FALSE(got);
  std::thread sender([s = std::move(tx)]() mutable { s.send(42); });
  io.run();  // the parked receive must keep run() from returning early
  sender.join();
  EXPECT_EQ(got, 42);
  EXPECT_EQ(resumed_on, std::this_thread::get_id());  // resumed on its own executor
}

TEST(Queue, LastSenderDroppedWakesParkedReceiverWithEnd) {
  auto [tx, rx] = make_queue<int>();
  asio::io_context io;
  Outcome r;
  start_receive(io, rx, r, asio::cancellation_slot());
  io.poll();
  EXPECT_FALSE(r.done);
  tx.reset();
  EXPECT_FALSE(r.done);  // posted, never run inside the sender's call
  io.run();
  ASSERT_TRUE(r.done);
  EXPECT_FALSE(r.ec);
  EXPECT_FALSE(r.value);
}

TEST(Queue, CancelledReceiveKeepsLaterItems) {
  auto [tx, rx] = make_queue<int>();
  asio::io_context io;
  asio::cancellation_signal signal;

  Outcome first;
  start_receive(io, rx, first, signal.slot());
  settle(io);
  signal.emit(asio::cancellation_type::terminal);
  settle(io);
  ASSERT_TRUE(first.done);
  EXPECT_EQ(first.ec, asio::error::operation_aborted);
  EXPECT_TRUE(tx.send(7));

  // A cancellation arriving after the item was handed over changes nothing.
  Outcome second;
  start_receive(io, rx, second, signal.slot());
  settle(io);
  EXPECT_EQ(second.value, 7);
  start_receive(io, rx, second = {}, signal.slot());
  settle(io);
  EXPECT_TRUE(tx.send(8));
  signal.emit(asio::cancellation_type::terminal);
  settle(io);
  EXPECT_FALSE(second.ec);
  EXPECT_EQ(second.value, 8);
}

TEST(Queue, CancelledCoroutineReceiveThrowsAndQueueStaysUsable) {
  auto [tx, rx] = make_queue<int>();
  asio::io_context io;
  asio::cancellation_signal signal;
  bool aborted = false;
  asio::co_spawn(
      io,
      [&, r = &rx]() -> asio::awaitable<void> {
        try {
          co_await r->receive();
        } catch (const boost::system::system_error& e) {
          aborted = e.code() == asio::error::operation_aborted;
        }
      },
      asio::bind_cancellation_slot(signal.slot(), asio::detached));
  io.poll();
  signal.emit(asio::cancellation_type::terminal);
  io.run();
  EXPECT_TRUE(aborted);
  tx.send(5);
  tx.reset();
  EXPECT_EQ(drain(rx), std::vector<int>{5});
}

TEST(Queue, DroppedReceiverAbortsItsWaitRefusesSendsAndReleasesItems) {
  auto [tx, rx] = make_queue<std::shared_ptr<int>>();
  asio::io_context io;
  error_code parked, twice;
  auto record = [&io](error_code& into) {
    return asio::bind_executor(io, [&into](error_code ec, auto) { into = ec; });
  };
  rx.async_receive(record(parked));
  rx.async_receive(record(twice));
  io.poll();
  EXPECT_EQ(twice, asio::error::already_started);  // one receive at a time
  rx.close();
  io.run();
  EXPECT_EQ(parked, asio::error::operation_aborted);

  auto [tx2, rx2] = make_queue<std::shared_ptr<int>>();
  auto item = std::make_shared<int>(1);
  EXPECT_TRUE(tx2.send(item));
  { Receiver<std::shared_ptr<int>> gone = std::move(rx2); }
  EXPECT_EQ(item.use_count(), 1);  // the buffered copy went with the receiver
  EXPECT_FALSE(tx2.send(item));
  EXPECT_FALSE(tx.send(item));
  EXPECT_EQ(item.use_count(), 1);
  EXPECT_FALSE(Sender<int>().send(1));
  Receiver<int> detached;
  EXPECT_TRUE(drain(detached).empty());
}

TEST(Oneshot, DeliversValueOrReportsEitherSideGone) {
  asio::io_context io;
  auto once = [&](OneshotReceiver<std::string>& rx) {
    std::optional<std::string> got;
    asio::co_spawn(
        io, [&]() -> asio::awaitable<void> { got = co_await rx.receive(); }, asio::detached);
    io.restart();
    io.run();
    return got;
  };

  auto [tx1, rx1] = make_oneshot<std::string>();
  EXPECT_TRUE(tx1.send("value"));
  EXPECT_FALSE(tx1.send("again"));
  EXPECT_EQ(once(rx1), "value");

  auto [tx2, rx2] = make_oneshot<std::string>();
  { OneshotSender<std::string> gone = std::move(tx2); }
  EXPECT_EQ(once(rx2), std::nullopt);

  auto [tx3, rx3] = make_oneshot<std::string>();
  { OneshotReceiver<std::string> gone = std::move(rx3); }
  EXPECT_FALSE(tx3.send("nobody"));
}

}  // namespace
}  // namespace kestrel::net
