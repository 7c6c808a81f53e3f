// The process-wide background runtime: one io_context, created on first use
// and never shut down, run by worker threads named "tokio-runtime-worker",
// with a separate pool of blocking threads (same name) for calls such as
// getaddrinfo that must not stall a worker. Tasks run on it through
// net/task.hpp.
#pragma once

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrel::net {

// Every thread the runtime starts carries this name (Linux shows the first
// 15 characters, "tokio-runtime-w").
inline constexpr std::string_view kRuntimeThreadName = "tokio-runtime-worker";

class BackgroundRuntime {
 public:
  BackgroundRuntime(const BackgroundRuntime&) = delete;
  BackgroundRuntime& operator=(const BackgroundRuntime&) = delete;

  boost::asio::io_context& context() noexcept { return io_; }
  std::size_t worker_count() const noexcept { return workers_; }

  // Runs `fn` (a blocking call such as a synchronous resolve) on a blocking
  // thread and resumes the awaiting coroutine on its own executor. What fn
  // throws is rethrown in the coroutine. A worker never waits for it.
  template <class F>
  boost::asio::awaitable<std::invoke_result_t<F>> run_blocking(F fn);

 private:
  friend BackgroundRuntime& background_runtime();
  explicit BackgroundRuntime(std::size_t workers);
  void start_workers();
  // Counts a new blocking job and starts a blocking thread when every
  // existing one is already taken.
  void reserve_blocking_thread();
  void release_blocking_thread() noexcept;

  template <class R, class F, class Handler>
  void post_blocking(F fn, Handler handler);

  std::size_t workers_;
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> io_guard_;
  boost::asio::io_context blocking_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> blocking_guard_;
  std::mutex blocking_mutex_;
  std::size_t blocking_threads_ = 0;  // guarded by blocking_mutex_
  std::size_t blocking_jobs_ = 0;     // queued or running; guarded likewise
};

// The runtime, created by the first call from any thread (concurrent first
// callers wait for the one creator). A bad TOKIO_WORKER_THREADS or a failed
// creation throws InternalFailure, and from then on every call throws the
// poisoned-lock failure: one failed creation is final for the process.
BackgroundRuntime& background_runtime();

template <class R, class F, class Handler>
void BackgroundRuntime::post_blocking(F fn, Handler handler) {
  auto resume = boost::asio::make_work_guard(boost::asio::get_associated_executor(handler));
  boost::asio::post(blocking_, [this, fn = std::move(fn), handler = std::move(handler),
                                resume = std::move(resume)]() mutable {
    std::exception_ptr error;
    std::conditional_t<std::is_void_v<R>, std::monostate, std::optional<R>> value;
    try {
      if constexpr (std::is_void_v<R>) {
        fn();
      } else {
        value.emplace(fn());
      }
    } catch (...) {
      error = std::current_exception();
    }
    release_blocking_thread();
    auto executor = resume.get_executor();
    boost::asio::post(executor, [handler = std::move(handler), error, value = std::move(value)]() mutable {
      if constexpr (std::is_void_v<R>) {
        static_cast<void>(value);  // an empty placeholder; Clang would call its capture unused
        std::move(handler)(error);
      } else {
        std::move(handler)(error, std::move(value));
      }
    });
  });
}

template <class F>
boost::asio::awaitable<std::invoke_result_t<F>> BackgroundRuntime::run_blocking(F fn) {
  using R = std::invoke_result_t<F>;
  reserve_blocking_thread();
  // `this->` spelled out: Clang otherwise takes the capture for unused.
  auto initiate = [this, &fn](auto handler) { this->post_blocking<R>(std::move(fn), std::move(handler)); };
  if constexpr (std::is_void_v<R>) {
    co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>, void(std::exception_ptr)>(
        initiate, boost::asio::use_awaitable);
  } else {
    std::optional<R> value = co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                                                  void(std::exception_ptr, std::optional<R>)>(
        initiate, boost::asio::use_awaitable);
    co_return std::move(*value);
  }
}

}  // namespace kestrel::net
