#ifndef TESTS_RECORDING_JSON_RPC_CHANNEL_H
#define TESTS_RECORDING_JSON_RPC_CHANNEL_H

// A JSON-RPC channel that keeps what is sent through it and, when given an
// answering function, answers requests at once (as the backup server's
// channel does over HTTP).

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/jsonrpc/json_rpc_channel.h"

class Recording_JSON_RPC_Channel : public JSON_RPC_Channel {
 public:
  /// The answer to a request; null sends no answer.
  using Answer = std::function<JSON_RPC_Object_Ptr(const JSON_RPC_Object& request)>;

  explicit Recording_JSON_RPC_Channel(Answer answer = nullptr) : answer_(std::move(answer)) {}

  using JSON_RPC_Channel::send;
  int send(const JSON_RPC_Object& object) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.push_back(object.to_json());
    }
    if (answer_ && object.type() == JSON_RPC_Object::TYPE_REQUEST) {
      JSON_RPC_Object_Ptr answer = answer_(object);
      if (answer) deliver(answer);
    }
    return 0;
  }

  std::vector<json_value> sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  /// The only object sent; null when none or several were.
  json_value only() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_.size() == 1 ? sent_[0] : json_value();
  }

 private:
  Answer answer_;
  std::mutex mutex_;
  std::vector<json_value> sent_;
};

/// A request as the agent's endpoint hands it to a service.
inline JSON_RPC_Object_Ptr rpc_request(const std::string& method, const json_value& params, int id = 7) {
  return JSON_RPC_Object::request(method, params, id);
}

/// {"code", "message"} of an error object's wire form, for comparisons.
inline json_value rpc_error(const json_value& sent) {
  return sent.contains("error") ? json_value{{"code", sent["error"]["code"]}, {"message", sent["error"]["message"]}}
                                : json_value();
}

#endif
