#ifndef AGENT_THREAD_HELPER_H
#define AGENT_THREAD_HELPER_H

#include <functional>

#include <ace/Thread_Manager.h>

/// One thread of ACE_Thread_Manager::instance() running a function.
///
/// `flags` are ACE's thread flags: with THR_DETACHED the thread runs on
/// its own (the helper may go away at once: the thread keeps its own copy
/// of the function); with THR_JOINABLE the helper's destructor joins it
/// (so a joinable thread never outlives its helper) unless join() already
/// did. `priority` is ACE_DEFAULT_THREAD_PRIORITY unless given.
///
/// spawn() once per helper: 0 when the thread started, -1 (errno set) when
/// it did not or when this helper already spawned one. Not synchronised:
/// one owner thread per helper.
class Thread_Helper {
 public:
  static constexpr long kDetached = THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED;
  static constexpr long kJoinable = THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED;

  explicit Thread_Helper(std::function<int()> function, long flags = kDetached,
                         long priority = ACE_DEFAULT_THREAD_PRIORITY);
  virtual ~Thread_Helper();  ///< joins a joinable thread that is still running
  Thread_Helper(const Thread_Helper&) = delete;
  Thread_Helper& operator=(const Thread_Helper&) = delete;

  int spawn();
  /// Waits for a joinable thread; 0 with its function's result in
  /// `result` (may be null), -1 when there is no joinable thread to wait for.
  int join(int* result = nullptr);
  /// The spawned thread's identifier; 0 before spawn().
  ACE_thread_t thread_id() const { return thread_id_; }

 protected:
  /// What the new thread runs, made from the helper's function; base: the
  /// function itself. Derived helpers wrap it to keep something alive for
  /// the thread's lifetime.
  virtual std::function<int()> thread_body(std::function<int()> function);

 private:
  std::function<int()> function_;
  long flags_;
  long priority_;
  ACE_thread_t thread_id_{};
  ACE_hthread_t handle_{};
  bool spawned_ = false;
  bool joined_ = false;
};

#endif
