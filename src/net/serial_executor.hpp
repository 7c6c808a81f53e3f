// The executor of one connection: like an Asio strand it runs one handler at
// a time, in the order they came, on whichever runtime worker is free;
// unlike a strand, a thread outside the runtime may also enter it while it
// is idle (try_run_here), run a function inline, run what that function
// queued, and leave. That is how the event loop's thread, holding a turn's
// answer, hands the move to the writer and starts the non-blocking write
// itself instead of waking a worker for it.
//
// Whoever runs it runs only what the connection's own tasks queue there:
// the reader, the writer and Beast's operations on the stream, which never
// wait on the network (the socket is non-blocking) and never call into
// Python.
#pragma once

#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/recycling_allocator.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/prefer.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace kestrel::net {

// The lock of one SerialCore: one byte where std::mutex takes forty, since
// every connection has one and idle sessions are counted in thousands. It
// guards a few pointer moves only, so a waiter spins briefly and then yields
// its time slice to whoever holds it (who may have been preempted).
class SpinLock {
 public:
  void lock() noexcept {
    for (int spins = 0; held_.exchange(true, std::memory_order_acquire); ++spins) {
      while (held_.load(std::memory_order_relaxed)) {
        if (++spins > kSpinsBeforeYield) std::this_thread::yield();
      }
    }
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  static constexpr int kSpinsBeforeYield = 64;
  std::atomic<bool> held_{false};
};

// The queue and the "someone runs it" flag, shared by every copy of one
// executor.
class SerialCore {
 public:
  struct Job {
    Job* next = nullptr;
    // run = false: destroy without running (the runtime shut down).
    void (*complete)(Job* self, bool run) = nullptr;
  };

  SerialCore() = default;
  SerialCore(const SerialCore&) = delete;
  SerialCore& operator=(const SerialCore&) = delete;
  ~SerialCore();

  // Whether the calling thread is running this executor right now.
  bool running_here() const noexcept;

  // Queues `job`; true if the executor was idle and the caller must now see
  // that it runs (the caller owns it from here until it has handed it on).
  bool enqueue(Job* job) noexcept;

  // Runs the jobs queued so far, as their owner; true if more came
  // meanwhile (still owned: the caller schedules another batch), false
  // once the executor is idle again.
  bool run_batch();

  // Enters the executor if it is idle, runs `f` there and then what `f`
  // queued from this thread, in order; false, running nothing, if another
  // thread runs it now. What other threads queue meanwhile is left for the
  // runtime: `hand_on` is called, the executor still owned, when anything
  // is left.
  template <class F, class HandOn>
  bool try_run_here(F&& f, HandOn&& hand_on) {
    {
      std::lock_guard lock(mutex_);
      if (owned_) return false;
      owned_ = true;
    }
    bool more = false;
    try {
      Enter here(this);
      outside_owner_ = true;
      std::forward<F>(f)();
      run_local();
      outside_owner_ = false;
      more = release_unless_queued();
    } catch (...) {
      outside_owner_ = false;
      requeue_local();
      std::forward<HandOn>(hand_on)();
      throw;
    }
    if (more) std::forward<HandOn>(hand_on)();
    return true;
  }

 private:
  // Marks the calling thread as this executor's runner for a scope.
  class Enter {
   public:
    explicit Enter(const SerialCore* core) noexcept;
    ~Enter();
    Enter(const Enter&) = delete;
    Enter& operator=(const Enter&) = delete;

   private:
    const SerialCore* previous_;
  };

  bool run_batch_entered();
  // For try_run_here: the jobs the outside thread queued itself, run in
  // order; back to the front of the queue if one throws.
  void run_local();
  void requeue_local() noexcept;
  // Gives the executor up unless jobs are queued (then true: still owned).
  bool release_unless_queued() noexcept;

  Job* head_ = nullptr;
  Job* tail_ = nullptr;
  SpinLock mutex_;
  bool owned_ = false;  // a thread runs it or a batch is scheduled
  // Set only by a thread outside the runtime while it owns the executor,
  // read only by the owner: its own jobs go to the local list.
  bool outside_owner_ = false;
  Job* local_head_ = nullptr;
  Job* local_tail_ = nullptr;
};

namespace serial_detail {

template <class F>
struct JobOf : SerialCore::Job {
  using Allocator = boost::asio::recycling_allocator<JobOf>;
  explicit JobOf(F&& fn) : f(std::move(fn)) { complete = &JobOf::complete_job; }
  F f;

  static void complete_job(SerialCore::Job* base, bool run) {
    auto* self = static_cast<JobOf*>(base);
    // The memory goes back before the function runs, so that a function
    // which queues the next job finds it in the thread's cache.
    F fn(std::move(self->f));
    Allocator allocator;
    self->~JobOf();
    allocator.deallocate(self, 1);
    if (run) fn();
  }

  static SerialCore::Job* make(F&& fn) {
    Allocator allocator;
    JobOf* memory = allocator.allocate(1);
    try {
      return new (memory) JobOf(std::move(fn));
    } catch (...) {
      allocator.deallocate(memory, 1);
      throw;
    }
  }
};

}  // namespace serial_detail

// The executor type: a SerialCore over an inner executor of the runtime
// (io_context's), whose properties (blocking, relationship, outstanding
// work, allocator) it carries the way asio::strand does.
template <class Inner>
class SerialExecutor {
 public:
  using inner_executor_type = Inner;

  SerialExecutor(std::shared_ptr<SerialCore> core, Inner inner) noexcept
      : core_(std::move(core)), inner_(std::move(inner)) {}

  const std::shared_ptr<SerialCore>& core() const noexcept { return core_; }
  const Inner& get_inner_executor() const noexcept { return inner_; }
  bool running_in_this_thread() const noexcept { return core_->running_here(); }

  // SerialCore::try_run_here, what is left handed to the runtime.
  template <class F>
  bool try_run_here(F&& f) const {
    return core_->try_run_here(std::forward<F>(f), [this] { schedule(core_, inner_); });
  }

  template <class Property>
  auto query(const Property& p) const
      -> std::enable_if_t<boost::asio::can_query<const Inner&, Property>::value,
                          typename boost::asio::query_result<const Inner&, Property>::type> {
    return boost::asio::query(inner_, p);
  }

  template <class Property>
  auto require(const Property& p) const -> std::enable_if_t<
      boost::asio::can_require<const Inner&, Property>::value,
      SerialExecutor<std::decay_t<typename boost::asio::require_result<const Inner&, Property>::type>>> {
    return {core_, boost::asio::require(inner_, p)};
  }

  template <class Property>
  auto prefer(const Property& p) const -> std::enable_if_t<
      boost::asio::can_prefer<const Inner&, Property>::value,
      SerialExecutor<std::decay_t<typename boost::asio::prefer_result<const Inner&, Property>::type>>> {
    return {core_, boost::asio::prefer(inner_, p)};
  }

  // Runs `f` inline when this thread is already running this executor and
  // blocking is allowed; otherwise queues it, and if the executor was idle,
  // hands a batch to the inner executor (which runs it inline when it may,
  // like a strand's).
  template <class F>
  void execute(F&& f) const {
    namespace execution = boost::asio::execution;
    const bool may_block = boost::asio::query(inner_, execution::blocking) != execution::blocking.never;
    if (may_block && core_->running_here()) {
      std::decay_t<F> fn(std::forward<F>(f));
      fn();
      return;
    }
    SerialCore::Job* job = serial_detail::JobOf<std::decay_t<F>>::make(std::decay_t<F>(std::forward<F>(f)));
    if (core_->enqueue(job)) schedule(core_, inner_);
  }

  friend bool operator==(const SerialExecutor& a, const SerialExecutor& b) noexcept {
    return a.core_ == b.core_ && a.inner_ == b.inner_;
  }
  friend bool operator!=(const SerialExecutor& a, const SerialExecutor& b) noexcept { return !(a == b); }

  // Hands the rest of an owned executor to the runtime: a batch at a time,
  // each as a continuation of the one before.
  static void schedule(std::shared_ptr<SerialCore> core, const Inner& inner) {
    namespace execution = boost::asio::execution;
    auto tracked = boost::asio::prefer(inner, execution::outstanding_work.tracked);
    tracked.execute(Batch<decltype(tracked)>{std::move(core), tracked});
  }

 private:
  template <class Tracked>
  struct Batch {
    std::shared_ptr<SerialCore> core;
    Tracked inner;
    void operator()() {
      bool more = false;
      try {
        more = core->run_batch();
      } catch (...) {
        next_batch();  // what the failed one left behind still runs
        throw;
      }
      if (more) next_batch();
    }
    void next_batch() const {
      namespace execution = boost::asio::execution;
      auto next = boost::asio::prefer(boost::asio::require(inner, execution::blocking.never),
                                      execution::relationship.continuation);
      next.execute(Batch<decltype(next)>{core, next});
    }
  };

  std::shared_ptr<SerialCore> core_;
  Inner inner_;
};

using ConnectionExecutor = SerialExecutor<boost::asio::io_context::executor_type>;

// A new connection executor on `context`.
ConnectionExecutor make_connection_executor(boost::asio::io_context& context);

}  // namespace kestrel::net
