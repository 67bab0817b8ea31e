#ifndef AGENT_THREAD_HANDOFF_FILTER_H
#define AGENT_THREAD_HANDOFF_FILTER_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/io/io_filter.h"

/// Runs the rest of the chain on a second thread, so that the stages before
/// this filter (reading, checksumming) overlap the stages after it
/// (compressing, writing). write() copies the bytes into one of `buffers`
/// blocks of `block_size` bytes and returns once they are queued; it waits
/// while every block is in use, so memory stays at buffers * block_size.
/// The worker thread starts on the first write or finish, blocks SIGPIPE
/// (a pipe whose reader left fails with EPIPE instead of killing the
/// process), and makes every call on the next sink, finish() included.
/// A failure downstream (an exception thrown there included) makes the next
/// write() or finish() fail with the downstream error. Destroying the filter without finish() drops the queued blocks
/// and stops the worker without finishing the next sink. write() and finish() must come from one thread.
class Thread_Handoff_Filter : public IO_Filter {
 public:
  Thread_Handoff_Filter(IO_Sink& next, std::size_t buffers = 4, std::size_t block_size = 4u << 20);
  ~Thread_Handoff_Filter() override;

  bool write(const char* data, std::size_t size) override;
  bool finish() override;

  /// Without the copy of write(): a free block of block_size() bytes to
  /// fill (waits while all are in use); null, with error(), after a
  /// downstream failure. Hand it back through submit() or release().
  std::unique_ptr<char[]> acquire();
  /// Queues the first `size` bytes of a block from acquire(); false after a
  /// downstream failure. A size of 0 only returns the block.
  bool submit(std::unique_ptr<char[]> block, std::size_t size);
  /// Returns an unused block from acquire().
  void release(std::unique_ptr<char[]> block);
  std::size_t block_size() const { return block_size_; }

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
  };

  bool start();
  void run();
  void stop_worker(bool finish_next);
  bool downstream_failed();

  std::size_t block_size_;
  std::size_t buffer_count_;
  std::vector<std::unique_ptr<char[]>> free_;
  std::size_t allocated_ = 0;
  std::deque<Block> queue_;
  bool closing_ = false;
  bool finish_next_ = false;
  bool failed_ = false;
  bool next_finished_ok_ = false;
  std::string downstream_error_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::thread worker_;
};

#endif
