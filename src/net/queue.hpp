// Unbounded multi-producer single-consumer queues whose receive suspends a
// coroutine (never a thread); net/oneshot.hpp builds a one-shot channel on
// the same core.
//
// A mutex-guarded FIFO plus at most one parked receive handler. Senders
// never wait and never run the receiver's code: a parked receive is always
// completed by posting to its handler's associated executor, outside the
// lock. Not asio::experimental::concurrent_channel: in Boost 1.81 its close()
// discards buffered items and a cancelled receive leaves it refusing
// try_send.
//
// Closing: the queue closes for receiving once every Sender copy is gone
// (buffered items are still delivered first, then std::nullopt), and closes
// for sending once the Receiver is gone (its buffer is dropped, send()
// returns false).
#pragma once

#include <boost/asio/any_completion_executor.hpp>
#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/execution/blocking.hpp>
#include <boost/asio/execution/relationship.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/system_executor.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "net/fifo.hpp"
#include "net/ws_message.hpp"

namespace kestrel::net {

namespace queue_detail {

namespace asio = boost::asio;
using boost::system::error_code;

// Whether a cancellation signal asks a parked wait to end (terminal,
// partial or total; the other bits only describe the request).
inline bool ends_a_wait(asio::cancellation_type_t type) noexcept {
  return (type & (asio::cancellation_type::terminal | asio::cancellation_type::partial |
                  asio::cancellation_type::total)) != asio::cancellation_type::none;
}

template <class T>
using ReceiveHandler = asio::any_completion_handler<void(error_code, std::optional<T>)>;

// Shared by the Sender copies and the Receiver of one queue.
template <class T>
class Core : public std::enable_shared_from_this<Core<T>> {
 public:
  // Parked receive: the handler, a work-tracking copy of its executor (so
  // the context keeps running while we wait) and the wait's number, which
  // lets a late cancellation recognise that its wait is already over.
  struct Waiter {
    ReceiveHandler<T> handler;
    asio::any_completion_executor executor;
    std::uint64_t id;
  };

  void add_sender() {
    std::lock_guard lock(mutex_);
    ++senders_;
  }

  // The last sender gone wakes a parked receive, which finds the buffer
  // empty (a receive only parks on an empty buffer) and sees the end.
  void drop_sender() {
    std::optional<Waiter> woken;
    {
      std::lock_guard lock(mutex_);
      if (--senders_ == 0 && waiter_) woken = take_waiter();
    }
    if (woken) complete(std::move(*woken), {}, std::nullopt);
  }

  bool send(T item) {
    std::optional<Waiter> woken;
    {
      std::lock_guard lock(mutex_);
      if (!receiver_open_) return false;
      if (waiter_) {
        woken = take_waiter();
      } else {
        items_.push(std::move(item));
        return true;
      }
    }
    complete(std::move(*woken), {}, std::move(item));
    return true;
  }

  // The receiver is gone: refuse further items, drop the buffered ones
  // (outside the lock, their destructors may be arbitrary) and abort a
  // receive still parked.
  void close_receiver() {
    Fifo<T> dropped;
    std::optional<Waiter> aborted;
    {
      std::lock_guard lock(mutex_);
      receiver_open_ = false;
      dropped.swap(items_);
      if (waiter_) aborted = take_waiter();
    }
    if (aborted) complete(std::move(*aborted), asio::error::operation_aborted, std::nullopt);
  }

  template <class Handler>
  void start_receive(Handler handler) {
    // blocking.never: executing the completion never runs it inline.
    auto executor =
        asio::prefer(asio::require(asio::get_associated_executor(handler, asio::system_executor()),
                                   asio::execution::blocking.never),
                     asio::execution::outstanding_work.tracked, asio::execution::relationship.continuation);
    // Type-erase first: the erased handler puts its own cancellation state
    // on the caller's slot, so ours goes on the slot it exposes.
    Waiter w{ReceiveHandler<T>(std::move(handler)), asio::any_completion_executor(std::move(executor)), 0};
    std::optional<T> ready;
    error_code ec;
    {
      std::lock_guard lock(mutex_);
      if (waiter_) {
        ec = asio::error::already_started;  // one consumer, one receive at a time
      } else if (!items_.empty()) {
        ready.emplace(items_.pop());
      } else if (senders_ > 0 && receiver_open_) {
        // Park. The slot is filled before the lock is released: once a
        // sender can see the waiter, the coroutine may resume elsewhere and
        // reuse its slot.
        w.id = ++next_wait_id_;
        auto slot = w.handler.get_cancellation_slot();
        if (slot.is_connected()) {
          slot.template emplace<CancelWait>(this->weak_from_this(), w.id);
        }
        waiter_.emplace(std::move(w));
        return;
      }
    }
    // Never complete inside the initiating call.
    complete(std::move(w), ec, std::move(ready));
  }

 private:
  // Installed on the receive handler's cancellation slot. Left in place
  // after the wait ends (as Asio's own operations do); a stale call finds a
  // different or no wait and does nothing.
  struct CancelWait {
    std::weak_ptr<Core> core;
    std::uint64_t id;

    CancelWait(std::weak_ptr<Core> c, std::uint64_t i) : core(std::move(c)), id(i) {}

    void operator()(asio::cancellation_type_t type) {
      if (!ends_a_wait(type)) return;
      if (auto c = core.lock()) c->cancel_wait(id);
    }
  };

  // Hands the parked handler back with operation_aborted; buffered items
  // (there are none while a receive is parked) and later sends are kept.
  void cancel_wait(std::uint64_t id) {
    std::optional<Waiter> aborted;
    {
      std::lock_guard lock(mutex_);
      if (waiter_ && waiter_->id == id) aborted = take_waiter();
    }
    if (aborted) complete(std::move(*aborted), asio::error::operation_aborted, std::nullopt);
  }

  Waiter take_waiter() {
    Waiter w = std::move(*waiter_);
    waiter_.reset();
    return w;
  }

  static void complete(Waiter w, error_code ec, std::optional<T> value) {
    auto executor = std::move(w.executor);
    executor.execute([handler = std::move(w.handler), ec, value = std::move(value)]() mutable {
      std::move(handler)(ec, std::move(value));
    });
  }

  std::mutex mutex_;
  Fifo<T> items_;
  std::size_t senders_ = 0;
  bool receiver_open_ = true;
  std::optional<Waiter> waiter_;
  std::uint64_t next_wait_id_ = 0;
};

template <class T>
struct ReceiveInitiation {
  std::shared_ptr<Core<T>> core;

  template <class Handler>
  void operator()(Handler&& handler) const {
    if (core) {
      core->start_receive(std::forward<Handler>(handler));
    } else {
      // A detached (default-constructed or moved-from) receiver: closed.
      auto executor = asio::get_associated_executor(handler, asio::system_executor());
      asio::post(executor,
                 [h = std::move(handler)]() mutable { std::move(h)(error_code{}, std::optional<T>{}); });
    }
  }
};

}  // namespace queue_detail

template <class T>
class Receiver;

// Producing end; copies share the queue. A default-constructed Sender is
// detached and every send fails.
template <class T>
class Sender {
 public:
  Sender() noexcept = default;
  Sender(const Sender& other) : core_(other.core_) {
    if (core_) core_->add_sender();
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(const Sender& other) {
    if (this != &other) *this = Sender(other);
    return *this;
  }
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      reset();
      core_ = std::move(other.core_);
    }
    return *this;
  }
  ~Sender() { reset(); }

  // Never waits. False (and the item dropped) once the receiver is gone.
  bool send(T item) const { return core_ ? core_->send(std::move(item)) : false; }

  // Gives up this copy now instead of at destruction.
  void reset() noexcept {
    if (auto core = std::move(core_)) core->drop_sender();
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_queue();
  explicit Sender(std::shared_ptr<queue_detail::Core<T>> core) : core_(std::move(core)) {
    core_->add_sender();
  }

  std::shared_ptr<queue_detail::Core<T>> core_;
};

// Consuming end; move-only. Dropping it closes the queue for sending. A
// default-constructed Receiver is detached and behaves as closed.
template <class T>
class Receiver {
 public:
  Receiver() noexcept = default;
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      close();
      core_ = std::move(other.core_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  // Next item, or std::nullopt once every sender is gone and the buffer is
  // empty. Completion signature void(error_code, std::optional<T>). A wait
  // cancelled through the handler's cancellation slot completes with
  // asio::error::operation_aborted and leaves the queue as it was. One
  // receive at a time; a second concurrent one fails with already_started.
  template <class Token = boost::asio::default_completion_token_t<boost::asio::system_executor>>
  auto async_receive(Token&& token = {}) {
    return boost::asio::async_initiate<Token, void(boost::system::error_code, std::optional<T>)>(
        queue_detail::ReceiveInitiation<T>{core_}, token);
  }

  // async_receive for coroutines; throws boost::system::system_error when
  // cancelled.
  boost::asio::awaitable<std::optional<T>> receive() { return async_receive(boost::asio::use_awaitable); }

  // Closes the queue for sending now instead of at destruction.
  void close() noexcept {
    if (auto core = std::move(core_)) core->close_receiver();
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_queue();
  explicit Receiver(std::shared_ptr<queue_detail::Core<T>> core) : core_(std::move(core)) {}

  std::shared_ptr<queue_detail::Core<T>> core_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_queue() {
  auto core = std::make_shared<queue_detail::Core<T>>();
  return {Sender<T>(core), Receiver<T>(core)};
}

using OutboxSender = Sender<WsMessage>;
using OutboxReceiver = Receiver<WsMessage>;
using InboxSender = Sender<WsMessage>;
using InboxReceiver = Receiver<WsMessage>;

}  // namespace kestrel::net
