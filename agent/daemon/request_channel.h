#ifndef AGENT_REQUEST_CHANNEL_H
#define AGENT_REQUEST_CHANNEL_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "agent/jsonrpc/json_rpc_channel.h"

/// The channel of one request received by the agent's endpoint: the first
/// response or error sent on it is the answer the HTTP connection returns;
/// later sends fail (-1). The connection's thread holds the only lasting
/// strong pointer and waits in wait(); when it stops waiting (answer,
/// handled() without answer, time limit, agent stopping) and drops the
/// pointer, a handler still working finds its requester gone. Thread-safe.
class Request_Channel : public JSON_RPC_Channel {
 public:
  int send(const JSON_RPC_Object& object) override;
  void handled() override;

  /// Waits until an answer was sent, handled() was called, `timeout_seconds`
  /// passed or `stopping` became true (checked at least every 200 ms). The
  /// answer, or null.
  JSON_RPC_Object_Ptr wait(int timeout_seconds, const std::atomic<bool>& stopping);
  /// handled() was called.
  bool was_handled();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  JSON_RPC_Object_Ptr answer_;
  bool handled_ = false;
};

#endif
