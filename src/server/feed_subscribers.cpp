#include "server/feed_subscribers.hpp"

#include <algorithm>

namespace kestrel::server {

void FeedSubscribers::publish(const std::string& json) {
  if (list_.empty()) return;
  const auto event = std::make_shared<const std::string>("data: " + json + "\n\n");
  const auto before = list_.size();
  std::erase_if(list_, [&](const auto& s) { return !s->deliver(event); });
  dropped_ += before - list_.size();
}

void FeedSubscribers::remove(const FeedSubscriber* subscriber) {
  std::erase_if(list_, [&](const auto& s) { return s.get() == subscriber; });
}

}  // namespace kestrel::server
