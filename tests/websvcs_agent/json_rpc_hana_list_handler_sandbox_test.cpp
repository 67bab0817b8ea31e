// The list service against simulated HANA systems, with a recording channel
// for the requester and an answering one for the backup server.

#include <set>

#include "agent/base/file_utils.h"
#include "agent/json/json_file.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "common/utils.h"
#include "hana_sim_fixture.h"
#include "recording_json_rpc_channel.h"
#include "websvcs_agent/json_rpc_hana_list_handler.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

const char* const kLiveJob = "5f0c1a4e-0000-4000-8000-00000000a001";
const char* const kGoneJob = "5f0c1a4e-0000-4000-8000-00000000a002";

// The backup server's "job.def.list": lists only kLiveJob; counts the asks.
class Job_Server {
 public:
  std::shared_ptr<Recording_JSON_RPC_Channel> channel() {
    return std::make_shared<Recording_JSON_RPC_Channel>([this](const JSON_RPC_Object& request) {
      ++asked[request.params().value("uuid", std::string())];
      auto response = std::make_shared<JSON_RPC_Response>(request);
      response->result() = json_value::array();
      if (request.params().value("uuid", std::string()) == kLiveJob)
        response->result().push_back(json_value{{"uuid", kLiveJob}});
      return response;
    });
  }
  std::map<std::string, int> asked;
};

// Takes the instance out of the registry right after its account was read.
class Vanishing_Instance_List_Handler : public JSON_RPC_HANA_List_Handler {
 protected:
  std::shared_ptr<Instance> find_instance(const std::string& name) override {
    Instance_Manager::instance()->remove("hana", name);
    return JSON_RPC_HANA_List_Handler::find_instance(name);
  }
};

class List_Handler_Test : public Hana_Sim_Test {
 protected:
  void SetUp() override {
    Hana_Sim_Test::SetUp();
    if (IsSkipped()) return;
    install("ABC", "--instance 1 --tenants T01,T02 --inactive-tenants T03 --version 2.00.070.00.1700000000");
    register_instance("ABC", 1, true);
    ASSERT_TRUE(
        Instance_Manager::instance()->set_account("hana", "ABC_HDB01", "u1", "SYSTEM", secure_string("Manager1")));
  }
  void TearDown() override {
    Global_JSON_RPC_Channel::set(nullptr);
    for (const auto& path : written_) std::remove(path.c_str());
    Hana_Sim_Test::TearDown();
  }
  void log_backup_conf(const std::string& database, const json_value& conf) {
    std::string path;
    ASSERT_TRUE(ondemand_conf_path("ABC", "HDB01", database, path));
    ASSERT_EQ(0, mkdir_p(dirname_string(path).c_str(), 0750));
    ASSERT_TRUE(dump_json(path, conf));
    written_.push_back(path);
  }
  json_value call(JSON_RPC_HANA_List_Handler& handler, const json_value& params) {
    auto channel = std::make_shared<Recording_JSON_RPC_Channel>();
    EXPECT_EQ(0, handler.handle_object_i(channel, rpc_request("hana.list", params)));
    return channel->only();
  }
  // name -> log backup mode of a database list result.
  static std::map<std::string, std::string> modes(const json_value& answer) {
    std::map<std::string, std::string> result;
    for (const auto& db : answer["result"]["databases"]) result[db["name"]] = db["log_backup_mode"];
    return result;
  }

  JSON_RPC_HANA_List_Handler handler_;
  std::vector<std::string> written_;
};

}  // namespace

TEST_F(List_Handler_Test, WithoutParamsListsTheStartedInstances) {
  json_value answer = call(handler_, json_value());
  EXPECT_EQ(7, answer["id"]);
  EXPECT_EQ((json_value::array({{{"sid", "ABC"},
                                 {"instance_name", "HDB01"},
                                 {"instance_number", 1},
                                 {"version", "2.00.070.00.1700000000"},
                                 {"localhost", "h1"}}})),
            answer["result"]);

  ASSERT_EQ(0, sim("stop-service ABC").rc);
  EXPECT_EQ(json_value::array(), call(handler_, json_value())["result"]) << "nothing started is no failure";
}

TEST_F(List_Handler_Test, BadRequestsGetTheirErrors) {
  EXPECT_EQ((json_value{{"code", -32602}, {"message", "Invalid request"}}),
            rpc_error(call(handler_, json_value::array({"u1", "ABC_HDB01"}))));
  EXPECT_EQ((json_value{{"code", -32602}, {"message", "Invalid params"}}),
            rpc_error(call(handler_, json_value{{"instance", "ABC_HDB01"}})));
  EXPECT_EQ((json_value{{"code", -32602}, {"message", "Invalid params"}}),
            rpc_error(call(handler_, json_value{{"uid", 1}, {"instance", "ABC_HDB01"}})));
  EXPECT_EQ((json_value{{"code", -32603}, {"message", "Failed to get account"}}),
            rpc_error(call(handler_, json_value{{"uid", "u2"}, {"instance", "ABC_HDB01"}})));

  Vanishing_Instance_List_Handler vanishing;
  EXPECT_EQ((json_value{{"code", -32603}, {"message", "Failed to get SID or instance name"}}),
            rpc_error(call(vanishing, json_value{{"uid", "u1"}, {"instance", "ABC_HDB01"}})));

  register_instance("ABC", 1, true);
  ASSERT_TRUE(Instance_Manager::instance()->set_account("hana", "ABC_HDB01", "u1", "SYSTEM", secure_string("wrong")));
  EXPECT_EQ((json_value{{"code", -32603}, {"message", "Failed to list database"}}),
            rpc_error(call(handler_, json_value{{"uid", "u1"}, {"instance", "ABC_HDB01"}})));

  auto channel = std::make_shared<Recording_JSON_RPC_Channel>();
  EXPECT_EQ(-1, handler_.handle_object_i(channel, JSON_RPC_Object::notify("hana.list", json_value())));
  EXPECT_TRUE(channel->sent().empty());
  EXPECT_EQ(-1, handler_.handle_object_i(nullptr, rpc_request("hana.list", json_value())));
  EXPECT_NE(std::string::npos, log_.text().find("Abort handle JSON-RPC request, requester is gone\n"));
}

TEST_F(List_Handler_Test, DatabasesCarryTheirLogBackupModeAskingTheServerOncePerJobDefinition) {
  Job_Server server;
  Global_JSON_RPC_Channel::set(server.channel());
  log_backup_conf("", {{"job_definition_uuid", kLiveJob}});
  log_backup_conf("T01", {{"job_definition_uuid", kLiveJob}});
  log_backup_conf("T02", {{"job_definition_uuid", kGoneJob}});
  log_backup_conf("SYSTEMDB", {{"job_definition_uuid", kGoneJob}});
  log_backup_conf("T03", {{"job_definition", kLiveJob}});

  json_value answer = call(handler_, json_value{{"uid", "u1"}, {"instance", "ABC_HDB01"}});
  EXPECT_EQ("ABC_HDB01", answer["result"]["instance"]);
  ASSERT_EQ(4u, answer["result"]["databases"].size());
  EXPECT_EQ((json_value{{"name", "T01"},
                        {"owner", answer["result"]["databases"][1]["owner"]},
                        {"os_user", ""},
                        {"os_group", ""},
                        {"active", true},
                        {"log_backup_mode", "database"}}),
            answer["result"]["databases"][1]);
  EXPECT_EQ(false, answer["result"]["databases"][3]["active"]);
  EXPECT_EQ((std::map<std::string, std::string>{
                {"SYSTEMDB", "instance"}, {"T01", "database"}, {"T02", "instance"}, {"T03", "instance"}}),
            modes(answer));
  EXPECT_EQ((std::map<std::string, int>{{kLiveJob, 1}, {kGoneJob, 1}}), server.asked);
  EXPECT_NE(std::string::npos,
            log_.text().find("Failed to load /var/opt/corvane/strovix3/agent/hana/log_backup_ABC_HDB01_T03\n"));

  std::remove(written_[0].c_str());  // the instance's configuration
  server.asked.clear();
  EXPECT_EQ(
      (std::map<std::string, std::string>{{"SYSTEMDB", "none"}, {"T01", "database"}, {"T02", "none"}, {"T03", "none"}}),
      modes(call(handler_, json_value{{"uid", "u1"}, {"instance", "ABC_HDB01"}})));
  EXPECT_EQ((std::map<std::string, int>{{kLiveJob, 1}, {kGoneJob, 1}}), server.asked)
      << "confirmations last one request";
}

TEST_F(List_Handler_Test, AServerThatDoesNotAnswerMakesTheModeNoneWithinTheTimeLimit) {
  const char* argv[] = {"JSON_RPC_HANA_List_Handler", "-t", "1", nullptr};
  ASSERT_EQ(0, handler_.init(3, const_cast<char**>(argv)));
  EXPECT_EQ(1, handler_.job_def_timeout());
  auto silent = std::make_shared<Recording_JSON_RPC_Channel>();
  Global_JSON_RPC_Channel::set(silent);
  log_backup_conf("", {{"job_definition_uuid", kLiveJob}});
  log_backup_conf("T01", {{"job_definition_uuid", kGoneJob}});

  time_t start = time(nullptr);
  EXPECT_EQ(
      (std::map<std::string, std::string>{{"SYSTEMDB", "none"}, {"T01", "none"}, {"T02", "none"}, {"T03", "none"}}),
      modes(call(handler_, json_value{{"uid", "u1"}, {"instance", "ABC_HDB01"}})));
  EXPECT_LE(time(nullptr) - start, 4) << "one wait per request";
  EXPECT_EQ(1u, silent->sent().size());
  EXPECT_EQ("job.def.list", silent->sent()[0]["method"]);
  EXPECT_NE(std::string::npos, log_.text().find("Failed to get job definition detail, no answer within 1 seconds\n"));

  const char* bad[] = {"JSON_RPC_HANA_List_Handler", "-t", "0", nullptr};
  EXPECT_EQ(-1, handler_.init(3, const_cast<char**>(bad)));
}
