#include "net/serial_executor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kestrel::net {
namespace {

namespace asio = boost::asio;

// An io_context run by `threads` workers until the fixture goes.
struct Workers {
  explicit Workers(int threads) {
    for (int i = 0; i < threads; ++i) pool.emplace_back([this] { io.run(); });
  }
  ~Workers() {
    guard.reset();
    for (auto& t : pool) t.join();
  }
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(io);
  std::vector<std::thread> pool;
};

// The executor's lock on its own: threads that take it in turn never
// lose one another's updates to an unguarded counter.
TEST(SpinLock, LetsOneThreadInAtATime) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 100000;
  SpinLock lock;
  long counter = 0;  // guarded by `lock` only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard held(lock);
        counter = counter + 1;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

TEST(SerialExecutor, RunsOneJobAtATimeInOrderFromManyThreads) {
  constexpr int kSenders = 4;
  constexpr int kJobs = 2000;
  std::vector<std::vector<int>> seen(kSenders);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::promise<void> all_done;
  int done = 0;  // touched only inside the executor
  {
    Workers workers(4);
    asio::any_io_executor ex(make_connection_executor(workers.io));
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
      senders.emplace_back([&, s] {
        for (int i = 0; i < kJobs; ++i) {
          asio::post(ex, [&, s, i] {
            if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
            seen[s].push_back(i);
            if (++done == kSenders * kJobs) all_done.set_value();
            inside.fetch_sub(1);
          });
        }
      });
    }
    for (auto& t : senders) t.join();
    ASSERT_EQ(all_done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  }
  EXPECT_EQ(overlaps.load(), 0);
  for (const auto& one : seen) {
    ASSERT_EQ(one.size(), static_cast<std::size_t>(kJobs));
    for (int i = 0; i < kJobs; ++i) ASSERT_EQ(one[i], i);
  }
}

TEST(SerialExecutor, DispatchInsideRunsInlineAndPostRunsAfter) {
  Workers workers(2);
  asio::any_io_executor ex(make_connection_executor(workers.io));
  std::vector<int> order;
  std::promise<void> done;
  asio::post(ex, [&] {
    asio::post(ex, [&] {
      order.push_back(3);
      done.set_value();
    });
    asio::dispatch(ex, [&] { order.push_back(1); });
    order.push_back(2);
  });
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialExecutor, OutsideThreadEntersIdleExecutorAndRunsOnlyWhatItQueued) {
  Workers workers(2);
  ConnectionExecutor connection = make_connection_executor(workers.io);
  asio::any_io_executor ex(connection);
  const auto caller = std::this_thread::get_id();
  std::vector<std::thread::id> ran_on;
  std::promise<std::thread::id> other;
  bool inside_during_f = false;
  const bool entered = connection.try_run_here([&] {
    inside_during_f = connection.running_in_this_thread();
    // Queued, not run inline (post), and run before try_run_here returns.
    asio::post(ex, [&] { ran_on.push_back(std::this_thread::get_id()); });
    EXPECT_TRUE(ran_on.empty());
    // Queued by another thread meanwhile: left to a worker.
    std::thread([&] { asio::post(ex, [&] { other.set_value(std::this_thread::get_id()); }); }).join();
  });
  EXPECT_TRUE(entered);
  EXPECT_TRUE(inside_during_f);
  EXPECT_FALSE(connection.running_in_this_thread());
  EXPECT_EQ(ran_on, (std::vector<std::thread::id>{caller}));
  auto later = other.get_future();
  ASSERT_EQ(later.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_NE(later.get(), caller);
}

TEST(SerialExecutor, OutsideThreadRunsNothingWhileAWorkerRunsIt) {
  Workers workers(2);
  ConnectionExecutor connection = make_connection_executor(workers.io);
  asio::any_io_executor ex(connection);
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  asio::post(ex, [&] {
    started.set_value();
    released.wait();
  });
  started.get_future().wait();
  bool ran = false;
  EXPECT_FALSE(connection.try_run_here([&] { ran = true; }));
  EXPECT_FALSE(ran);
  // Queued behind the busy job instead, it runs once that one is done.
  std::promise<std::thread::id> queued;
  asio::post(ex, [&] { queued.set_value(std::this_thread::get_id()); });
  release.set_value();
  auto later = queued.get_future();
  ASSERT_EQ(later.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_NE(later.get(), std::this_thread::get_id());
}

TEST(SerialExecutor, AThrowingJobLeavesTheRestQueuedInOrder) {
  asio::io_context io;
  asio::any_io_executor ex(make_connection_executor(io));
  std::vector<int> ran;
  asio::post(ex, [] { throw std::runtime_error("job failed"); });
  asio::post(ex, [&] { ran.push_back(1); });
  asio::post(ex, [&] { ran.push_back(2); });
  // The failure leaves the runtime's run(), as any handler's does.
  EXPECT_THROW(io.run(), std::runtime_error);
  asio::post(ex, [&] { ran.push_back(3); });
  io.restart();
  io.run();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(SerialExecutor, JobsLeftWhenTheRuntimeStopsAreReleasedUnrun) {
  auto held = std::make_shared<int>(7);
  bool ran = false;
  {
    asio::io_context io;
    asio::any_io_executor ex(make_connection_executor(io));
    asio::post(ex, [held, &ran] { ran = true; });
    asio::post(ex, [held, &ran] { ran = true; });
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(held.use_count(), 1);
}

}  // namespace
}  // namespace kestrel::net
