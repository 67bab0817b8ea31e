// The data backup job against the simulated HANA, the real hana-backint and
// the development backupd: sets, levels, lifelines, cancel and stop.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/job/default_backup_job_source_parser.h"
#include "common/environ_getter.h"
#include "hana_job_sandbox.h"
#include "job/backup_job_options_parser.h"
#include "job/hana_backup_job.h"
#include "job/hdbsql_error_msg_handler.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

const char* const kResource = "7d1e0c6a-0000-4000-8000-0000000000a1";
const char* const kPool = "7d1e0c6a-0000-4000-8000-0000000000b1";
const char* const kPool2 = "7d1e0c6a-0000-4000-8000-0000000000b2";
const std::string kPoolDir = "/var/opt/corvane/test-job-pool";

using Backup_Sandbox_Base =
    Hana_Job_Sandbox<Default_Backup_Job_Source_Parser, Backup_Job_Options_Parser, JOB_DEFINITION_BACKUP>;

class Backup_Job_Sandbox : public Backup_Sandbox_Base {
 protected:
  void SetUp() override {
    set_up("T01", {kPoolDir});
    if (IsSkipped()) return;
    for (const char* pool : {kPool, kPool2}) add_pool(pool, kPoolDir + "/" + pool);
    ASSERT_TRUE(server_.add_resource(kResource, json_value{{"instances", {instance("ABC", server_.host_uuid())}}}));
  }

  Job_var job(int subtype, const std::vector<std::string>& entries, const char* pool = kPool) {
    json_value d = {{"id", "5f0c2b9e-1d2a-4e4b-9a51-00000000000" + std::to_string(subtype)},
                    {"type", JOB_DEFINITION_BACKUP},
                    {"subtype", subtype},
                    {"name", "nightly"},
                    {"agent", "hana"},
                    {"host_id", server_.host_uuid()},
                    {"target", {{"id", pool}, {"location", kPoolDir + "/" + pool}}},
                    {"source", {{"id", kResource}, {"entries", entries}}},
                    {"options", {{"compression", "zstd"}, {"compression_level", 3}}}};
    return make<HANA_Backup_Job>(d);
  }

  /// Committed sets of a database, in commit order.
  std::vector<json_value> sets(const std::string& database) {
    std::vector<json_value> out;
    for (const auto& row : Backup_Sandbox_Base::sets())
      if (row.value("database", std::string()) == database) out.push_back(row);
    return out;
  }
  /// HANA's catalog entries of a database (one JSON object each).
  std::vector<json_value> backups(const std::string& database) {
    std::vector<json_value> out;
    std::istringstream in(sim("backups ABC --database " + database).out);
    std::string line;
    while (std::getline(in, line)) out.push_back(json_value::parse(line));
    return out;
  }
  /// Slow enough to be seen running: T01's second volume takes about ten
  /// seconds, the others three.
  void slow_t01() {
    ASSERT_EQ(sim("state ABC --set backint.data_rate=20000").rc, 0);
    ASSERT_EQ(sim("state ABC --set 'databases.T01.volumes=[{\"volume\": 0, \"service\": \"topology\"}, "
                  "{\"volume\": 40, \"service\": \"indexserver\"}]'")
                  .rc,
              0);
  }
  /// The ID of T01's running backup in HANA's catalog, or "".
  std::string running_backup() {
    for (const auto& e : backups("T01"))
      if (e["state_name"] == "running") return std::to_string(e["backup_id"].get<long>());
    return std::string();
  }
  /// Every set matches HANA's catalog entry of its backup ID, and every file
  /// of it lies in the pool.
  void expect_matches_hana(const json_value& set, const std::string& database, const char* pool = kPool) {
    SCOPED_TRACE(set.dump());
    bool found = false;
    for (const auto& entry : backups(database)) {
      if (entry["backup_id"] != set["database_backup_id"]) continue;
      found = true;
      EXPECT_EQ(entry["state_name"], "successful");
      // Channels are saved concurrently: the set lists them in the order they ended.
      std::set<std::string> in_hana, in_set;
      for (const auto& file : entry["files"]) in_hana.insert(file["external_backup_id"].get<std::string>());
      for (const auto& file : set["files"]) {
        in_set.insert(file["extern_backup_id"].get<std::string>());
        const std::string object = kPoolDir + "/" + pool + "/" + file["storage_path"].get<std::string>();
        EXPECT_TRUE(is_regular_file(object.c_str())) << object;
      }
      EXPECT_EQ(in_hana, in_set);
      EXPECT_EQ(entry["files"].size(), set["files"].size());
    }
    EXPECT_TRUE(found);
  }
};

}  // namespace

TEST_F(Backup_Job_Sandbox, FullThenIncrementalOfBothDatabasesCommitsChainedSets) {
  const std::vector<std::string> entries = {"hana/HDB00/SYSTEMDB", "hana/HDB00", "hana/HDB00/T01"};
  Job_var full = job(JOB_DEFINITION_SUBTYPE_FULL, entries);
  std::string log = run(*full);
  ASSERT_EQ(full->outcome(), JOB_OUTCOME_SUCCESS) << log;
  Job_var inc = job(JOB_DEFINITION_SUBTYPE_INCREMENTAL, entries);
  log = run(*inc);
  ASSERT_EQ(inc->outcome(), JOB_OUTCOME_SUCCESS) << log;

  for (const char* database : {"SYSTEMDB", "T01"}) {
    SCOPED_TRACE(database);
    auto committed = sets(database);
    ASSERT_EQ(committed.size(), 2u);
    const json_value &f = committed[0], &i = committed[1];
    EXPECT_EQ(f["type"], "full");
    EXPECT_EQ(i["type"], "incremental");
    // A first backup opens a lifeline and an incarnation of its own; the
    // incremental one continues both.
    EXPECT_EQ(f["incarnation"], f["uuid"]);
    EXPECT_EQ(i["incarnation"], f["uuid"]);
    EXPECT_EQ(i["lifeline"], f["lifeline"]);
    EXPECT_EQ(f["sid"], "ABC");
    EXPECT_EQ(f["system_version"], "2.00.070.00.1700000000");
    EXPECT_EQ(f["instance_name"], "HDB00");
    EXPECT_EQ(f["storages"][0]["pool_uuid"], kPool);
    expect_matches_hana(f, database);
    expect_matches_hana(i, database);
  }
  // SYSTEMDB is named in no FOR part; the instance-only entry backs nothing up.
  std::vector<std::string> backup_statements;
  for (const auto& s : statements("ABC"))
    if (s.compare(0, 11, "BACKUP DATA") == 0) backup_statements.push_back(s);
  ASSERT_EQ(backup_statements.size(), 4u);
  const std::string uuid = sets("SYSTEMDB")[0]["uuid"].get<std::string>();
  EXPECT_EQ(backup_statements[0], "BACKUP DATA   USING BACKINT('" + uuid + "') TOOLOPTION 'job_uuid=" + uuid +
                                      ";' COMMENT 'job_uuid=" + uuid + "'");
  EXPECT_EQ(backup_statements[3].substr(0, 33), "BACKUP DATA INCREMENTAL  FOR T01 ");
  // The backint job records are gone once their sets are committed.
  json_value jobs;
  ASSERT_EQ(server_.admin(HTTP_GET, "jobs", nullptr, jobs), 200);
  EXPECT_EQ(jobs.value("rows", json_value::array()).size(), 0u) << jobs.dump();
  // Progress went from 1 to 100 through each database's share of the three
  // collected entries.
  std::vector<int> percent;
  for (const auto& r : reports("job.event"))
    if (r.value("event", "") == "progress") percent.push_back(r.value("percent", -1));
  ASSERT_FALSE(percent.empty());
  EXPECT_EQ(percent.front(), 1);
  EXPECT_EQ(percent.back(), 100);
  for (int step : {33, 66}) EXPECT_NE(std::find(percent.begin(), percent.end(), step), percent.end()) << step;
}

TEST_F(Backup_Job_Sandbox, BelowVersion1_00_100ProgressIsOnlyTheStartAndEndOfEachDatabase) {
  // Such a HANA has no progress view: asking for it would fail every poll.
  ASSERT_EQ(sim("state ABC --set version=1.00.099.00.1433235421").rc, 0);
  Job_var full = job(JOB_DEFINITION_SUBTYPE_FULL, {"hana/HDB00/SYSTEMDB", "hana/HDB00/T01"});
  const std::string log = run(*full);
  ASSERT_EQ(full->outcome(), JOB_OUTCOME_SUCCESS) << log;
  std::vector<int> percent;
  for (const auto& r : reports("job.event"))
    if (r.value("event", "") == "progress") percent.push_back(r.value("percent", -1));
  // Progress never goes back to a database's start below what was shown.
  EXPECT_EQ(percent, (std::vector<int>{1, 50, 50, 100, 100}));
  // The run's log and its end report give each database's bytes, seconds and rate.
  std::vector<json_value> ends;
  for (const auto& r : reports("job.event"))
    if (r.value("event", "") == "success") ends.push_back(r);
  ASSERT_EQ(ends.size(), 1u);
  ASSERT_EQ(ends[0]["databases"].size(), 2u);
  const json_value& t01 = ends[0]["databases"][1];
  EXPECT_EQ(t01["database"], "T01");
  EXPECT_EQ(t01["outcome"], "success");
  EXPECT_EQ(t01["bytes"], sets("T01").at(0)["source_size"]);
  EXPECT_TRUE(t01["seconds"].is_number() && t01["mb_per_second"].is_number()) << t01.dump();
  EXPECT_NE(log.find("Database T01: success, " + t01["bytes"].dump() + " bytes in "), std::string::npos) << log;
  for (const auto& s : statements("ABC")) EXPECT_EQ(s.find("M_BACKUP_PROGRESS"), std::string::npos) << s;
  expect_matches_hana(sets("T01").at(0), "T01");
  EXPECT_EQ(sets("T01").at(0)["system_version"], "1.00.099.00.1433235421");
}

TEST_F(Backup_Job_Sandbox, IncrementalFallsBackToFull) {
  // Without a full backup.
  Job_var inc = job(JOB_DEFINITION_SUBTYPE_INCREMENTAL, {"hana/HDB00/T01"});
  std::string log = run(*inc);
  ASSERT_EQ(inc->outcome(), JOB_OUTCOME_SUCCESS) << log;
  EXPECT_NE(log.find("Failed to get full backup, set job type to full"), std::string::npos) << log;
  EXPECT_EQ(sets("T01").back()["type"], "full");
  // On another pool than the full backup's.
  Job_var other = job(JOB_DEFINITION_SUBTYPE_INCREMENTAL, {"hana/HDB00/T01"}, kPool2);
  log = run(*other);
  ASSERT_EQ(other->outcome(), JOB_OUTCOME_SUCCESS) << log;
  EXPECT_NE(log.find("Storage pool is changed, set job type to full"), std::string::npos) << log;
  expect_matches_hana(sets("T01").back(), "T01", kPool2);
  // After a restore: the full backup is no base, and the lifeline starts anew.
  const std::string lifeline = sets("T01").back()["lifeline"];
  std::ofstream("/usr/sap/ABC/HDB00/h1/trace/DB_T01/backup.log", std::ios::app)
      << "2099-01-01T00:00:00+00:00  P0001234      18c0000001 INFO    RECOVERY RECOVER DATA started\n";
  Job_var after = job(JOB_DEFINITION_SUBTYPE_INCREMENTAL, {"hana/HDB00/T01"}, kPool2);
  log = run(*after);
  ASSERT_EQ(after->outcome(), JOB_OUTCOME_SUCCESS) << log;
  EXPECT_NE(log.find("Database has been restored, set job type to full"), std::string::npos) << log;
  EXPECT_NE(log.find("Update lifeline: restore time is 4070908800, backup time is"), std::string::npos) << log;
  EXPECT_NE(sets("T01").back()["lifeline"], lifeline);
  EXPECT_EQ(sets("T01").back()["type"], "full");
}

TEST_F(Backup_Job_Sandbox, CancelInHanaAndStopEndTheRunCancelled) {
  ASSERT_NO_FATAL_FAILURE(slow_t01());
  // The user cancels in HANA.
  Job_var by_user = job(JOB_DEFINITION_SUBTYPE_FULL, {"hana/HDB00/T01"});
  ASSERT_EQ(by_user->start(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return !running_backup().empty(); }));
  HDBSQL_Executor hdbsql = executor("ABC", "HDB00");
  ASSERT_TRUE(hdbsql.execute("BACKUP CANCEL FOR T01 " + running_backup()));
  ASSERT_TRUE(wait_for([&] { return !by_user->running(); }));
  EXPECT_EQ(by_user->outcome(), JOB_OUTCOME_CANCELED) << read_file(by_user->log_path());

  // A stop returns at once, cancels the backup and removes its data set.
  Job_var stopped = job(JOB_DEFINITION_SUBTYPE_FULL, {"hana/HDB00/SYSTEMDB", "hana/HDB00/T01"});
  ASSERT_EQ(stopped->start(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return !running_backup().empty(); }));
  const std::string id = running_backup();
  std::string landscape;
  ASSERT_TRUE(Environ_Getter::get_landscape_id("ABC", landscape));
  const std::string data_set = kPoolDir + "/" + kPool + "/" + server_.host_uuid() + "/" + landscape + "/T01/" + id;
  ASSERT_TRUE(wait_for([&] { return is_directory(data_set.c_str()); }));
  EXPECT_EQ(stopped->stop(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return !stopped->running(); }));
  EXPECT_EQ(stopped->outcome(), JOB_OUTCOME_CANCELED) << read_file(stopped->log_path());
  EXPECT_TRUE(wait_for([&] { return !is_directory(data_set.c_str()); }, 30)) << data_set;
  EXPECT_TRUE(
      is_directory((kPoolDir + "/" + kPool + "/" + server_.host_uuid() + "/" + landscape + "/SYSTEMDB").c_str()));
  EXPECT_EQ(sets("T01").size(), 0u);
  EXPECT_EQ(sets("SYSTEMDB").size(), 1u);
}

TEST_F(Backup_Job_Sandbox, AFailedDatabaseFailsTheRunLeavesNothingAndTheNextIsStillBackedUp) {
  // SYSTEMDB's nameserver volume stops after 1000 bytes; its topology volume
  // is saved whole first.
  ASSERT_EQ(sim("state ABC --set 'backint.die_after={\"SYSTEMDB/.*_databackup_1_1$\": 1000}'").rc, 0);
  Job_var full = job(JOB_DEFINITION_SUBTYPE_FULL, {"hana/HDB00/SYSTEMDB", "hana/HDB00/T01"});
  const std::string log = run(*full);
  EXPECT_EQ(full->outcome(), JOB_OUTCOME_FAILURE) << log;
  EXPECT_NE(log.find("Failed to execute backup of database SYSTEMDB\n"), std::string::npos) << log;
  EXPECT_NE(log.find("The backup of 1 of 2 databases failed\n"), std::string::npos) << log;
  auto alerts = reports("job.alert");
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0]["code"], 8);
  EXPECT_EQ(alerts[0]["parameters"], (json_value{{"database", "SYSTEMDB"}}));
  EXPECT_EQ(sets("SYSTEMDB").size(), 0u);
  ASSERT_EQ(sets("T01").size(), 1u);
  expect_matches_hana(sets("T01")[0], "T01");
  // Neither the failed backup's objects nor its backint record remain.
  ASSERT_EQ(backups("SYSTEMDB").at(0)["state_name"], "failed");
  std::string landscape;
  ASSERT_TRUE(Environ_Getter::get_landscape_id("ABC", landscape));
  const std::string data_set = kPoolDir + "/" + kPool + "/" + server_.host_uuid() + "/" + landscape + "/SYSTEMDB/" +
                               std::to_string(backups("SYSTEMDB")[0]["backup_id"].get<long>());
  EXPECT_FALSE(is_directory(data_set.c_str())) << data_set;
  json_value jobs;
  ASSERT_EQ(server_.admin(HTTP_GET, "jobs", nullptr, jobs), 200);
  EXPECT_EQ(jobs.value("rows", json_value::array()).size(), 0u) << jobs.dump();
}

TEST_F(Backup_Job_Sandbox, AStopReachesOnlyItsOwnRunAndEndsItCancelledAtItsNextStep) {
  ASSERT_NO_FATAL_FAILURE(slow_t01());
  Job_var first = job(JOB_DEFINITION_SUBTYPE_FULL, {"hana/HDB00/T01"});
  ASSERT_EQ(first->start(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return !running_backup().empty(); }));
  const std::string id = running_backup();
  std::string landscape;
  ASSERT_TRUE(Environ_Getter::get_landscape_id("ABC", landscape));
  const std::string data_set = kPoolDir + "/" + kPool + "/" + server_.host_uuid() + "/" + landscape + "/T01/" + id;
  ASSERT_TRUE(wait_for([&] { return is_directory(data_set.c_str()); }));
  // HANA cannot pause a backup: refused, not accepted and ignored.
  EXPECT_EQ(first->pause(nullptr), -1);
  // A job without a run, and one queued behind the running one, are stopped
  // without touching the running backup; the queued one never runs.
  Job_var idle = job(JOB_DEFINITION_SUBTYPE_CUMULATIVE, {"hana/HDB00/T01"});
  EXPECT_EQ(idle->stop(nullptr), -1);
  Job_var queued = job(JOB_DEFINITION_SUBTYPE_INCREMENTAL, {"hana/HDB00/T01"});
  ASSERT_EQ(queued->start(nullptr), 0);
  EXPECT_EQ(queued->stop(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return !queued->running(); }, 10));
  EXPECT_EQ(queued->outcome(), JOB_OUTCOME_CANCELED) << read_file(queued->log_path());
  EXPECT_EQ(running_backup(), id);
  EXPECT_TRUE(is_directory(data_set.c_str()));
  // The running job's stop cancels its own backup, found by its comment.
  EXPECT_EQ(first->stop(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return !first->running(); }));
  EXPECT_EQ(first->outcome(), JOB_OUTCOME_CANCELED) << read_file(first->log_path());
  EXPECT_EQ(backups("T01").back()["state_name"], "canceled");
  EXPECT_FALSE(is_directory(data_set.c_str())) << data_set;
  EXPECT_EQ(sets("T01").size(), 0u);
  std::vector<std::string> cancels, backups_started;
  for (const auto& s : statements("ABC")) {
    if (s.compare(0, 13, "BACKUP CANCEL") == 0) cancels.push_back(s);
    if (s.compare(0, 11, "BACKUP DATA") == 0) backups_started.push_back(s);
  }
  EXPECT_EQ(cancels, (std::vector<std::string>{"BACKUP CANCEL FOR T01 " + id}));
  ASSERT_EQ(backups_started.size(), 1u);
  const std::string comment = backups("T01").back()["comment"];
  EXPECT_EQ(comment.compare(0, 9, "job_uuid="), 0) << comment;
  EXPECT_NE(backups_started[0].find(" COMMENT '" + comment + "'"), std::string::npos) << backups_started[0];

  // A stop while the first database's set is committed ends the run there.
  ASSERT_EQ(sim("state ABC --delete backint.data_rate").rc, 0);
  ASSERT_EQ(sim("fault ABC hdbsql --match 'as END_TIME from SYS_DATABASES.M_BACKUP_CATALOG' --delay 3 --times 1").rc,
            0);
  Job_var two = job(JOB_DEFINITION_SUBTYPE_FULL, {"hana/HDB00/SYSTEMDB", "hana/HDB00/T01"});
  ASSERT_EQ(two->start(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return two->progress() >= 50; }));
  EXPECT_EQ(two->stop(nullptr), 0);
  ASSERT_TRUE(wait_for([&] { return !two->running(); }));
  EXPECT_EQ(two->outcome(), JOB_OUTCOME_CANCELED) << read_file(two->log_path());
  EXPECT_EQ(sets("SYSTEMDB").size(), 1u);
  EXPECT_EQ(backups("T01").size(), 1u);
}

TEST_F(Backup_Job_Sandbox, ADatabaseNameThatIsNoIdentifierNeverReachesSql) {
  Job_var inc =
      job(JOB_DEFINITION_SUBTYPE_INCREMENTAL, {"hana/HDB00/SYSTEMDB", "hana/HDB00/T01%27%20or%20%271%27%3D%271"});
  const std::string log = run(*inc);
  EXPECT_EQ(inc->outcome(), JOB_OUTCOME_FAILURE) << log;
  EXPECT_NE(
      log.find("Invalid database name 'T01' or '1'='1' in source entry hana/HDB00/T01%27%20or%20%271%27%3D%271\n"),
      std::string::npos)
      << log;
  for (const auto& s : statements("ABC")) {
    EXPECT_EQ(s.find("'1'='1"), std::string::npos) << s;
    EXPECT_NE(s.compare(0, 11, "BACKUP DATA"), 0) << s;
  }
}

TEST_F(Backup_Job_Sandbox, AStatementPastItsTimeLimitHasItsBackupCancelledInHana) {
  // hdbsql is ended after two seconds; T01's backup would take about ten.
  Backup_Executor::statement_time_limit(2);
  struct Reset {
    ~Reset() { Backup_Executor::statement_time_limit(HDBSQL_Error_Msg_Handler::kTimeLimit); }
  } reset;
  ASSERT_EQ(sim("state ABC --set backint.data_rate=20000").rc, 0);
  ASSERT_EQ(sim("state ABC --set 'databases.T01.volumes=[{\"volume\": 0, \"service\": \"topology\"}, "
                "{\"volume\": 40, \"service\": \"indexserver\"}]'")
                .rc,
            0);
  Job_var full = job(JOB_DEFINITION_SUBTYPE_FULL, {"hana/HDB00/T01"});
  const std::string log = run(*full);
  EXPECT_EQ(full->outcome(), JOB_OUTCOME_FAILURE) << log;
  const json_value entry = backups("T01").at(0);
  const std::string id = std::to_string(entry["backup_id"].get<long>());
  EXPECT_NE(log.find("The statement of database T01 ended while HANA's backup " + id + " still runs: cancelling it"),
            std::string::npos)
      << log;
  EXPECT_EQ(entry["state_name"], "canceled");
  std::vector<std::string> cancels;
  for (const auto& s : statements("ABC"))
    if (s.compare(0, 13, "BACKUP CANCEL") == 0) cancels.push_back(s);
  EXPECT_EQ(cancels, (std::vector<std::string>{"BACKUP CANCEL FOR T01 " + id}));
  std::string landscape;
  ASSERT_TRUE(Environ_Getter::get_landscape_id("ABC", landscape));
  EXPECT_FALSE(
      is_directory((kPoolDir + "/" + kPool + "/" + server_.host_uuid() + "/" + landscape + "/T01/" + id).c_str()));
  EXPECT_EQ(sets("T01").size(), 0u);
}
