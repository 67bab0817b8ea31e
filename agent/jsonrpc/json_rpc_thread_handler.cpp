#include "agent/jsonrpc/json_rpc_thread_handler.h"

#include <ace/Log_Msg.h>

JSON_RPC_Thread_Handler::~JSON_RPC_Thread_Handler() { stop(); }

int JSON_RPC_Thread_Handler::handle(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_ && queue_.size() < kMaxQueued) {
      // Workers are started lazily so that a handler that is only loaded
      // (probe, account set) never owns threads.
      if (workers_.empty()) {
        for (std::size_t i = 0; i < kWorkers; ++i) workers_.emplace_back(&JSON_RPC_Thread_Handler::run, this);
      }
      queue_.emplace_back(std::move(sender), std::move(object));
      queued_.notify_one();
      return 0;
    }
  }
  ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC service busy or stopping, request %C refused\n"),
             object ? object->method().c_str() : ""));
  if (auto channel = sender.lock()) {
    if (object && object->type() == JSON_RPC_Object::TYPE_REQUEST)
      return channel->send_error(JSON_RPC_Object::E_INTERNAL_ERROR, object->id(), "Service busy", json_value());
  }
  return -1;
}

int JSON_RPC_Thread_Handler::fini() {
  stop();
  return JSON_RPC_Handler::fini();
}

void JSON_RPC_Thread_Handler::stop() {
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Requests still queued are dropped; their requesters stop waiting.
    for (auto& item : queue_)
      if (auto channel = item.first.lock()) channel->handled();
    queue_.clear();
    workers.swap(workers_);
  }
  queued_.notify_all();
  for (auto& worker : workers) worker.join();
}

void JSON_RPC_Thread_Handler::run() {
  for (;;) {
    std::pair<std::weak_ptr<JSON_RPC_Channel>, JSON_RPC_Object_Ptr> item;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      item = std::move(queue_.front());
      queue_.pop_front();
    }
    auto channel = item.first.lock();
    if (!channel) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Abort handle JSON-RPC request, requester is gone\n")));
      continue;
    }
    handle_object_i(channel, item.second);
    channel->handled();
  }
}
