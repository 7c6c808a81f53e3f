#include "net/runtime.hpp"

#include <boost/asio/steady_timer.hpp>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "core/failure.hpp"
#include "core/process.hpp"
#include "core/texts.hpp"
#include "net/os_thread.hpp"
#include "net/panic.hpp"
#include "net/worker_config.hpp"

namespace kestrel::net {
namespace asio = boost::asio;

namespace {

// Blocking threads are started on demand and then kept; this caps a burst.
constexpr std::size_t kMaxBlockingThreads = 64;

// Runs `io` on the calling thread for good. A handler that throws outside
// any task is reported and the thread goes back to work.
template <class OnStart>
void serve(asio::io_context& io, OnStart on_start) {
  set_current_thread_name(kRuntimeThreadName);
  on_start();
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& e) {
      report_panic(nullptr, e.what());
    } catch (...) {
      report_panic(nullptr, texts::kNoMessage);
    }
  }
}

// Creation state. None of it has a destructor that matters, and the runtime
// itself is never deleted: no static destructor touches it while workers run
// on after main returns.
std::mutex* creation_mutex = new std::mutex;
bool creation_poisoned = false;  // guarded by *creation_mutex
std::atomic<BackgroundRuntime*> runtime_cell{nullptr};

// A child made by fork() has none of the runtime's threads: it starts from
// scratch, like a new process, at its first request (the parent's tasks and
// their memory are left alone, never run or freed there). The creation lock
// is replaced, as another thread may have held it at the fork.
void forget_runtime_in_child() {
  creation_mutex = new std::mutex;
  creation_poisoned = false;
  runtime_cell.store(nullptr, std::memory_order_release);
}

}  // namespace

BackgroundRuntime::BackgroundRuntime(std::size_t workers)
    : workers_(workers),
      io_(static_cast<int>(std::min<std::size_t>(workers, std::numeric_limits<int>::max()))),
      io_guard_(io_.get_executor()),
      blocking_guard_(blocking_.get_executor()) {
  // Asio opens the I/O and timer drivers on first use; opening them here
  // makes a lack of resources a creation failure, not a later surprise.
  asio::steady_timer start_drivers(io_);
}

namespace {

// A countdown the creating thread waits on. Not std::latch: GCC 12's
// libstdc++ builds its waits on a shared condition variable where the OS has
// no futex (Windows), and there a count_down can be lost, leaving the
// creating thread asleep with every worker already running.
class StartCount {
 public:
  explicit StartCount(std::size_t count) : left_(count) {}

  void count_down(std::size_t n = 1) {
    std::lock_guard lock(mutex_);
    left_ -= n;
    if (left_ == 0) done_.notify_all();
  }

  void wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return left_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t left_;
};

}  // namespace

void BackgroundRuntime::start_workers() {
  // Creation returns once every worker is named and about to run, so the
  // runtime is complete when the first task is handed over.
  auto started = std::make_shared<StartCount>(workers_);
  std::size_t launched = 0;
  try {
    for (; launched < workers_; ++launched) {
      std::thread([this, started] { serve(io_, [&] { started->count_down(); }); }).detach();
    }
  } catch (...) {
    started->count_down(workers_ - launched);
    started->wait();
    throw;
  }
  started->wait();
}

void BackgroundRuntime::reserve_blocking_thread() {
  std::lock_guard lock(blocking_mutex_);
  ++blocking_jobs_;
  if (blocking_jobs_ <= blocking_threads_ || blocking_threads_ >= kMaxBlockingThreads) return;
  try {
    std::thread([this] { serve(blocking_, [] {}); }).detach();
    ++blocking_threads_;
  } catch (const std::system_error& e) {
    // With at least one thread the job only waits its turn.
    if (blocking_threads_ == 0) {
      --blocking_jobs_;
      throw InternalFailure(texts::join(texts::kNoThread, std::string_view(e.what())));
    }
  }
}

void BackgroundRuntime::release_blocking_thread() noexcept {
  std::lock_guard lock(blocking_mutex_);
  --blocking_jobs_;
}

BackgroundRuntime& background_runtime() {
  if (BackgroundRuntime* runtime = runtime_cell.load(std::memory_order_acquire)) return *runtime;
  static const bool fork_aware = (process::after_fork_in_child(forget_runtime_in_child), true);
  (void)fork_aware;
  std::lock_guard lock(*creation_mutex);
  if (creation_poisoned) {
    throw InternalFailure(std::string(texts::kRuntimePoisoned));
  }
  if (BackgroundRuntime* runtime = runtime_cell.load(std::memory_order_acquire)) return *runtime;
  try {
    const std::size_t workers = worker_count_from_environment();
    BackgroundRuntime* runtime = nullptr;
    try {
      // Deliberately never deleted: threads started below may outlive main.
      runtime = new BackgroundRuntime(workers);
      runtime->start_workers();
    } catch (const std::exception& e) {
      throw InternalFailure(texts::join(texts::kRuntimeBuildFailed, std::string_view(e.what())));
    }
    runtime_cell.store(runtime, std::memory_order_release);
    return *runtime;
  } catch (...) {
    creation_poisoned = true;
    throw;
  }
}

}  // namespace kestrel::net
