#include "backint/backint_stream_pool.h"

#include <system_error>

namespace sap_hana {

Backint_Stream_Pool::Backint_Stream_Pool(std::size_t limit)
    : limit_(limit < 1           ? 1
             : limit > max_limit ? max_limit
                                 : limit) {}

Backint_Stream_Pool::~Backint_Stream_Pool() { join_all(); }

void Backint_Stream_Pool::submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(task));
    if (waiting_threads_ >= queue_.size() || threads_.size() >= limit_) {
      cv_.notify_one();
      return;
    }
    try {
      threads_.emplace_back(&Backint_Stream_Pool::work, this);
      return;
    } catch (const std::system_error&) {
      // Fewer threads than wanted is slower, not wrong.
      if (!threads_.empty()) {
        cv_.notify_one();
        return;
      }
      task = std::move(queue_.back());
      queue_.pop_back();
      ++running_;
    }
  }
  std::exception_ptr failure;
  try {
    task();
  } catch (...) {
    failure = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  --running_;
  ++finished_;
  if (failure && !first_exception_) first_exception_ = failure;
}

void Backint_Stream_Pool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++waiting_threads_;
    cv_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    --waiting_threads_;
    if (queue_.empty()) return;
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      task();
    } catch (...) {
      failure = std::current_exception();
    }
    task = nullptr;  // whatever the task holds goes before it counts as ended
    lock.lock();
    --running_;
    ++finished_;
    if (failure && !first_exception_) first_exception_ = failure;
    idle_.notify_all();
  }
}

void Backint_Stream_Pool::wait() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
  }
  std::exception_ptr failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failure = first_exception_;
    first_exception_ = nullptr;
  }
  if (failure) std::rethrow_exception(failure);
}

std::size_t Backint_Stream_Pool::running() {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

std::size_t Backint_Stream_Pool::finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

void Backint_Stream_Pool::transfer_started() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++transfers_;
  last_progress_ = std::chrono::steady_clock::now();
}

void Backint_Stream_Pool::transfer_ended() {
  std::lock_guard<std::mutex> lock(mutex_);
  --transfers_;
  last_transfer_end_ = std::chrono::steady_clock::now();
  last_progress_ = last_transfer_end_;
}

void Backint_Stream_Pool::progressed() {
  std::lock_guard<std::mutex> lock(mutex_);
  last_progress_ = std::chrono::steady_clock::now();
}

std::chrono::steady_clock::time_point Backint_Stream_Pool::last_progress() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_progress_;
}

std::size_t Backint_Stream_Pool::queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

std::size_t Backint_Stream_Pool::grow() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t started = 0;
  while (queue_.size() > waiting_threads_ + started && threads_.size() < max_limit) {
    try {
      threads_.emplace_back(&Backint_Stream_Pool::work, this);
    } catch (const std::system_error&) {
      break;  // the streams there are still serve the queue
    }
    ++started;
  }
  return started;
}

std::chrono::steady_clock::time_point Backint_Stream_Pool::busy_until() {
  std::lock_guard<std::mutex> lock(mutex_);
  return transfers_ > 0 ? std::chrono::steady_clock::now() : last_transfer_end_;
}

void Backint_Stream_Pool::join_all() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  cv_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

}  // namespace sap_hana
