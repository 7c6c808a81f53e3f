#include "net/serial_executor.hpp"

namespace kestrel::net {

namespace {

// The executor this thread runs now, if any (one at a time: a handler of
// one connection that dispatches to another runs that one nested).
thread_local const SerialCore* t_running = nullptr;

}  // namespace

SerialCore::Enter::Enter(const SerialCore* core) noexcept : previous_(t_running) { t_running = core; }
SerialCore::Enter::~Enter() { t_running = previous_; }

SerialCore::~SerialCore() {
  // Left over when the runtime stopped before running them: destroyed, so
  // that what they hold (coroutine frames among them) is released.
  requeue_local();
  while (head_ != nullptr) {
    Job* job = head_;
    head_ = job->next;
    job->complete(job, false);
  }
}

bool SerialCore::running_here() const noexcept { return t_running == this; }

bool SerialCore::enqueue(Job* job) noexcept {
  job->next = nullptr;
  if (outside_owner_ && running_here()) {
    (local_tail_ != nullptr ? local_tail_->next : local_head_) = job;
    local_tail_ = job;
    return false;
  }
  std::lock_guard lock(mutex_);
  if (tail_ != nullptr) {
    tail_->next = job;
  } else {
    head_ = job;
  }
  tail_ = job;
  if (owned_) return false;
  owned_ = true;
  return true;
}

bool SerialCore::run_batch() {
  Enter here(this);
  return run_batch_entered();
}

bool SerialCore::run_batch_entered() {
  Job* batch = nullptr;
  {
    std::lock_guard lock(mutex_);
    batch = head_;
    head_ = tail_ = nullptr;
  }
  while (batch != nullptr) {
    Job* job = batch;
    batch = job->next;
    try {
      job->complete(job, true);
    } catch (...) {
      // The rest of the batch goes back to the front of the queue, in
      // order, still owned: whoever catches this hands it on.
      if (batch != nullptr) {
        std::lock_guard lock(mutex_);
        Job* last = batch;
        while (last->next != nullptr) last = last->next;
        last->next = head_;
        if (head_ == nullptr) tail_ = last;
        head_ = batch;
      }
      throw;
    }
  }
  std::lock_guard lock(mutex_);
  if (head_ != nullptr) return true;
  owned_ = false;
  return false;
}

void SerialCore::run_local() {
  while (local_head_ != nullptr) {
    Job* job = local_head_;
    local_head_ = job->next;
    if (local_head_ == nullptr) local_tail_ = nullptr;
    job->complete(job, true);
  }
}

void SerialCore::requeue_local() noexcept {
  if (local_head_ == nullptr) return;
  std::lock_guard lock(mutex_);
  local_tail_->next = head_;
  if (head_ == nullptr) tail_ = local_tail_;
  head_ = local_head_;
  local_head_ = local_tail_ = nullptr;
}

bool SerialCore::release_unless_queued() noexcept {
  std::lock_guard lock(mutex_);
  if (head_ != nullptr) return true;
  owned_ = false;
  return false;
}

ConnectionExecutor make_connection_executor(boost::asio::io_context& context) {
  return ConnectionExecutor(std::make_shared<SerialCore>(), context.get_executor());
}

}  // namespace kestrel::net
