// The restore job against the simulated HANA and the development backupd,
// fed with sets as jobs commit them; HANA's RECOVER is scripted to succeed,
// so these cases look at what the job does around it: order, statements,
// files, progress, and what it refuses before anything is stopped.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "agent/backupd/catalog_operator.h"
#include "agent/backupset/hana_backup_set.h"
#include "hana_job_sandbox.h"
#include "job/controllable_job_t.h"
#include "job/restore_executor.h"
#include "job/restore_job_options_parser.h"
#include "job/restore_job_source_parser.h"

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

class Restore_Job_Sandbox
    : public Hana_Job_Sandbox<Restore_Job_Source_Parser, Restore_Job_Options_Parser, JOB_DEFINITION_RESTORE> {
 protected:
  void SetUp() override {
    set_up("T01,T02,T03", {kCatalogDir, "/usr/sap/PRD"});
    if (IsSkipped()) return;
    for (const char* pool : {kPool, kLogPool})
      ASSERT_TRUE(server_.add_pool(json_value{{"uuid", pool}, {"name", pool}, {"url", std::string("/pools/") + pool}}));
    ASSERT_TRUE(server_.add_resource(kSource, json_value{{"instances", {instance("PRD", server_.host_uuid())}}}));
    ASSERT_TRUE(server_.add_resource(kTarget, json_value{{"instances", {instance("ABC", server_.host_uuid())}}}));
    // PRD's lifeline L1: per database a full backup at 10:00, a log backup
    // at 10:04, a catalog backup at 10:05; T03 has a full backup of its own lifeline without
    // any catalog backup.
    for (const char* database : {"SYSTEMDB", "T01", "T02"}) {
      commit(std::string("f-") + database, database, "L1", "full", 100, "10:00:00", "10:01:00");
      commit(std::string("l-") + database, database, "L1", "log", 101, "10:04:00", "10:04:30",
             "log_backup_3_0_0_1024.101");
      commit(std::string("c-") + database, database, "L1", "catalog", 102, "10:05:01", "10:05:01");
    }
    commit("f-T03", "T03", "L3", "full", 80, "08:00:00", "08:01:00");
    // A command that reaches the job between two databases (its own report
    // comes through here again).
    on_report_ = [this](const JSON_RPC_Object& request) {
      if (command_at_progress_ && request.method() == "job.event" && request.params()["event"] == "progress")
        command_at_progress_();
    };
    // HANA's own recovery is the simulator's business (and the end-to-end
    // tests'); here it succeeds at once.
    ASSERT_EQ(sim("fault ABC hdbsql --match '^RECOVER' --stdout '0 rows affected' --exit 0").rc, 0);
  }
  void commit(const std::string& uuid, const char* database, const char* lifeline, const char* type,
              std::uint64_t backup_id, const char* start, const char* end, std::string name = "") {
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
    if (name.empty()) name = catalog ? "log_backup_0_0_0_0." + std::to_string(backup_id) : "databackup_0_1";
    set.add_file({"ebid-" + uuid, "/pipes/" + name, name, 100, "pipe", std::string(database) + "/" + name});
    ASSERT_TRUE(Catalog_Operator(server_.session(), 0).commit(set, false)) << uuid;
  }

  json_value definition(const json_value& entries, int subtype = JOB_DEFINITION_SUBTYPE_POINT_IN_TIME) {
    return {{"id", "6b0c2b9e-1d2a-4e4b-9a51-000000000001"},
            {"type", JOB_DEFINITION_RESTORE},
            {"subtype", subtype},
            {"name", "restore"},
            {"agent", "hana"},
            {"host_id", server_.host_uuid()},
            {"max_seconds_retry", 30},
            {"target", {{"id", kTarget}}},
            {"source", {{"id", kSource}, {"name", "PRD"}, {"pool_uuid", kPool}, {"entries", entries}}}};
  }
  Job_var job(const json_value& entries, int subtype = JOB_DEFINITION_SUBTYPE_POINT_IN_TIME) {
    return make<Controllable_Job_T<Restore_Executor>>(definition(entries, subtype));
  }
  static json_value entry(const char* origin, const char* target, const char* timepoint,
                          const char* catalog_uuid = nullptr) {
    json_value e = {{"original", {{"sid", "PRD"}, {"database", origin}}},
                    {"restore_as", {{"database", target}, {"timepoint", timepoint}, {"lifeline", "L1"}}}};
    if (catalog_uuid != nullptr) e["catalog_uuid"] = catalog_uuid;
    return e;
  }

  /// The statements that stop, recover or start a database, in order.
  static std::vector<std::string> controls() {
    std::vector<std::string> out;
    for (const std::string& s : statements("ABC"))
      if (s.rfind("RECOVER", 0) == 0 || s.rfind("ALTER SYSTEM ST", 0) == 0) out.push_back(s);
    return out;
  }

  std::function<void()> command_at_progress_;
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

TEST_F(Restore_Job_Sandbox, PointInTimeTheBackupsDoNotReachIsRefusedBeforeAnythingIsStopped) {
  // The agent's zone is not UTC; HANA's times are.
  struct Zone {
    Zone() { ::setenv("TZ", "IST-5:30", 1), ::tzset(); }
    ~Zone() { ::unsetenv("TZ"), ::tzset(); }
  } zone;
  // T02's next log backup does not follow on from the one of 10:04.
  commit("l2-T02", "T02", "L1", "log", 103, "10:08:00", "10:08:30", "log_backup_3_0_2048_3072.103");
  Job_var j = job({entry("T01", "T01", "2026-01-02 10:03:00"), entry("T02", "T02", "2026-01-02 10:09:00")});
  std::string log = run(*j);
  EXPECT_EQ(j->outcome(), JOB_OUTCOME_FAILURE);
  EXPECT_NE(log.find("The backups of 'T02@PRD' reach 2026-01-02 10:04:00 UTC at the latest, not the requested "
                     "2026-01-02 10:09:00 UTC"),
            std::string::npos)
      << log;
  EXPECT_EQ(alerts(), std::vector<std::string>{R"(5{"database":"T02","reachable_time":"2026-01-02 10:04:00"})"});
  EXPECT_EQ(controls(), std::vector<std::string>());

  // A time given with its zone reaches HANA in UTC.
  clear_reports();
  j = job(json_value::array({entry("T01", "T01", "2026-01-02T15:33:00+05:30")}));
  log = run(*j);
  ASSERT_EQ(j->outcome(), JOB_OUTCOME_SUCCESS) << log;
  ASSERT_EQ(controls().size(), 3u);
  EXPECT_EQ(controls()[1],
            "RECOVER DATABASE FOR T01 UNTIL TIMESTAMP '2026-01-02 10:03:00' CLEAR LOG USING SOURCE 'T01@PRD'  USING "
            "CATALOG BACKINT USING BACKUP_ID 100 CHECK ACCESS ALL");
}

TEST_F(Restore_Job_Sandbox, EntryWithoutItsOwnPointInTimeRefusesTheWholeDefinition) {
  json_value second = entry("T02", "T02", "");
  second["restore_as"].erase("timepoint");
  std::string error;
  EXPECT_FALSE(
      Job_Definition::from_json(definition({entry("T01", "T01", "2026-01-02 10:03:00"), second}), registry_, error));
}

TEST_F(Restore_Job_Sandbox, StopOrAbortTakesEffectBetweenDatabasesAndEndsTheRunCancelled) {
  for (const bool abort : {false, true}) {
    SCOPED_TRACE(abort ? "abort" : "stop");
    clear_reports();
    sim("calls ABC --clear");
    Job_var j = job({entry("T01", "T01", "2026-01-02 10:03:00"), entry("T02", "T02", "2026-01-02 10:03:00")});
    Job* target = j.get();
    command_at_progress_ = [target, abort]() { EXPECT_EQ(abort ? target->abort(nullptr) : target->stop(nullptr), 0); };
    const std::string log = run(*j);
    command_at_progress_ = nullptr;
    EXPECT_EQ(j->outcome(), JOB_OUTCOME_CANCELED) << log;
    EXPECT_NE(log.find("The restore was stopped: 1 of 2 database(s) restored (T01), not restored: T02; no database "
                       "was left stopped\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(controls(), (std::vector<std::string>{
                              "ALTER SYSTEM STOP DATABASE T01",
                              "RECOVER DATABASE FOR T01 UNTIL TIMESTAMP '2026-01-02 10:03:00' CLEAR LOG USING SOURCE "
                              "'T01@PRD'  USING CATALOG BACKINT USING BACKUP_ID 100 CHECK ACCESS ALL",
                              "ALTER SYSTEM START DATABASE T01"}));
  }
}
