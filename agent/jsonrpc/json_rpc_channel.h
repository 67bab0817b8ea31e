#ifndef AGENT_JSON_RPC_CHANNEL_H
#define AGENT_JSON_RPC_CHANNEL_H

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "agent/jsonrpc/json_rpc_object.h"

/// Where JSON-RPC messages go: the requester of a request being served (the
/// agent's HTTP endpoint makes one channel per request) or a peer the agent
/// sends its own requests to (the backup server, Global_JSON_RPC_Channel).
///
/// Channels are held as std::shared_ptr; handlers get a std::weak_ptr,
/// because the requester may be gone (it stopped waiting) before they
/// answer. send() may be called from any thread.
///
/// Answers to requests this side sent come back through deliver(), which
/// hands each response or error to the JSON_RPC_Session waiting for its id
/// (await()). A channel whose transport answers synchronously (an HTTP POST)
/// calls deliver() from inside send().
class JSON_RPC_Channel {
 public:
  JSON_RPC_Channel() = default;
  virtual ~JSON_RPC_Channel();
  JSON_RPC_Channel(const JSON_RPC_Channel&) = delete;
  JSON_RPC_Channel& operator=(const JSON_RPC_Channel&) = delete;

  /// Sends `object`: 0 sent, -1 not (logged by the channel).
  virtual int send(const JSON_RPC_Object& object) = 0;

  /// As send(), but the transport gives up after `timeout_seconds` (> 0).
  /// The base ignores the limit (for channels that never block).
  virtual int send(const JSON_RPC_Object& object, int timeout_seconds);

  /// Called by the framework when the handler's work on a request received
  /// through this channel has ended, whether or not it answered; a channel
  /// that waits for the answer stops waiting then. Base: nothing.
  virtual void handled();

  /// Sends an error object (code, id, message; `data` null leaves it out).
  int send_error(int code, const json_value& id, const std::string& message, const json_value& data);

  /// Registers interest in the answer to the request with `id` (a string);
  /// REQUIRES: called before the request is sent.
  void expect(const std::string& id);
  /// Waits at most `timeout_seconds` (0: does not wait) for the answer
  /// registered with expect(); null when none came in time. Ends the
  /// registration either way.
  JSON_RPC_Object_Ptr await(const std::string& id, int timeout_seconds);
  /// Hands a received response or error to its waiter. False when nobody
  /// waits for its id (a late answer; dropped).
  bool deliver(const JSON_RPC_Object_Ptr& answer);

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::string, JSON_RPC_Object_Ptr> waiting_;  // id -> answer (null until it arrives)
};

using JSON_RPC_Channel_Ptr = std::shared_ptr<JSON_RPC_Channel>;

#endif
