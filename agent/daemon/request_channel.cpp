#include "agent/daemon/request_channel.h"

#include <chrono>

int Request_Channel::send(const JSON_RPC_Object& object) {
  if (object.type() != JSON_RPC_Object::TYPE_RESPONSE && object.type() != JSON_RPC_Object::TYPE_ERROR) return -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (answer_) return -1;
    answer_ = std::make_shared<JSON_RPC_Object>(object);
  }
  changed_.notify_all();
  return 0;
}

void Request_Channel::handled() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handled_ = true;
  }
  changed_.notify_all();
}

JSON_RPC_Object_Ptr Request_Channel::wait(int timeout_seconds, const std::atomic<bool>& stopping) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!answer_ && !handled_ && !stopping.load()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    // Stopping is a flag, not an event on this channel: look at it now and then.
    auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(200));
    changed_.wait_for(lock, slice);
  }
  return answer_;
}

bool Request_Channel::was_handled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return handled_;
}
