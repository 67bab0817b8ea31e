#ifndef SAP_HANA_BACKINT_STREAM_POOL_H
#define SAP_HANA_BACKINT_STREAM_POOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sap_hana {

/// The streams of one hana-backint call: runs submitted transfers on at
/// most `limit` threads at once, in the order they were submitted.
///
/// Threads start as work arrives, up to the limit (if the system refuses
/// one, the pool goes on with those it has; with none, the submitting
/// thread runs the task itself). A task that throws does not stop the
/// others; wait() rethrows the first exception once every task has ended.
/// The destructor waits as wait() does, without rethrowing.
///
/// submit(), grow(), wait() and the destructor belong to one thread; the
/// other members may be called from any thread.
class Backint_Stream_Pool {
 public:
  /// The largest limit: HANA uses at most 32 channels.
  static constexpr std::size_t max_limit = 32;

  /// `limit` is clamped to 1..max_limit.
  explicit Backint_Stream_Pool(std::size_t limit);
  ~Backint_Stream_Pool();
  Backint_Stream_Pool(const Backint_Stream_Pool&) = delete;
  Backint_Stream_Pool& operator=(const Backint_Stream_Pool&) = delete;

  std::size_t limit() const { return limit_; }
  void submit(std::function<void()> task);
  /// Blocks until every submitted task has ended.
  void wait();
  /// Tasks taken up by a thread and not yet ended.
  std::size_t running();
  /// Tasks ended so far.
  std::size_t finished();

  /// A task marks the part of its work during which data moves; a task
  /// still waiting for HANA to open its pipe is not transferring.
  void transfer_started();
  void transfer_ended();
  /// Now while any transfer is under way, else when the last one ended
  /// (the clock's epoch before the first): how long HANA has been busy
  /// with other pipes of the call (Pipe_Opener::Activity).
  std::chrono::steady_clock::time_point busy_until();
  /// A transfer moved data (its reader took some, or its writer gave some).
  void progressed();
  /// The last moment a transfer of the call started, moved data or ended
  /// (the clock's epoch before the first): a transfer whose peer takes no
  /// data is stalled only while nothing else moves either.
  std::chrono::steady_clock::time_point last_progress();
  /// Tasks submitted and not yet taken up by a thread.
  std::size_t queued();
  /// Takes up every queued task at once, on threads beyond the limit (at
  /// most max_limit in all): for transfers whose peer is waiting while the
  /// streams within the limit are stalled on peers that take nothing.
  /// Returns the number of threads started.
  std::size_t grow();
  /// transfer_started() now, transfer_ended() when it goes out of scope.
  struct Transfer {
    explicit Transfer(Backint_Stream_Pool& pool) : pool_(pool) { pool_.transfer_started(); }
    ~Transfer() { pool_.transfer_ended(); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

   private:
    Backint_Stream_Pool& pool_;
  };

 private:
  void work();
  void join_all();

  std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  std::size_t waiting_threads_ = 0;
  std::size_t running_ = 0;
  std::size_t finished_ = 0;
  std::size_t transfers_ = 0;
  std::chrono::steady_clock::time_point last_transfer_end_{};
  std::chrono::steady_clock::time_point last_progress_{};
  bool closing_ = false;
  std::exception_ptr first_exception_;
};

}  // namespace sap_hana

#endif
