#ifndef AGENT_JSON_RPC_THREAD_HANDLER_H
#define AGENT_JSON_RPC_THREAD_HANDLER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "agent/jsonrpc/json_rpc_handler.h"

/// A handler that serves its requests on a small pool of worker threads of
/// its own, so a slow request never holds the receiving thread or other
/// requests (up to the pool size running at once).
///
/// handle() only queues (sender, object) and returns 0; when the queue is
/// full (kMaxQueued) it answers -32603 "Service busy" at once. A worker takes
/// the strong channel pointer; when the requester is gone it logs and drops
/// the request, otherwise it calls handle_object_i().
///
/// Workers start on the first handle() (so a handler made but never used
/// owns no threads) and stop in fini() or the destructor, after the request
/// they run has ended; queued requests are then dropped (their requesters
/// see "Request not answered"). Derived classes whose handle_object_i() uses
/// their own members must call stop() in their destructor first.
class JSON_RPC_Thread_Handler : public JSON_RPC_Handler {
 public:
  static constexpr std::size_t kWorkers = 4;
  static constexpr std::size_t kMaxQueued = 64;

  JSON_RPC_Thread_Handler() = default;
  ~JSON_RPC_Thread_Handler() override;

  int handle(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object) override;
  /// Stops the workers; base fini() otherwise.
  int fini() override;

  /// Serves one request on a worker thread: 0 when an answer was sent.
  virtual int handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) = 0;

 protected:
  /// Waits for the running requests and ends the workers. Idempotent.
  void stop();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::pair<std::weak_ptr<JSON_RPC_Channel>, JSON_RPC_Object_Ptr>> queue_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

#endif
