#include "agent/jsonrpc/json_rpc_channel.h"

#include <chrono>

JSON_RPC_Channel::~JSON_RPC_Channel() = default;

int JSON_RPC_Channel::send(const JSON_RPC_Object& object, int /*timeout_seconds*/) { return send(object); }

void JSON_RPC_Channel::handled() {}

int JSON_RPC_Channel::send_error(int code, const json_value& id, const std::string& message, const json_value& data) {
  return send(*JSON_RPC_Object::error(code, id, message, data));
}

void JSON_RPC_Channel::expect(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  waiting_[id] = nullptr;
}

JSON_RPC_Object_Ptr JSON_RPC_Channel::await(const std::string& id, int timeout_seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto arrived = [&] {
    auto it = waiting_.find(id);
    return it == waiting_.end() || it->second != nullptr;
  };
  answered_.wait_for(lock, std::chrono::seconds(timeout_seconds < 0 ? 0 : timeout_seconds), arrived);
  JSON_RPC_Object_Ptr answer;
  auto it = waiting_.find(id);
  if (it != waiting_.end()) {
    answer = it->second;
    waiting_.erase(it);
  }
  return answer;
}

bool JSON_RPC_Channel::deliver(const JSON_RPC_Object_Ptr& answer) {
  if (!answer || !answer->id().is_string()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = waiting_.find(answer->id().get<std::string>());
    if (it == waiting_.end() || it->second) return false;
    it->second = answer;
  }
  answered_.notify_all();
  return true;
}
