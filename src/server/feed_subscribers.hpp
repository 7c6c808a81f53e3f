// Publish and subscribe for the spectator feed: the subscribers' list, each
// change handed to every one of them, and those that fall behind let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::server {

// One event as the spectator stream carries it (a whole server-sent event),
// shared by every subscriber's queue.
using FeedEvent = std::shared_ptr<const std::string>;

// A spectator connection as the feed sees it.
class FeedSubscriber {
 public:
  virtual ~FeedSubscriber() = default;
  // Called under the feed's lock, so these must only queue. `begin` comes
  // first and once: the snapshot event, in parts.
  virtual void begin(std::vector<FeedEvent> snapshot) = 0;
  // False when the subscriber has fallen too far behind: the feed forgets
  // it, and the subscriber closes itself.
  virtual bool deliver(const FeedEvent& event) = 0;
};

// Not locked itself: the feed calls it under its own lock, so that every
// subscriber sees the changes in the feed's order.
class FeedSubscribers {
 public:
  // Hands `json` as one event to every subscriber; those that refuse it go.
  void publish(const std::string& json);
  void add(std::shared_ptr<FeedSubscriber> subscriber) { list_.push_back(std::move(subscriber)); }
  void remove(const FeedSubscriber* subscriber);

  std::size_t count() const noexcept { return list_.size(); }
  // Subscribers let go for falling behind, since the start.
  std::uint64_t dropped() const noexcept { return dropped_; }

 private:
  std::vector<std::shared_ptr<FeedSubscriber>> list_;
  std::uint64_t dropped_ = 0;
};

}  // namespace kestrel::server
