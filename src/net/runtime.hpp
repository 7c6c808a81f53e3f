// The process-wide background runtime: one io_context, created on first
// use, never shut down, run by worker threads named "tokio-runtime-worker".
//
// INTERFACE CONTRACT (to be implemented in runtime.hpp/runtime.cpp):
//
//   class BackgroundRuntime {
//    public:
//     boost::asio::io_context& context() noexcept;
//     std::size_t worker_count() const noexcept;
//     // Runs `fn` (a blocking call such as getaddrinfo) on the runtime's
//     // pool of blocking threads and resumes the awaiting coroutine on its
//     // own executor; never blocks a worker.
//     template <class F> boost::asio::awaitable<std::invoke_result_t<F>> run_blocking(F fn);
//   };
//
//   // Creates the runtime on first call (concurrent first callers wait for
//   // the one creator). Throws InternalFailure with the exact texts for a
//   // bad TOKIO_WORKER_THREADS or a failed creation; after a failure every
//   // later call throws the poisoned-lock failure.
//   BackgroundRuntime& background_runtime();
//
//   // Each spawned task runs on its own strand of the runtime (so it may
//   // move between workers but never runs on two at once). A task that
//   // throws is caught at the boundary: the worker survives and writes
//   //   "thread '<name>' panicked at <file>:<line>:<column>:\n<message>\n"
//   // to standard error; a task ended by cancellation (operation_aborted)
//   // writes nothing.
//   template <class T> struct TaskOutcome { ... };  // value | failure message | cancelled
//   template <class T> class JoinHandle {           // dropping it detaches
//     boost::asio::awaitable<TaskOutcome<T>> join();
//     // Terminal cancellation, emitted on the task's own strand (safe from
//     // any thread).
//     void cancel();
//   };
//   template <class T> JoinHandle<T> spawn(boost::asio::awaitable<T> task);
//   void spawn_detached(boost::asio::awaitable<void> task);
#pragma once
