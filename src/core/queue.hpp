// Unbounded multi-producer single-consumer queues whose receive suspends a
// coroutine (never a thread), and a one-shot channel on the same pattern.
//
// Built on Asio rather than experimental::concurrent_channel: in Boost 1.81
// that channel's close() discards buffered items and a cancelled receive
// leaves it refusing try_send.
//
// INTERFACE CONTRACT (implementation to be completed in this header):
//
//   template <class T> class Sender;    // copyable; the queue closes for
//                                       // receiving once every copy is gone
//                                       // and the buffer is empty
//     bool send(T item);                // never waits; false (item dropped)
//                                       // once the Receiver is gone
//
//   template <class T> class Receiver;  // move-only; dropping it closes the
//                                       // queue for sending
//     // Next item, or std::nullopt once closed and empty. Completion
//     // signature void(error_code, std::optional<T>); cancellable through
//     // the handler's cancellation slot (completes with
//     // asio::error::operation_aborted, item left in the queue).
//     template <class Token = asio::default_completion_token_t<...>>
//     auto async_receive(Token&& token);
//     boost::asio::awaitable<std::optional<T>> receive();  // use_awaitable form
//
//   template <class T> std::pair<Sender<T>, Receiver<T>> make_queue();
//
//   template <class T> class OneshotSender;    // move-only; send(T) -> bool
//                                              // (false if the receiver is
//                                              // gone); dropping it unsent
//                                              // closes the channel
//   template <class T> class OneshotReceiver;  // move-only
//     // The value, or std::nullopt when the sender was dropped unsent.
//     // Same completion signature and cancellation as Receiver.
//     template <class Token> auto async_receive(Token&& token);
//     boost::asio::awaitable<std::optional<T>> receive();
//   template <class T> std::pair<OneshotSender<T>, OneshotReceiver<T>> make_oneshot();
//
// Any thread may send; the waiting receiver is completed by posting to its
// handler's associated executor.
#pragma once

#include "core/ws_message.hpp"

namespace kestrel {

// Implementation goes here.

using OutboxSender = Sender<WsMessage>;
using OutboxReceiver = Receiver<WsMessage>;
using InboxSender = Sender<WsMessage>;
using InboxReceiver = Receiver<WsMessage>;

}  // namespace kestrel
