// A service module for the agent's tests: factories of the kinds the agent
// loads, each recording its life (make, init, handle, fini, destroy) as
// lines in the file named by $TEST_SERVICE_RECORD, so a test can tell what
// ran and in which order.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "agent/instance/instance_handler.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_forward.h"
#include "agent/jsonrpc/json_rpc_handler.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "agent/jsonrpc/json_rpc_session.h"
#include "agent/jsonrpc/json_rpc_thread_handler.h"

namespace {

void record(const std::string& line) {
  static std::mutex mutex;
  const char* path = std::getenv("TEST_SERVICE_RECORD");
  if (!path) return;
  std::lock_guard<std::mutex> lock(mutex);
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::string joined(int argc, ACE_TCHAR* argv[]) {
  std::string out;
  for (int i = 0; i < argc; ++i) out += (i ? " " : "") + std::string(argv[i]);
  return out;
}

// Answers on the receiving thread: "test.echo" returns its params,
// "test.fail" an error, "test.silent" nothing at all.
class Test_Echo_Handler : public JSON_RPC_Handler {
 public:
  Test_Echo_Handler() { record("make Test_Echo_Handler"); }
  ~Test_Echo_Handler() override { record("destroy Test_Echo_Handler"); }
  int init(int argc, ACE_TCHAR* argv[]) override {
    record("init " + joined(argc, argv));
    return 0;
  }
  int fini() override {
    record("fini Test_Echo_Handler");
    return 0;
  }
  int handle_object(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object) override {
    record("handle " + object->method());
    auto channel = sender.lock();
    if (!channel) return -1;
    if (object->method() == "test.silent") return -1;
    if (object->method() == "test.fail")
      return channel->send_error(-32099, object->id(), "failed on purpose\n", json_value());
    JSON_RPC_Response response(*object);
    response.result()["params"] = object->params();
    return channel->send(response);
  }
};

// Answers on its workers: "test.sleep" {"seconds": n}; "test.jobdef"
// {"uuid"} asks the server's job.def.list; "test.forward" {"host_uuid",
// "method", "params", "timeout"} calls json_rpc_forward.
class Test_Worker_Handler : public JSON_RPC_Thread_Handler {
 public:
  Test_Worker_Handler() { record("make Test_Worker_Handler"); }
  ~Test_Worker_Handler() override {
    stop();
    record("destroy Test_Worker_Handler");
  }
  int fini() override {
    record("fini Test_Worker_Handler");
    return JSON_RPC_Thread_Handler::fini();
  }
  int handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) override {
    record("handle " + object->method());
    const json_value& p = object->params();
    JSON_RPC_Response response(*object);
    if (object->method() == "test.sleep") {
      int seconds =
          p.is_object() && p.contains("seconds") && p["seconds"].is_number_integer() ? p["seconds"].get<int>() : 1;
      std::this_thread::sleep_for(std::chrono::seconds(seconds < 30 ? seconds : 30));
      response.result()["slept"] = seconds;
    } else if (object->method() == "test.jobdef") {
      JSON_RPC_Object_Ptr answer;
      if (JSON_RPC_Session(Global_JSON_RPC_Channel::instance())
              .request("job.def.list", {{"uuid", p.value("uuid", "")}}, answer, 5) != 0)
        return channel->send_error(-32603, object->id(), "no answer", json_value());
      response.result() = answer->to_json();
    } else if (object->method() == "test.forward") {
      json_value result;
      bool answered = json_rpc_forward(p.value("method", ""), p.value("params", json_value()), p.value("host_uuid", ""),
                                       result, p.value("type", 0), p.value("timeout", 5));
      response.result()["answered"] = answered;
      response.result()["result"] = result;
    } else {
      return channel->send_error(-32601, object->id(), "unknown test method", json_value());
    }
    return channel->send(response);
  }
};

// Finds one instance, "TST_1"; accepts the password "right".
class Test_Instance_Handler : public Instance_Handler {
 public:
  Test_Instance_Handler() : Instance_Handler("test") { record("make Test_Instance_Handler"); }
  ~Test_Instance_Handler() override { record("destroy Test_Instance_Handler"); }
  int fini() override {
    record("fini Test_Instance_Handler");
    return 0;
  }
  int probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances) override {
    record("probe");
    instances["TST_1"] = std::make_shared<Instance>("test", "TST_1", json_value{{"number", 1}});
    return 0;
  }
  int logon(const char* name, const char* user, const char* password, const json_value*) override {
    record(std::string("logon ") + name + " " + user);
    return std::string(password) == "right" ? E_OK : E_INVALID_USERNAME_OR_PASSWORD;
  }
};

// An object the agent only keeps.
struct Test_Kept_Object {
  Test_Kept_Object() { record("make Test_Kept_Object"); }
  ~Test_Kept_Object() { record("destroy Test_Kept_Object"); }
};

template <typename Base, typename T>
void gobble(void* p) {
  delete static_cast<Base*>(p);
}

template <typename Base, typename T>
void* make(void (**gobbler)(void*), bool store) {
  if (gobbler && store) *gobbler = &gobble<Base, T>;
  T* object = new (std::nothrow) T;
  if (!object) {
    errno = ENOMEM;
    return nullptr;
  }
  return static_cast<Base*>(object);
}

}  // namespace

extern "C" {
void* _make_Test_Echo_Handler(void (**gobbler)(void*)) {
  return make<JSON_RPC_Handler, Test_Echo_Handler>(gobbler, true);
}
void* _make_Test_Worker_Handler(void (**gobbler)(void*)) {
  return make<JSON_RPC_Handler, Test_Worker_Handler>(gobbler, true);
}
void* _make_Test_Instance_Handler(void (**gobbler)(void*)) {
  return make<Instance_Handler, Test_Instance_Handler>(gobbler, true);
}
// Stores no destroy function: the agent must keep the object, never free it.
void* _make_Test_Kept_Object(void (**gobbler)(void*)) {
  return make<Test_Kept_Object, Test_Kept_Object>(gobbler, false);
}
// Fails like an allocation failure.
void* _make_Test_Failing_Object(void (**)(void*)) {
  errno = ENOMEM;
  return nullptr;
}
}
