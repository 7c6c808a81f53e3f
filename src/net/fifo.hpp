// A first-in, first-out buffer that owns no memory while empty.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kestrel::net {

// First in, first out over a vector read from a moving head. Unlike
// std::deque, an empty one owns no memory: most queues here (one per task
// outcome, per turn, per connection half) carry a handful of items in their
// whole life, and a deque's first block alone is half a kilobyte.
template <class T>
class Fifo {
 public:
  bool empty() const noexcept { return head_ == items_.size(); }

  void push(T item) { items_.push_back(std::move(item)); }

  T pop() {
    T item = std::move(items_[head_++]);
    if (head_ == items_.size()) {
      items_.clear();
      head_ = 0;
    } else if (head_ >= 64 && head_ * 2 >= items_.size()) {
      // A consumer that never catches up would otherwise keep every slot.
      items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    return item;
  }

  void swap(Fifo& other) noexcept {
    items_.swap(other.items_);
    std::swap(head_, other.head_);
  }

 private:
  std::vector<T> items_;
  std::size_t head_ = 0;
};

}  // namespace kestrel::net
