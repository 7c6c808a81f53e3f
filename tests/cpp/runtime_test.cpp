#include "net/runtime.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "core/failure.hpp"
#include "net/os_thread.hpp"
#include "net/task.hpp"
#include "net/worker_config.hpp"
#include "child_process.hpp"
#include "fd_capture.hpp"

namespace asio = boost::asio;
using namespace kestrel::net;
using namespace std::chrono_literals;
using kestrel::test_support::FdCapture;

namespace {

// Generous limit that only keeps a broken runtime from hanging the suite.
constexpr auto kPatience = 60s;

struct ProbeRun {
  std::map<std::string, std::string> lines;  // "key=value" lines of stdout
  bool exited = false;                       // ended by itself in time
  int exit_code = -1;
};

// Runs the probe with TOKIO_WORKER_THREADS set to `value` (unset when
// nullopt), everything else inherited.
ProbeRun run_probe(const std::optional<std::string>& value, const char* mode = "threads") {
  const auto child =
      kestrel::test_support::run_program("runtime_probe", {mode}, kWorkerThreadsVariable, value, kPatience);
  ProbeRun run;
  run.exited = child.exited;
  run.exit_code = child.exit_code;
  const std::string& text = child.out;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.pop_back();  // std::cout in text mode on Windows
    const std::size_t eq = line.find('=');
    run.lines[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
  }
  return run;
}

std::string failure_text(const std::optional<std::string>& value) {
  try {
    worker_count_from(value);
  } catch (const kestrel::InternalFailure& e) {
    return e.what();
  }
  return "no failure";
}

// Waits on the test thread for a coroutine run on the runtime.
template <class T>
T wait_for(asio::awaitable<T> work) {
  auto future = asio::co_spawn(background_runtime().context(), std::move(work), asio::use_future);
  if (future.wait_for(kPatience) != std::future_status::ready) throw std::runtime_error("timed out");
  return future.get();
}

// Each task gets a strand of its own, so none waits for another.
asio::any_io_executor new_strand() { return asio::make_strand(background_runtime().context()); }

bool on_worker() { return background_runtime().context().get_executor().running_in_this_thread(); }

bool on_task_strand(const asio::any_io_executor& ex) {
  auto* strand = ex.target<asio::strand<asio::io_context::executor_type>>();
  return strand != nullptr && strand->running_in_this_thread();
}

}  // namespace

// ---- TOKIO_WORKER_THREADS, end to end in a fresh process ----

TEST(RuntimeCreation, WorkerCountFromEnvironment) {
  auto four = run_probe("4");
  ASSERT_TRUE(four.exited);
  EXPECT_EQ(four.lines["workers"], "4");
  EXPECT_EQ(four.lines["named"], "4");          // no other thread carries the name yet
  EXPECT_EQ(four.lines["workers_again"], "4");  // read once only

  auto eight = run_probe("+8");
  EXPECT_EQ(eight.lines["workers"], "8");
  EXPECT_EQ(eight.lines["named"], "8");

  auto unset = run_probe(std::nullopt);
  const std::string processors = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(unset.lines["workers"], processors);
  EXPECT_EQ(unset.lines["named"], processors);
}

TEST(RuntimeCreation, BadValuesFailAndPoisonLaterRequests) {
  const std::string poisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
  const std::pair<std::string, std::string> cases[] = {
    {"0", "\"TOKIO_WORKER_THREADS\" cannot be set to 0"},
    {"abc", "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value: abc"},
    {"", "\"TOKIO_WORKER_THREADS\" must be usize, error: cannot parse integer from empty string, value: "},
    {"-1", "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value: -1"},
    {" 4", "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value:  4"},
    {"18446744073709551616",
     "\"TOKIO_WORKER_THREADS\" must be usize, error: number too large to fit in target type, value: "
     "18446744073709551616"},
#if defined(_WIN32)
    // The environment holds UTF-16 there; what is not text is a lone surrogate.
    {"4\xed\xa0\x80",
     "\"TOKIO_WORKER_THREADS\" must be valid unicode, error: NotUnicode(\"4\\xED\\xA0\\x80\")"},
#else
    {"4\xff", "\"TOKIO_WORKER_THREADS\" must be valid unicode, error: NotUnicode(\"4\\xFF\")"},
#endif
  };
  for (const auto& [value, message] : cases) {
    auto run = run_probe(value);
    ASSERT_TRUE(run.exited) << value;
    EXPECT_EQ(run.lines["error"], message) << value;
    EXPECT_EQ(run.lines["again"], poisoned) << value;
    EXPECT_EQ(run.lines.count("workers"), 0u) << value;
  }
}

TEST(RuntimeCreation, UnbuildableRuntimeIsFinal) {
#if defined(_WIN32)
  // The probe starves the runtime of file descriptors (RLIMIT_NOFILE); Windows
  // has no such limit on handles, so nothing outside makes its I/O completion
  // port fail to open.
  GTEST_SKIP() << "no descriptor limit to exhaust on Windows";
#endif
  auto run = run_probe("2", "nofile");
  ASSERT_TRUE(run.exited);
  EXPECT_TRUE(run.lines["error"].starts_with("Unable to build Tokio runtime: ")) << run.lines["error"];
  EXPECT_EQ(run.lines["again"], "called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
}

TEST(RuntimeCreation, ProcessExitsWhileTasksAndBlockingJobsRun) {
  auto run = run_probe("2", "exit");
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.lines.count("leaving"), 1u);
}

TEST(WorkerCountParsing, EdgesOfTheGrammar) {
  EXPECT_EQ(worker_count_from("+0012"), 12u);
  EXPECT_EQ(worker_count_from("18446744073709551615"), 18446744073709551615u);
  EXPECT_EQ(worker_count_from(std::nullopt), processor_count());
  EXPECT_EQ(failure_text("+0"), "\"TOKIO_WORKER_THREADS\" cannot be set to 0");
  EXPECT_EQ(failure_text("+"),
            "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value: +");
  EXPECT_EQ(failure_text("++1"),
            "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value: ++1");
  EXPECT_EQ(failure_text("4 "),
            "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value: 4 ");
  // Overlong encodings and surrogates are not text either.
  EXPECT_TRUE(failure_text("\xc0\xb4").find(" must be valid unicode, error: ") != std::string::npos);
  EXPECT_TRUE(failure_text("\xed\xa0\x80").find(" must be valid unicode, error: ") != std::string::npos);
  EXPECT_TRUE(failure_text("\xc3\xa9").find(" must be usize, error: invalid digit") != std::string::npos);
}

TEST(WorkerCountParsing, UnicodeIsWellFormedUtf8OfEveryLength) {
  // Text that is no number fails as usize; anything else as not unicode.
  for (const char* text : {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xe2\x82\xac", "\xed\x9f\xbf",
                           "\xee\x80\x80", "\xf0\x90\x80\x80", "\xf0\x9f\x98\x80", "\xf3\xbf\xbf\xbf",
                           "\xf4\x8f\xbf\xbf", "z\xf0\x9f\x98\x80z"}) {
    EXPECT_TRUE(failure_text(text).find(" must be usize, error: invalid digit") != std::string::npos) << text;
  }
  for (const char* text : {
           "\x80",              // a continuation byte alone
           "\xc1\xbf",          // overlong two bytes
           "\xc2",              // cut short
           "\xc2\x28",          // second byte no continuation
           "\xe0\x9f\xbf",      // overlong three bytes
           "\xe2\x82",          // cut short
           "\xe2\x82\x28",      // third byte no continuation
           "\xe2\x28\xac",      // second byte no continuation
           "\xf0\x8f\xbf\xbf",  // overlong four bytes
           "\xf0\x9f\x98\x28",  // fourth byte no continuation
           "\xf0\x9f\x28\x80",  // third byte no continuation
           "\xf4\x90\x80\x80",  // above U+10FFFF
           "\xf5\x80\x80\x80",  // no such lead byte
       }) {
    EXPECT_TRUE(failure_text(text).find(" must be valid unicode, error: ") != std::string::npos) << text;
  }
}

// ---- tasks on the shared runtime of this test process ----

TEST(RuntimeTasks, SpawnFromPlainThreadsAndJoin) {
  auto from_thread = std::async(std::launch::async, [] {
    return spawn_on(new_strand(), []() -> asio::awaitable<int> {
      EXPECT_TRUE(on_worker());
      EXPECT_EQ(current_thread_name(), "tokio-runtime-worker");
      co_return 42;
    }());
  });
  JoinHandle<int> handle = from_thread.get();
  auto outcome = wait_for(handle.join());
  ASSERT_TRUE(outcome.finished());
  EXPECT_EQ(outcome.value(), 42);

  // A task spawns and joins a child of its own.
  auto nested = wait_for([]() -> asio::awaitable<std::string> {
    auto child = spawn_on(new_strand(), []() -> asio::awaitable<std::string> { co_return "child"; }());
    auto ended = co_await child.join();
    co_return ended.value();
  }());
  EXPECT_EQ(nested, "child");
}

TEST(RuntimeTasks, RunBlockingUsesPoolThreadAndResumesOnTaskStrand) {
  auto handle = spawn_on(new_strand(), []() -> asio::awaitable<void> {
    const auto self = co_await asio::this_coro::executor;
    const auto caller = std::this_thread::get_id();
    auto [id, name, worker] = co_await background_runtime().run_blocking(
        [] { return std::tuple(std::this_thread::get_id(), current_thread_name(), on_worker()); });
    EXPECT_NE(id, caller);
    EXPECT_EQ(name, "tokio-runtime-worker");
    EXPECT_FALSE(worker);
    EXPECT_TRUE(on_task_strand(self));
    EXPECT_TRUE(on_worker());

    bool thrown = false;
    try {
      co_await background_runtime().run_blocking([] { throw std::runtime_error("lookup failed"); });
    } catch (const std::runtime_error& e) {
      thrown = std::string(e.what()) == "lookup failed";
    }
    EXPECT_TRUE(thrown);
    EXPECT_TRUE(on_task_strand(self));
  }());
  EXPECT_TRUE(wait_for(handle.join()).finished());
}

TEST(RuntimeTasks, FailuresAreReportedAndWorkersSurvive) {
  background_runtime();  // created before stderr is captured
  FdCapture internal_err(2);
  auto where = std::source_location::current();
  auto internal = spawn_on(new_strand(), [](std::source_location at) -> asio::awaitable<int> {
    throw kestrel::InternalFailure("bad move from handle_turn", at);
    co_return 0;
  }(where));
  auto internal_outcome = wait_for(internal.join());
  const std::string report = internal_err.finish();
  ASSERT_TRUE(internal_outcome.failed());
  EXPECT_EQ(internal_outcome.failure_message(), "bad move from handle_turn");
  EXPECT_EQ(report, "thread 'tokio-runtime-worker' panicked at " + std::string(where.file_name()) + ":" +
                        std::to_string(where.line()) + ":" + std::to_string(where.column()) +
                        ":\nbad move from handle_turn\n");

  // Other exceptions name the spawn site; one without a message has none.
  FdCapture other_err(2);
  const int spawn_line = __LINE__ + 1;
  auto plain = spawn_on(new_strand(), []() -> asio::awaitable<void> {
    throw std::logic_error("plain");
    co_return;
  }());
  auto plain_outcome = wait_for(plain.join());
  auto odd = spawn_on(new_strand(), []() -> asio::awaitable<void> {
    throw 7;
    co_return;
  }());
  auto odd_outcome = wait_for(odd.join());
  const std::string reports = other_err.finish();
  EXPECT_EQ(plain_outcome.failure_message(), "plain");
  EXPECT_NE(reports.find(std::string(__FILE__) + ":" + std::to_string(spawn_line) + ":"), std::string::npos);
  EXPECT_NE(reports.find(":\nplain\n"), std::string::npos);
  ASSERT_TRUE(odd_outcome.failed());
  EXPECT_EQ(odd_outcome.failure_message(), std::nullopt);

  // More failing tasks than workers, then ordinary work still runs.
  FdCapture more_err(2);
  std::vector<JoinHandle<void>> failing;
  for (std::size_t i = 0; i < 2 * background_runtime().worker_count(); ++i) {
    failing.push_back(spawn_on(new_strand(), []() -> asio::awaitable<void> {
      throw kestrel::InternalFailure("again");
      co_return;
    }()));
  }
  auto after = spawn_on(new_strand(), []() -> asio::awaitable<int> { co_return 5; }());
  EXPECT_EQ(wait_for(after.join()).value(), 5);
  for (auto& handle : failing) EXPECT_TRUE(wait_for(handle.join()).failed());
  more_err.finish();
}

TEST(RuntimeTasks, CancelEndsSuspendedTaskSilently) {
  background_runtime();
  FdCapture cancel_err(2);
  std::promise<void> waiting;
  auto handle = spawn_on(new_strand(), [](std::promise<void>& waiting) -> asio::awaitable<int> {
    asio::steady_timer timer(co_await asio::this_coro::executor, 1h);
    waiting.set_value();
    co_await timer.async_wait(asio::use_awaitable);
    co_return 1;
  }(waiting));
  waiting.get_future().wait();
  handle.cancel();  // from the test thread; lands on the task's strand
  auto outcome = wait_for(handle.join());
  EXPECT_TRUE(outcome.cancelled());
  EXPECT_EQ(cancel_err.finish(), "");

  // A task may also give up on its own, just as quietly.
  FdCapture abandon_err(2);
  auto abandoned = spawn_on(new_strand(), []() -> asio::awaitable<int> {
    throw TaskAbandoned{};
    co_return 1;
  }());
  EXPECT_TRUE(wait_for(abandoned.join()).cancelled());
  EXPECT_EQ(abandon_err.finish(), "");

  // Cancelling a finished task changes nothing; a dropped handle detaches.
  auto done = spawn_on(new_strand(), []() -> asio::awaitable<int> { co_return 3; }());
  std::promise<void> detached_ran;
  spawn_on(new_strand(), [](std::promise<void>& ran) -> asio::awaitable<void> {
    ran.set_value();
    co_return;
  }(detached_ran));
  auto finished = wait_for(done.join());
  done.cancel();
  EXPECT_EQ(finished.value(), 3);
  EXPECT_EQ(detached_ran.get_future().wait_for(kPatience), std::future_status::ready);
}
