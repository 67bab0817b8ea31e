// JSON-RPC objects on the wire, the session's bounded wait, and the thread
// handler's promise that a slow request holds up no other.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "agent/jsonrpc/json_rpc_object.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "agent/jsonrpc/json_rpc_session.h"
#include "agent/jsonrpc/json_rpc_thread_handler.h"
#include "log_capture.h"

namespace {

TEST(JSON_RPC_Object_Test, EachTypeSurvivesTheWireAndKeepsItsMembers) {
  auto request = JSON_RPC_Object::request("hana.list", {{"uid", "u1"}}, 7);
  EXPECT_EQ(request->to_json().dump(), R"({"jsonrpc":"2.0","method":"hana.list","params":{"uid":"u1"},"id":7})");
  auto back = JSON_RPC_Object::parse(request->to_json());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->type(), JSON_RPC_Object::TYPE_REQUEST);
  EXPECT_EQ(back->method(), "hana.list");
  EXPECT_EQ(back->params()["uid"], "u1");
  EXPECT_EQ(back->id(), 7);

  auto bare = JSON_RPC_Object::request("hana.list", json_value(), "a");
  EXPECT_EQ(bare->to_json().dump(), R"({"jsonrpc":"2.0","method":"hana.list","id":"a"})");
  EXPECT_TRUE(JSON_RPC_Object::parse(bare->to_json())->params().is_null());

  auto notify = JSON_RPC_Object::parse(JSON_RPC_Object::notify("n", json_value::array({1}))->to_json());
  ASSERT_TRUE(notify);
  EXPECT_EQ(notify->type(), JSON_RPC_Object::TYPE_NOTIFY);
  EXPECT_EQ(notify->params(), json_value::array({1}));

  JSON_RPC_Response response(*request);
  EXPECT_EQ(response.result(), json_value::object());
  response.result()["error"] = 0;
  EXPECT_EQ(response.to_json().dump(), R"({"jsonrpc":"2.0","result":{"error":0},"id":7})");
  auto r = JSON_RPC_Object::parse(response.to_json());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->type(), JSON_RPC_Object::TYPE_RESPONSE);
  EXPECT_EQ(r->id(), 7);

  auto error = JSON_RPC_Object::error(-32602, 7, "Failed to initialize params\n");
  EXPECT_EQ(error->to_json().dump(),
            R"({"jsonrpc":"2.0","error":{"code":-32602,"message":"Failed to initialize params\n"},"id":7})");
  auto e = JSON_RPC_Object::parse(JSON_RPC_Object::error(-32000, nullptr, "m", {{"x", 1}})->to_json());
  ASSERT_TRUE(e);
  EXPECT_EQ(e->type(), JSON_RPC_Object::TYPE_ERROR);
  EXPECT_EQ(e->error_code(), -32000);
  EXPECT_EQ(e->error_message(), "m");
  EXPECT_EQ(e->error_data()["x"], 1);
  EXPECT_TRUE(e->id().is_null());
}

TEST(JSON_RPC_Object_Test, AnythingButJsonRpc2IsRefused) {
  for (const char* text :
       {R"([])", R"({"method":"m","id":1})", R"({"jsonrpc":"1.0","method":"m","id":1})",
        R"({"jsonrpc":"2.0","method":7,"id":1})", R"({"jsonrpc":"2.0","method":"m","id":1.5})",
        R"({"jsonrpc":"2.0","method":"m","id":{}})", R"({"jsonrpc":"2.0","method":"m","params":"x","id":1})",
        R"({"jsonrpc":"2.0","id":1})", R"({"jsonrpc":"2.0","result":1})",
        R"({"jsonrpc":"2.0","result":1,"error":{"code":1,"message":"m"},"id":1})",
        R"({"jsonrpc":"2.0","error":{"message":"m"},"id":1})",
        R"({"jsonrpc":"2.0","error":{"code":"1","message":"m"},"id":1})",
        R"({"jsonrpc":"2.0","error":{"code":99999999999,"message":"m"},"id":1})"}) {
    EXPECT_FALSE(JSON_RPC_Object::parse(json_value::parse(text))) << text;
  }
}

// Answers every request at once through deliver(), as an HTTP channel does;
// or fails to send; or sends into the void.
class Loop_Channel : public JSON_RPC_Channel {
 public:
  enum Mode { ANSWER, FAIL, SILENT };
  explicit Loop_Channel(Mode mode) : mode_(mode) {}
  int send(const JSON_RPC_Object& object) override {
    sent.push_back(object.to_json());
    if (mode_ == FAIL) return -1;
    if (mode_ == ANSWER) {
      JSON_RPC_Response response(object);
      response.result()["echo"] = object.params();
      deliver(std::make_shared<JSON_RPC_Object>(response));
    }
    return 0;
  }
  std::vector<json_value> sent;

 private:
  Mode mode_;
};

TEST(JSON_RPC_Session_Test, AnswersComeBackByIdAndTheWaitIsBounded) {
  Log_Capture log;
  auto channel = std::make_shared<Loop_Channel>(Loop_Channel::ANSWER);
  JSON_RPC_Object_Ptr answer;
  ASSERT_EQ(JSON_RPC_Session(channel).request("job.def.list", {{"uuid", "j1"}}, answer, 5), 0);
  EXPECT_EQ(answer->type(), JSON_RPC_Object::TYPE_RESPONSE);
  EXPECT_EQ(answer->result()["echo"]["uuid"], "j1");
  ASSERT_TRUE(JSON_RPC_Session(channel).request("job.def.list", nullptr, answer, 5) == 0);
  EXPECT_NE(channel->sent[0]["id"], channel->sent[1]["id"]);

  auto failing = std::make_shared<Loop_Channel>(Loop_Channel::FAIL);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(JSON_RPC_Session(failing).request("m", nullptr, answer, 30), -1);
  EXPECT_FALSE(answer);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));

  auto silent = std::make_shared<Loop_Channel>(Loop_Channel::SILENT);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(JSON_RPC_Session(silent).request("m", nullptr, answer, 1), -1);
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::seconds(3));
  // A late answer finds nobody waiting and is dropped.
  EXPECT_FALSE(
      silent->deliver(JSON_RPC_Object::parse(JSON_RPC_Response(*JSON_RPC_Object::parse(silent->sent[0])).to_json())));

  EXPECT_EQ(JSON_RPC_Session(nullptr).request("m", nullptr, answer, 1), -1);
  EXPECT_NE(log.text().find("no answer within 1 s"), std::string::npos);
}

class Record_Channel : public JSON_RPC_Channel {
 public:
  int send(const JSON_RPC_Object& object) override {
    std::lock_guard<std::mutex> lock(mutex_);
    answers.push_back(object.id());
    return 0;
  }
  std::vector<json_value> taken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers;
  }
  std::vector<json_value> answers;

 private:
  std::mutex mutex_;
};

// "slow" waits until the test lets it go; anything else answers at once.
class Gate_Handler : public JSON_RPC_Thread_Handler {
 public:
  ~Gate_Handler() override { stop(); }
  int handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) override {
    if (object->method() == "slow") gate.get_future().wait();
    int rc = channel->send(JSON_RPC_Response(*object));
    if (object->method() != "slow") fast_done.set_value();
    return rc;
  }
  std::promise<void> gate;
  std::promise<void> fast_done;
};

TEST(JSON_RPC_Thread_Handler_Test, ASlowRequestHoldsUpNeitherTheReceiverNorTheNext) {
  Gate_Handler handler;
  auto channel = std::make_shared<Record_Channel>();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(handler.handle(channel, JSON_RPC_Object::request("slow", nullptr, 1)), 0);
  EXPECT_EQ(handler.handle(channel, JSON_RPC_Object::request("fast", nullptr, 2)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  ASSERT_EQ(handler.fast_done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(channel->taken(), std::vector<json_value>{2});
  handler.gate.set_value();
  handler.fini();  // waits for the slow one
  EXPECT_EQ(channel->taken(), (std::vector<json_value>{2, 1}));
  // After fini nothing is taken any more.
  Log_Capture log;
  EXPECT_EQ(handler.handle(channel, JSON_RPC_Object::request("fast", nullptr, 3)), 0);  // answered busy
  EXPECT_EQ(channel->taken().size(), 3u);
}

}  // namespace
