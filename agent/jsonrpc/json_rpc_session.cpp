#include "agent/jsonrpc/json_rpc_session.h"

#include <atomic>

#include <ace/Log_Msg.h>
#include <ace/OS_NS_unistd.h>

#include "agent/base/string_sprintf.h"

JSON_RPC_Session::JSON_RPC_Session(std::shared_ptr<JSON_RPC_Channel> channel) : channel_(std::move(channel)) {}

int JSON_RPC_Session::request(const std::string& method, const json_value& params, JSON_RPC_Object_Ptr& answer,
                              int timeout_seconds) {
  answer.reset();
  if (!channel_) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC request %C not sent, no channel\n"), method.c_str()));
    return -1;
  }
  if (timeout_seconds < 1) timeout_seconds = 1;
  // Ids are unique per process; the pid keeps two agents' ids apart on a
  // channel a test shares between processes' logs.
  static std::atomic<unsigned long> counter{0};
  std::string id = string_sprintf("%d-%lu", static_cast<int>(ACE_OS::getpid()), ++counter);
  channel_->expect(id);
  auto request = JSON_RPC_Object::request(method, params, id);
  if (channel_->send(*request, timeout_seconds) != 0) {
    channel_->await(id, 0);  // ends the registration at once: a failed send delivers nothing
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC request %C could not be sent\n"), method.c_str()));
    return -1;
  }
  answer = channel_->await(id, timeout_seconds);
  if (!answer) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC request %C: no answer within %d s\n"), method.c_str(), timeout_seconds));
    return -1;
  }
  return 0;
}
