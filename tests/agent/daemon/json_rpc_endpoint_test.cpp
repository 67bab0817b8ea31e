// The agent's dispatch of request bodies and its service configuration
// lines, without a listener (the running agent is tested in
// test_strovix3_agent.py).

#include <gtest/gtest.h>

#include "agent/daemon/json_rpc_endpoint.h"
#include "agent/daemon/service_repository.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "log_capture.h"

namespace {

class Answering_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object) override {
    ++calls;
    if (object->method() == "t.silent") return -1;
    JSON_RPC_Response response(*object);
    response.result()["ok"] = true;
    return sender.lock()->send(response);
  }
  int calls = 0;
};

class Endpoint_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.access_key = secure_string("the-backupd-key");
    settings_.endpoint_key = secure_string("s3cret");
    settings_.request_timeout = 5;
    services_.add_builtin("t.echo", &handler_);
    services_.add_builtin("t.silent", &handler_);
  }
  std::string serve(const std::string& body) { return endpoint_.serve(body); }

  Log_Capture log_;
  Agent_Settings settings_;
  Service_Repository services_;
  Answering_Handler handler_;
  JSON_RPC_Endpoint endpoint_{settings_, services_};
};

TEST_F(Endpoint_Test, RoutesByMethodAndAnswersEveryFaultWithItsCode) {
  EXPECT_EQ(serve(R"({"jsonrpc":"2.0","method":"t.echo","id":1})"), R"({"jsonrpc":"2.0","result":{"ok":true},"id":1})");
  EXPECT_EQ(serve(R"({"jsonrpc":"2.0","method":"t.none","id":2})"),
            R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":2})");
  EXPECT_EQ(serve("{not json"), R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"},"id":null})");
  EXPECT_EQ(serve(R"({"jsonrpc":"2.0","result":1,"id":3})"),
            R"({"jsonrpc":"2.0","error":{"code":-32600,"message":"Invalid Request"},"id":3})");
  EXPECT_EQ(serve(R"([{"jsonrpc":"2.0","method":"t.echo","id":1}])"),
            R"({"jsonrpc":"2.0","error":{"code":-32600,"message":"Invalid Request"},"id":null})");
  EXPECT_EQ(serve(R"({"jsonrpc":"2.0","method":"t.silent","id":4})"),
            R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"Request not answered"},"id":4})");
  EXPECT_EQ(serve(R"({"jsonrpc":"2.0","method":"t.echo"})"), "");  // a notification runs, unanswered
  EXPECT_EQ(handler_.calls, 3);
}

TEST_F(Endpoint_Test, DeepNestingIsRefusedAtParseTimeAndServingGoesOn) {
  auto nested = [](std::size_t depth) {
    return R"({"jsonrpc":"2.0","method":"t.echo","params":)" + std::string(depth, '[') + std::string(depth, ']') +
           R"(,"id":1})";
  };
  // A few hundred thousand levels, well below the body limit.
  for (std::size_t depth : {300000u, 100u})
    EXPECT_EQ(serve(nested(depth)),
              R"({"jsonrpc":"2.0","error":{"code":-32600,"message":"Invalid Request: nested deeper than 100 levels"},)"
              R"("id":null})")
        << depth;
  EXPECT_EQ(serve(nested(99)), R"({"jsonrpc":"2.0","result":{"ok":true},"id":1})");
  EXPECT_EQ(handler_.calls, 1);
}

TEST_F(Endpoint_Test, OnlyTheExactKeyMatches) {
  EXPECT_TRUE(endpoint_.key_matches("s3cret"));
  for (const char* k : {"s3cre", "s3cret ", "S3cret", "", "s3cret\x01", "the-backupd-key"})
    EXPECT_FALSE(endpoint_.key_matches(k)) << k;
  EXPECT_FALSE(endpoint_.key_matches(nullptr));
}

TEST(Service_Repository_Test, DirectivesParseOrSayWhatIsWrong) {
  Service_Repository::Entry e;
  std::string error;
  ASSERT_TRUE(Service_Repository::parse_line(
      R"(dynamic L JSON_RPC_Handler * /opt/x/p.so:_make_L() "--method hana.list -v --method hana.more")", e, error))
      << error;
  EXPECT_EQ(e.name, "L");
  EXPECT_EQ(e.kind, Service_Repository::KIND_JSON_RPC_HANDLER);
  EXPECT_EQ(e.module, "/opt/x/p.so");
  EXPECT_EQ(e.factory, "_make_L");
  EXPECT_EQ(e.methods, (std::vector<std::string>{"hana.list", "hana.more"}));
  EXPECT_EQ(e.args, std::vector<std::string>{"-v"});
  ASSERT_TRUE(Service_Repository::parse_line("dynamic I Instance_Handler * p.so:_make_I()", e, error));
  EXPECT_EQ(e.kind, Service_Repository::KIND_INSTANCE_HANDLER);
  ASSERT_TRUE(Service_Repository::parse_line(
      R"(dynamic P Job_Parser_Creator * p.so:_make_P() "--agent hana --parses options -x --job-type restore")", e,
      error))
      << error;
  EXPECT_EQ(e.kind, Service_Repository::KIND_JOB_PARSER_CREATOR);
  EXPECT_EQ(e.job_agent, "hana");
  EXPECT_EQ(e.job_type, JOB_DEFINITION_RESTORE);
  EXPECT_EQ(e.parses, Job_Parser_Registry::KIND_OPTIONS);
  EXPECT_EQ(e.args, std::vector<std::string>{"-x"});

  struct Case {
    const char* line;
    const char* error;
  } cases[] = {
      {"static L JSON_RPC_Handler * p.so:f() \"--method m\"", "expected: dynamic"},
      {"dynamic L Handler * p.so:f()", "unknown kind \"Handler\""},
      {"dynamic L Object * p.so:f", "expected <module>:<factory>() instead of \"p.so:f\""},
      {"dynamic L JSON_RPC_Handler * p.so:f()", "a JSON_RPC_Handler needs at least one --method"},
      {"dynamic L Object * p.so:f() \"--method m\"", "--method is only for a JSON_RPC_Handler"},
      {"dynamic L JSON_RPC_Handler * p.so:f() \"--method agent.probe\"", "method \"agent.probe\" is reserved"},
      {"dynamic L JSON_RPC_Handler * p.so:f() \"--method", "unterminated quoted arguments"},
      {"dynamic C Job_Creator * p.so:f()", "a Job_Creator needs --agent <kind of job>"},
      {"dynamic P Job_Parser_Creator * p.so:f() \"--agent hana --parses source\"", "a Job_Parser_Creator needs"},
      {"dynamic P Job_Parser_Creator * p.so:f() \"--agent hana --job-type nightly\"", "--job-type needs a job type"},
      {"dynamic P Job_Parser_Creator * p.so:f() \"--agent hana --job-type backup --parses all\"",
       "--parses needs \"source\" or \"options\""},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Service_Repository::parse_line(c.line, e, error)) << c.line;
    EXPECT_EQ(error.find(c.error), 0u) << c.line << " -> " << error;
  }
}

}  // namespace
