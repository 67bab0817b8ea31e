// The restore job against the simulated HANA and the development backupd,
// fed with sets as jobs commit them; HANA's RECOVER is scripted to succeed,
// so these cases look at what the job does around it: order, statements,
// files, progress, and what it refuses before anything is stopped.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "agent/backupd/catalog_operator.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/base/file_utils.h"
#include "agent/base/object_creator.h"
#include "agent/config/agent_config.h"
#include "agent/config/host_manager.h"
#include "agent/config/websocket_options.h"
#include "agent/job/job_parser_registry.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "backupd_fixture.h"
#include "hana_sim_fixture.h"
#include "job/controllable_job_t.h"
#include "job/restore_executor.h"
#include "job/restore_job_options_parser.h"
#include "job/restore_job_source_parser.h"
#include "read_file.h"
#include "recording_json_rpc_channel.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

const char* const kSource = "6a1e0c6a-0000-4000-8000-0000000000a1";  // PRD, backed up
const char* const kTarget = "6a1e0c6a-0000-4000-8000-0000000000a2";  // ABC, restored into
const char* const kPool = "6a1e0c6a-0000-4000-8000-0000000000b1";
const char* const kLogPool = "6a1e0c6a-0000-4000-8000-0000000000b2";
const std::string kCatalogDir = "/var/opt/corvane/strovix3/agent/hana/catalog";
const std::string kSqlFile = "/usr/sap/ABC/HDB00/work/recoverInstance.sql";

std::int64_t at(const char* hms) {
  struct tm t = {};
  ::strptime((std::string("2026-01-02 ") + hms).c_str(), "%Y-%m-%d %H:%M:%S", &t);
  return ::timegm(&t);
}

json_value instance(const std::string& sid, const std::string& host) {
  return {{"name", sid + "_HDB00"},
          {"uuid", "i-" + sid + host},
          {"host_uuid", host},
          {"extended_attrs",
           {{"sid", sid}, {"instance_name", "HDB00"}, {"instance_number", 0}, {"multi_container", true}}}};
}

class Restore_Job_Sandbox : public Hana_Sim_Test {
 protected:
  void SetUp() override {
    Hana_Sim_Test::SetUp();
    if (IsSkipped()) return;
    ::setenv("STROVIX3_BACKOFF_SCALE", "0.001", 1);
    Backupd_Server::Options options;
    options.agent_conf_dir = Agent_Config::directory();
    ASSERT_TRUE(server_.start(options));
    ASSERT_TRUE(Host_Manager::instance()->load(options.agent_conf_dir));
    ASSERT_TRUE(WebSocket_Options::instance()->load(options.agent_conf_dir));
    for (const char* pool : {kPool, kLogPool})
      ASSERT_TRUE(server_.add_pool(json_value{{"uuid", pool}, {"name", pool}, {"url", std::string("/pools/") + pool}}));
    install("ABC", "--instance 0 --tenants T01,T02,T03");
    register_instance("ABC", 0, true);
    ASSERT_TRUE(
        Instance_Manager::instance()->set_account("hana", "ABC_HDB00", "admin", "SYSTEM", secure_string("Manager1")));
    ASSERT_TRUE(server_.add_resource(kSource, json_value{{"instances", {instance("PRD", server_.host_uuid())}}}));
    ASSERT_TRUE(server_.add_resource(kTarget, json_value{{"instances", {instance("ABC", server_.host_uuid())}}}));
    // PRD's lifeline L1: per database a full backup at 10:00, a catalog
    // backup at 10:05; T03 has a full backup of its own lifeline without
    // any catalog backup.
    for (const char* database : {"SYSTEMDB", "T01", "T02"}) {
      commit(std::string("f-") + database, database, "L1", "full", 100, "10:00:00", "10:01:00");
      commit(std::string("c-") + database, database, "L1", "catalog", 102, "10:05:01", "10:05:01");
    }
    commit("f-T03", "T03", "L3", "full", 80, "08:00:00", "08:01:00");
    registry_.add("hana", JOB_DEFINITION_RESTORE, Job_Parser_Registry::KIND_SOURCE, &sources_);
    registry_.add("hana", JOB_DEFINITION_RESTORE, Job_Parser_Registry::KIND_OPTIONS, &options_);
    Job::set_log_directory(scratch_.file("log"));
    Global_JSON_RPC_Channel::set(std::make_shared<Recording_JSON_RPC_Channel>([this](const JSON_RPC_Object& request) {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back(json_value{{"method", request.method()}, {"params", request.params()}});
      auto response = std::make_shared<JSON_RPC_Response>(request);
      response->result() = json_value::object();
      return response;
    }));
    // HANA's own recovery is the simulator's business (and the end-to-end
    // tests'); here it succeeds at once.
    ASSERT_EQ(sim("fault ABC hdbsql --match '^RECOVER' --stdout '0 rows affected' --exit 0").rc, 0);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    Global_JSON_RPC_Channel::set(nullptr);
    Hana_Sim_Test::TearDown();
    server_.stop();
    std::system(("rm -rf " + kCatalogDir + " /usr/sap/PRD /var/opt/corvane/strovix3/agent/act").c_str());
  }

  void commit(const std::string& uuid, const char* database, const char* lifeline, const char* type,
              std::uint64_t backup_id, const char* start, const char* end) {
    HANA_Backup_Set set;
    set.uuid = uuid;
    set.resource_uuid = kSource;
    set.database = set.sub_resource = database;
    set.sid = "PRD";
    set.lifeline = lifeline;
    set.type = type;
    set.database_backup_id = backup_id;
    set.start_time = at(start);
    set.end_time = at(end);
    set.source_size = set.storage_size = 100;
    const bool catalog = std::string(type) == "catalog";
    set.add_storage(Backup_Set_Storage(catalog ? kLogPool : kPool, set.storage_size));
    const std::string name = catalog ? "log_backup_0_0_0_0." + std::to_string(backup_id) : "databackup_0_1";
    set.add_file({"ebid-" + uuid, "/pipes/" + name, name, 100, "pipe", std::string(database) + "/" + name});
    ASSERT_TRUE(Catalog_Operator(server_.session(), 0).commit(set, false)) << uuid;
  }

  Job_var job(const json_value& entries, int subtype = JOB_DEFINITION_SUBTYPE_POINT_IN_TIME) {
    json_value d = {{"id", "6b0c2b9e-1d2a-4e4b-9a51-000000000001"},
                    {"type", JOB_DEFINITION_RESTORE},
                    {"subtype", subtype},
                    {"name", "restore"},
                    {"agent", "hana"},
                    {"host_id", server_.host_uuid()},
                    {"max_seconds_retry", 30},
                    {"target", {{"id", kTarget}}},
                    {"source", {{"id", kSource}, {"name", "PRD"}, {"pool_uuid", kPool}, {"entries", entries}}}};
    std::string error;
    Job_Definition_var def = Job_Definition::from_json(d, registry_, error);
    EXPECT_TRUE(def) << error;
    return make_job<Controllable_Job_T<Restore_Executor>>(def);
  }
  static json_value entry(const char* origin, const char* target, const char* timepoint,
                          const char* catalog_uuid = nullptr) {
    json_value e = {{"original", {{"sid", "PRD"}, {"database", origin}}},
                    {"restore_as", {{"database", target}, {"timepoint", timepoint}, {"lifeline", "L1"}}}};
    if (catalog_uuid != nullptr) e["catalog_uuid"] = catalog_uuid;
    return e;
  }

  std::string run(Job& j) {
    EXPECT_EQ(j.start(nullptr), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (j.running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(j.running());
    return read_file(j.log_path());
  }
  std::vector<json_value> reports(const std::string& method) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<json_value> out;
    for (const auto& r : reports_)
      if (r["method"] == method) out.push_back(r["params"]);
    return out;
  }
  std::vector<std::string> alerts() {
    std::vector<std::string> out;
    for (const auto& a : reports("job.alert"))
      out.push_back(std::to_string(a["code"].get<int>()) + a["parameters"].dump());
    return out;
  }
  /// The statements that stop, recover or start a database, in order.
  static std::vector<std::string> controls() {
    std::vector<std::string> out;
    for (const std::string& s : statements("ABC"))
      if (s.rfind("RECOVER", 0) == 0 || s.rfind("ALTER SYSTEM ST", 0) == 0) out.push_back(s);
    return out;
  }

  Backupd_Server server_;
  Temp_Dir scratch_;
  Job_Parser_Registry registry_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Restore_Job_Source_Parser> sources_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Restore_Job_Options_Parser> options_;
  std::mutex mutex_;
  std::vector<json_value> reports_;
};

}  // namespace

TEST_F(Restore_Job_Sandbox, TenantsFromAnotherSystemOneAfterAnother) {
  Job_var j = job({entry("T01", "T01", "2026-01-02 10:03:00"), entry("T02", "T02", "2026-01-02 10:03:00"),
                   entry("T03", "T03", "", "f-T03")});
  const std::string log = run(*j);
  ASSERT_EQ(j->outcome(), JOB_OUTCOME_SUCCESS) << log;

  EXPECT_EQ(controls(), (std::vector<std::string>{
                            "ALTER SYSTEM STOP DATABASE T01",
                            "RECOVER DATABASE FOR T01 UNTIL TIMESTAMP '2026-01-02 10:03:00' CLEAR LOG USING SOURCE "
                            "'T01@PRD'  USING CATALOG BACKINT USING BACKUP_ID 100 CHECK ACCESS ALL",
                            "ALTER SYSTEM START DATABASE T01", "ALTER SYSTEM STOP DATABASE T02",
                            "RECOVER DATABASE FOR T02 UNTIL TIMESTAMP '2026-01-02 10:03:00' CLEAR LOG USING SOURCE "
                            "'T02@PRD'  USING CATALOG BACKINT USING BACKUP_ID 100 CHECK ACCESS ALL",
                            "ALTER SYSTEM START DATABASE T02", "ALTER SYSTEM STOP DATABASE T03",
                            "RECOVER DATA FOR T03 USING SOURCE 'T03@PRD' USING BACKINT ('f-T03') CLEAR LOG;",
                            "ALTER SYSTEM START DATABASE T03"}));
  std::vector<int> progress;
  for (const auto& e : reports("job.event"))
    if (e["event"] == "progress") progress.push_back(e["percent"].get<int>());
  EXPECT_EQ(progress, (std::vector<int>{33, 66, 100}));
  EXPECT_EQ(alerts(), std::vector<std::string>());

  // HANA makes the origin's pipes in PRD's directory, as <sid>adm.
  struct stat st;
  ASSERT_EQ(::stat("/usr/sap/PRD/SYS/global/hdb/backint/DB_T01", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775u);
  EXPECT_EQ(st.st_gid, ::getgrnam("sapsys")->gr_gid);

  json_value conf;
  ASSERT_TRUE(load_json(kCatalogDir + "/PRD@T01-ABC@T01", conf));
  EXPECT_EQ(conf.dump(), R"({"location":"/pools/)" + std::string(kLogPool) +
                             R"(","filename":"T01/log_backup_0_0_0_0.102","source_type":"pipe",)"
                             R"("extern_backup_id":"ebid-c-T01","origin_sid":"PRD","origin_database":"T01",)"
                             R"("target_sid":"ABC","pool_uuid":")" +
                             kLogPool + R"(","target_database":"T01"})");
  ASSERT_EQ(::stat((kCatalogDir + "/PRD@T01-ABC@T01").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // A full set without a HANA catalog backup gets no catalog file.
  EXPECT_FALSE(is_regular_file((kCatalogDir + "/PRD@T03-ABC@T03").c_str()));
  ASSERT_TRUE(load_json(kCatalogDir + "/ABC@T03-restore-ext-conf", conf));
  EXPECT_EQ(conf["io_ctl"]["max_seconds_retry"], 30);
  EXPECT_EQ(conf["pool_uuid"], kPool);
  EXPECT_FALSE(conf.contains("log_pool_uuid"));
  EXPECT_EQ(conf["origin_sid"], "PRD");  // hana-backint may read PRD's backups for ABC
}

TEST_F(Restore_Job_Sandbox, SystemDatabaseFirstAndNothingStoppedForARestoreThatCannotRun) {
  // A recoverInstance.sql left behind: the system database, restored first,
  // refuses before the instance is stopped, and the tenant is not touched.
  std::ofstream(kSqlFile) << "RECOVER DATA USING BACKUP_ID 1 CLEAR LOG;";
  sim("calls ABC --clear");
  Job_var j = job({entry("T01", "T01", "2026-01-02 10:03:00"), entry("SYSTEMDB", "SYSTEMDB", "2026-01-02 10:03:00")});
  std::string log = run(*j);
  EXPECT_EQ(j->outcome(), JOB_OUTCOME_FAILURE);
  EXPECT_NE(log.find("Restore sql file " + kSqlFile + " is exist\n"), std::string::npos) << log;
  EXPECT_EQ(alerts(), std::vector<std::string>{"18{\"file\":\"" + kSqlFile + "\"}"});
  EXPECT_EQ(calls("ABC", "HDB").size(), 0u);
  EXPECT_EQ(controls(), std::vector<std::string>());
  EXPECT_EQ(sim("status ABC").out, "running\n");
  ::unlink(kSqlFile.c_str());

  // A point in time or a name that HANA would not read as meant: refused
  // before anyone logs on to HANA.
  for (const char* bad : {"2026-01-02 10:03", "2026-01-02 10:03:00' CLEAR LOG"}) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.clear();
    }
    sim("calls ABC --clear");
    j = job({entry("T01", "T01", "2026-01-02 10:03:00"), entry("T02", "T02", bad)});
    log = run(*j);
    EXPECT_EQ(j->outcome(), JOB_OUTCOME_FAILURE);
    EXPECT_NE(log.find("Invalid point in time (expected YYYY-MM-DD HH:MM:SS) '" + std::string(bad) +
                       "' in the restore entry of 'PRD@T02', nothing restored\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(alerts(), std::vector<std::string>{"15{\"database\":\"T02\"}"});
    EXPECT_EQ(statements("ABC"), std::vector<std::string>());
  }
}

TEST_F(Restore_Job_Sandbox, ScaleOutTargetWithOnlyThisHostIsRefused) {
  ASSERT_EQ(sim("ini ABC nameserver.ini landscape worker 'h1 h2'").rc, 0);
  Job_var j = job(json_value::array({entry("T01", "T01", "2026-01-02 10:03:00")}));
  const std::string log = run(*j);
  EXPECT_EQ(j->outcome(), JOB_OUTCOME_FAILURE);
  EXPECT_NE(log.find("ERROR The HANA cluster resource lists no host besides this one\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR Failed to get resource info.\n"), std::string::npos);
  EXPECT_EQ(alerts(), std::vector<std::string>{"6null"});
  EXPECT_EQ(controls(), std::vector<std::string>());
}
