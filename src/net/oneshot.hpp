// A channel that carries at most one value, built on the queue of
// net/queue.hpp: the end of a task to whoever awaits its handle.
#pragma once

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/system_executor.hpp>
#include <optional>
#include <utility>

#include "net/queue.hpp"

namespace kestrel::net {

template <class T>
class OneshotReceiver;

// Sends at most one value; dropping it unsent closes the channel.
template <class T>
class OneshotSender {
 public:
  OneshotSender() noexcept = default;
  OneshotSender(OneshotSender&&) noexcept = default;
  OneshotSender& operator=(OneshotSender&&) noexcept = default;

  // False if the receiver is gone or a value was already sent.
  bool send(T value) {
    Sender<T> once = std::move(sender_);
    return once.send(std::move(value));
  }

 private:
  template <class U>
  friend std::pair<OneshotSender<U>, OneshotReceiver<U>> make_oneshot();
  explicit OneshotSender(Sender<T> s) noexcept : sender_(std::move(s)) {}

  Sender<T> sender_;
};

template <class T>
class OneshotReceiver {
 public:
  OneshotReceiver() noexcept = default;
  OneshotReceiver(OneshotReceiver&&) noexcept = default;
  OneshotReceiver& operator=(OneshotReceiver&&) noexcept = default;

  // The value, or std::nullopt when the sender was dropped unsent. Same
  // completion signature and cancellation as Receiver::async_receive.
  template <class Token = boost::asio::default_completion_token_t<boost::asio::system_executor>>
  auto async_receive(Token&& token = {}) {
    return receiver_.async_receive(std::forward<Token>(token));
  }
  boost::asio::awaitable<std::optional<T>> receive() { return receiver_.receive(); }

 private:
  template <class U>
  friend std::pair<OneshotSender<U>, OneshotReceiver<U>> make_oneshot();
  explicit OneshotReceiver(Receiver<T> r) noexcept : receiver_(std::move(r)) {}

  Receiver<T> receiver_;
};

template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> make_oneshot() {
  auto [s, r] = make_queue<T>();
  return {OneshotSender<T>(std::move(s)), OneshotReceiver<T>(std::move(r))};
}

}  // namespace kestrel::net
