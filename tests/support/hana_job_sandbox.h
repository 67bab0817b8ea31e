#ifndef TESTS_SUPPORT_HANA_JOB_SANDBOX_H
#define TESTS_SUPPORT_HANA_JOB_SANDBOX_H

// The set-up every HANA job case shares: the development backupd with the
// agent's configuration pointing at it, the simulated system ABC with its
// instance registered and its account set, the job parsers of one job type,
// and a JSON-RPC channel that records every report a job sends.

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/base/file_utils.h"
#include "agent/base/object_creator.h"
#include "agent/config/agent_config.h"
#include "agent/config/host_manager.h"
#include "agent/config/websocket_options.h"
#include "agent/job/job.h"
#include "agent/job/job_parser_registry.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "backupd_fixture.h"
#include "hana_sim_fixture.h"
#include "read_file.h"
#include "recording_json_rpc_channel.h"
#include "temp_dir.h"

namespace hana_sim_test {

/// `Source` and `Options` parse the definitions' source and options for
/// job type `Type`.
template <class Source, class Options, int Type>
class Hana_Job_Sandbox : public Hana_Sim_Test {
 protected:
  /// Starts the server and the recording channel, installs ABC with
  /// `tenants` and registers its instance; `scrap` lists what TearDown
  /// removes besides the job activity records.
  void set_up(const std::string& tenants, std::vector<std::string> scrap) {
    Hana_Sim_Test::SetUp();
    if (IsSkipped()) return;
    scrap_ = std::move(scrap);
    ::setenv("STROVIX3_BACKOFF_SCALE", "0.001", 1);
    Backupd_Server::Options options;
    options.agent_conf_dir = Agent_Config::directory();
    ASSERT_TRUE(server_.start(options));
    ASSERT_TRUE(Host_Manager::instance()->load(options.agent_conf_dir));
    ASSERT_TRUE(WebSocket_Options::instance()->load(options.agent_conf_dir));
    install("ABC", "--instance 0 --tenants " + tenants);
    register_instance("ABC", 0, true);
    ASSERT_TRUE(
        Instance_Manager::instance()->set_account("hana", "ABC_HDB00", "admin", "SYSTEM", secure_string("Manager1")));
    registry_.add("hana", static_cast<Job_Definition_Type>(Type), Job_Parser_Registry::KIND_SOURCE, &sources_);
    registry_.add("hana", static_cast<Job_Definition_Type>(Type), Job_Parser_Registry::KIND_OPTIONS, &options_);
    Job::set_log_directory(scratch_.file("log"));
    Global_JSON_RPC_Channel::set(std::make_shared<Recording_JSON_RPC_Channel>([this](const JSON_RPC_Object& request) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(json_value{{"method", request.method()}, {"params", request.params()}});
      }
      if (on_report_) on_report_(request);
      auto response = std::make_shared<JSON_RPC_Response>(request);
      response->result() = json_value::object();
      return response;
    }));
  }
  void TearDown() override {
    if (IsSkipped()) return;
    Global_JSON_RPC_Channel::set(nullptr);
    on_report_ = nullptr;
    Hana_Sim_Test::TearDown();
    server_.stop();
    std::string command = "rm -rf /var/opt/corvane/strovix3/agent/act";
    for (const auto& path : scrap_) command += " " + path;
    std::system(command.c_str());
  }

  /// A file pool `uuid` in directory `dir`, made writable for everyone.
  void add_pool(const std::string& uuid, const std::string& dir) {
    std::vector<std::string> made;
    ASSERT_EQ(make_directories(dir, 0777, made), 0);
    ASSERT_TRUE(server_.add_pool(json_value{{"uuid", uuid}, {"name", uuid}, {"url", dir}}));
  }
  /// The resource record of instance HDB00 of `sid` on host `host`.
  static json_value instance(const std::string& sid, const std::string& host) {
    return {{"name", sid + "_HDB00"},
            {"uuid", "i-" + sid + host},
            {"host_uuid", host},
            {"extended_attrs",
             {{"sid", sid}, {"instance_name", "HDB00"}, {"instance_number", 0}, {"multi_container", true}}}};
  }
  /// A job of definition `d`, parsed with this fixture's parsers.
  template <class Job_Type>
  Job_var make(const json_value& d) {
    std::string error;
    Job_Definition_var def = Job_Definition::from_json(d, registry_, error);
    EXPECT_TRUE(def) << error;
    return make_job<Job_Type>(def);
  }

  static bool wait_for(const std::function<bool()>& done, int seconds = 120) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  /// Runs the job to its end; its run log.
  std::string run(Job& j, const Action_Options* options = nullptr, int seconds = 180) {
    EXPECT_EQ(j.start(options), 0);
    EXPECT_TRUE(wait_for([&j] { return !j.running(); }, seconds));
    return read_file(j.log_path());
  }

  /// The reports sent by method, and by event when one is given.
  std::vector<json_value> reports(const std::string& method, const std::string& event = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<json_value> out;
    for (const auto& r : reports_)
      if (r["method"] == method && (event.empty() || r["params"].value("event", "") == event))
        out.push_back(r["params"]);
    return out;
  }
  void clear_reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.clear();
  }
  /// The alerts sent: code and parameters.
  std::vector<std::string> alerts() {
    std::vector<std::string> out;
    for (const json_value& a : reports("job.alert"))
      out.push_back(std::to_string(a["code"].get<int>()) + a["parameters"].dump());
    return out;
  }
  /// Every committed set, in commit order.
  std::vector<json_value> sets() {
    json_value answer;
    EXPECT_EQ(server_.admin(HTTP_GET, "backup_sets", nullptr, answer), 200);
    return answer.value("rows", std::vector<json_value>());
  }

  Backupd_Server server_;
  Temp_Dir scratch_;
  Job_Parser_Registry registry_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Source> sources_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Options> options_;
  std::mutex mutex_;
  std::vector<json_value> reports_;
  std::vector<std::string> scrap_;
  /// Called with every report after it is recorded, on the reporting thread.
  std::function<void(const JSON_RPC_Object&)> on_report_;
};

}  // namespace hana_sim_test

#endif
