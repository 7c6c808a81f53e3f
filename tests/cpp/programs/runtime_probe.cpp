// Creates the background runtime under whatever environment it was started
// with and prints what came of it, one "key=value" line each:
//   runtime_probe threads  -- workers, named threads, processors; or the
//                             failure and the failure of a second request
//   runtime_probe nofile   -- the same with no file descriptors to spare
//   runtime_probe exit     -- returns from main while tasks run and a
//                             blocking job sleeps; must exit at once
#include <sys/resource.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "core/failure.hpp"
#include "net/os_thread.hpp"
#include "net/runtime.hpp"
#include "net/task.hpp"
#include "net/worker_config.hpp"

namespace asio = boost::asio;
using kestrel::net::background_runtime;

namespace {

// Threads of this process whose OS name is the runtime's (15 characters).
int named_runtime_threads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "tokio-runtime-w") ++count;
  }
  return count;
}

void request_twice() {
  try {
    const std::size_t workers = background_runtime().worker_count();
    std::cout << "workers=" << workers << "\n";
    std::cout << "named=" << named_runtime_threads() << "\n";
    std::cout << "processors=" << kestrel::net::processor_count() << "\n";
    // Read once: a later change has no effect.
    ::setenv(kestrel::net::kWorkerThreadsVariable, "3", 1);
    const std::size_t again = background_runtime().worker_count();
    std::cout << "workers_again=" << again << "\n";
  } catch (const kestrel::InternalFailure& e) {
    std::cout << "error=" << e.what() << "\n";
    try {
      background_runtime();
      std::cout << "again=created\n";
    } catch (const kestrel::InternalFailure& again) {
      std::cout << "again=" << again.what() << "\n";
    }
  }
}

// Each task gets a strand of its own, so none waits for another.
asio::any_io_executor new_strand() { return asio::make_strand(background_runtime().context()); }

asio::awaitable<void> tick_forever() {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    timer.expires_after(std::chrono::milliseconds(1));
    co_await timer.async_wait(asio::use_awaitable);
  }
}

asio::awaitable<void> sleep_blocking() {
  co_await background_runtime().run_blocking([] { std::this_thread::sleep_for(std::chrono::hours(1)); });
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "threads";
  if (mode == "nofile") {
    // Only the three standard streams fit: the runtime's epoll cannot open.
    rlimit limit{3, 3};
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (mode == "exit") {
    for (int i = 0; i < 8; ++i) kestrel::net::spawn_detached_on(new_strand(), tick_forever());
    kestrel::net::spawn_detached_on(new_strand(), sleep_blocking());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::cout << "leaving" << std::endl;
    return 0;
  }
  request_twice();
  return 0;
}
