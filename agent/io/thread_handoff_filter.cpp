#include "agent/io/thread_handoff_filter.h"

#include <signal.h>

#include <cstring>
#include <exception>
#include <system_error>

namespace {

// Runs one call on the next sink. An exception must not leave the worker
// thread (that would end the process without an answer for the object):
// it fails the transfer like any other downstream error.
template <typename Call>
bool call_next(IO_Sink& next, Call call, std::string& error) {
  try {
    if (call()) return true;
    error = next.error();
  } catch (const std::exception& e) {
    error = std::string("the transfer thread failed: ") + e.what();
  } catch (...) {
    error = "the transfer thread failed";
  }
  return false;
}

}  // namespace

Thread_Handoff_Filter::Thread_Handoff_Filter(IO_Sink& next, std::size_t buffers, std::size_t block_size)
    : IO_Filter(next), block_size_(block_size), buffer_count_(buffers == 0 ? 1 : buffers) {}

Thread_Handoff_Filter::~Thread_Handoff_Filter() { stop_worker(false); }

bool Thread_Handoff_Filter::start() {
  if (worker_.joinable()) return true;
  try {
    worker_ = std::thread(&Thread_Handoff_Filter::run, this);
  } catch (const std::system_error& e) {
    return fail(std::string("failed to start the transfer thread: ") + e.what());
  }
  return true;
}

bool Thread_Handoff_Filter::downstream_failed() {
  if (!failed_) return false;
  fail(downstream_error_);
  return true;
}

std::unique_ptr<char[]> Thread_Handoff_Filter::acquire() {
  if (!start()) return nullptr;
  std::unique_ptr<char[]> buffer;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return failed_ || !free_.empty() || allocated_ < buffer_count_; });
    if (downstream_failed()) return nullptr;
    if (!free_.empty()) {
      buffer = std::move(free_.back());
      free_.pop_back();
      return buffer;
    }
    ++allocated_;
  }
  return std::unique_ptr<char[]>(new char[block_size_]);
}

void Thread_Handoff_Filter::release(std::unique_ptr<char[]> block) {
  if (!block) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(block));
  }
  cv_.notify_all();
}

bool Thread_Handoff_Filter::submit(std::unique_ptr<char[]> block, std::size_t size) {
  if (size == 0) {
    release(std::move(block));
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (downstream_failed()) {
      free_.push_back(std::move(block));
      return false;
    }
    queue_.push_back(Block{std::move(block), size});
  }
  cv_.notify_all();
  return true;
}

bool Thread_Handoff_Filter::write(const char* data, std::size_t size) {
  while (size > 0) {
    std::unique_ptr<char[]> buffer = acquire();
    if (!buffer) return false;
    std::size_t take = std::min(size, block_size_);
    std::memcpy(buffer.get(), data, take);
    data += take;
    size -= take;
    if (!submit(std::move(buffer), take)) return false;
  }
  return true;
}

void Thread_Handoff_Filter::run() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
  for (;;) {
    Block item;
    bool finish_next = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) {
        finish_next = finish_next_ && !failed_;
      } else {
        item = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (!item.data) {
      if (finish_next) {
        std::string error;
        bool ok = call_next(
            next(), [this] { return next().finish(); }, error);
        std::lock_guard<std::mutex> lock(mutex_);
        next_finished_ok_ = ok;
        if (!ok) {
          failed_ = true;
          downstream_error_ = error;
        }
      }
      return;
    }
    bool ok = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ok = !failed_;
    }
    // After a failure the remaining blocks are only recycled: the next sink takes nothing more.
    std::string error;
    if (ok && !call_next(
                  next(), [this, &item] { return next().write(item.data.get(), item.size); }, error)) {
      std::lock_guard<std::mutex> lock(mutex_);
      failed_ = true;
      downstream_error_ = error;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(std::move(item.data));
    }
    cv_.notify_all();
  }
}

void Thread_Handoff_Filter::stop_worker(bool finish_next) {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    finish_next_ = finish_next;
    // Abandoned transfer: queued blocks are dropped, not written.
    if (!finish_next) failed_ = true;
  }
  cv_.notify_all();
  worker_.join();
}

bool Thread_Handoff_Filter::finish() {
  if (!start()) return false;
  stop_worker(true);
  std::lock_guard<std::mutex> lock(mutex_);
  if (downstream_failed()) return false;
  return next_finished_ok_ ? true : fail("the transfer thread ended early");
}
