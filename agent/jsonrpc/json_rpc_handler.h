#ifndef AGENT_JSON_RPC_HANDLER_H
#define AGENT_JSON_RPC_HANDLER_H

#include <memory>

#include <ace/ACE.h>

#include "agent/jsonrpc/json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_object.h"
#include "agent/jsonrpc/json_rpc_params_handler.h"

/// A JSON-RPC service: the agent routes every request whose method its
/// service configuration maps to this handler into handle().
///
/// Life cycle: made once by a factory of a loaded module, init() with the
/// arguments of the configuration line, then handle() for each request,
/// possibly from several receiving threads at once (one per connection), and
/// fini() before it is destroyed through its module's destroy function.
/// Handlers that answer on the receiving thread override handle_object();
/// those that must not hold it derive from JSON_RPC_Thread_Handler.
///
/// Return values are 0 when an answer (response or error) was sent, -1
/// otherwise. A request that gets no answer is answered by the agent with
/// -32603 "Request not answered" once the handler returns (or, for thread
/// handlers, once the channel is released).
class JSON_RPC_Handler {
 public:
  JSON_RPC_Handler() = default;
  virtual ~JSON_RPC_Handler();
  JSON_RPC_Handler(const JSON_RPC_Handler&) = delete;
  JSON_RPC_Handler& operator=(const JSON_RPC_Handler&) = delete;

  /// Base: 0.
  virtual int init(int argc, ACE_TCHAR* argv[]);
  /// Base: 0.
  virtual int fini();
  /// Base: handle_object(), then handle_object_post() with the same
  /// arguments; returns handle_object()'s result.
  virtual int handle(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object);
  /// Base: -1 (nothing handled).
  virtual int handle_object(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object);
  /// Base: 0.
  virtual int handle_object_post(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object);
  /// Base: null (no params check). Ownership passes to the caller.
  virtual JSON_RPC_Params_Handler* create_params_handler();
};

#endif
