// The on-demand log backup job against the simulated HANA, the real
// hana-backint and the development backupd: setup and removal, runs over the
// backint jobs HANA's log backups reported, and the bounded waits.

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "agent/base/directory_iterator.h"
#include "agent/job/default_backup_job_source_parser.h"
#include "agent/json/json_file.h"
#include "hana_job_sandbox.h"
#include "job/backup_job_options_parser.h"
#include "job/controllable_job_t.h"
#include "job/log_backup_executor.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

const char* const kResource = "8d1e0c6a-0000-4000-8000-0000000000a1";
const char* const kPool = "8d1e0c6a-0000-4000-8000-0000000000b1";
const std::string kPoolDir = "/var/opt/corvane/test-log-pool";
const std::string kWorkDir = "/var/opt/corvane/strovix3/agent/hana";
const std::string kT01File = kWorkDir + "/log_backup_ABC_HDB00_T01";

using Log_Job = Controllable_Job_T<Log_Backup_Executor>;

/// Reaches the executor's waits.
class Probe : public Log_Backup_Executor {
 public:
  explicit Probe(Job& job) : Log_Backup_Executor(job) {}
  using Log_Backup_Executor::Hana_Outcome;
  using Log_Backup_Executor::init_system_info;
  using Log_Backup_Executor::wait_backint_job;
};

class Log_Job_Sandbox
    : public Hana_Job_Sandbox<Default_Backup_Job_Source_Parser, Backup_Job_Options_Parser, JOB_DEFINITION_BACKUP> {
 protected:
  void SetUp() override {
    set_up("T01", {kPoolDir, kWorkDir});
    if (IsSkipped()) return;
    add_pool(kPool, kPoolDir);
    ASSERT_TRUE(server_.add_resource(kResource, json_value{{"instances", {instance("ABC", server_.host_uuid())}}}));
  }

  Job_var job(char id, const std::vector<std::string>& entries) {
    json_value d = {{"id", std::string("8f0c2b9e-1d2a-4e4b-9a51-00000000000") + id},
                    {"type", JOB_DEFINITION_BACKUP},
                    {"subtype", JOB_DEFINITION_SUBTYPE_ONDEMAND},
                    {"name", "logs"},
                    {"agent", "hana"},
                    {"host_id", server_.host_uuid()},
                    {"target", {{"id", kPool}, {"location", kPoolDir}}},
                    {"source", {{"id", kResource}, {"entries", entries}}},
                    {"options", {{"compression", "zstd"}, {"compression_level", 3}}},
                    {"schedules", {{{"type", 7}}}}};
    return make<Log_Job>(d);
  }

  std::string run(Job& j, const Action_Options& options) { return Hana_Job_Sandbox::run(j, &options); }
  std::string ini(const std::string& key) { return sim("ini ABC global.ini backup " + key).out; }
  /// HANA backs up T01's logs and catalog; the backint job UUIDs it reported,
  /// in the order of HANA's backups.
  std::vector<std::string> log_backup(const std::string& args = "", int rc = 0) {
    std::set<std::string> known;
    for (const auto& j : server_.jobs()) known.insert(j["uuid"].get<std::string>());
    Sim_Result r = sim("log-backup ABC --database T01 " + args);
    EXPECT_EQ(r.rc, rc) << r.out;
    std::vector<std::string> uuids;
    for (const auto& j : server_.jobs())
      if (!known.count(j["uuid"].get<std::string>())) uuids.push_back(j["uuid"].get<std::string>());
    return uuids;
  }
  /// A process that looks like hana-backint of backup `id`, once it does.
  static pid_t fake_backint(unsigned id) {
    const std::string script = "exec -a 'hana-backint -f backup -s " + std::to_string(id) + "' sleep 60";
    pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/bash", "bash", "-c", script.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    EXPECT_TRUE(wait_for([&cmdline] { return read_file(cmdline).rfind("hana-backint", 0) == 0; }));
    return pid;
  }
  /// Log sets follow a full data backup in HANA's catalog.
  static void full_data_backup() {
    ASSERT_EQ(std::system(("PYTHONPATH=" + std::string(std::getenv("HANA_SOURCE_DIR")) +
                           "/tools python3 -c \"import hana_sim; hana_sim.add_backup('ABC', 'T01', files=[{}])\"")
                              .c_str()),
              0);
  }
  /// The pool paths of the objects of backint job `uuid`.
  std::vector<std::string> objects_of(const std::string& uuid) {
    std::vector<std::string> paths;
    for (const auto& f : server_.files())
      if (f["job_uuid"] == uuid) paths.push_back(kPoolDir + "/" + f["storage_path"].get<std::string>());
    return paths;
  }
};

}  // namespace

TEST_F(Log_Job_Sandbox, SetupAndRemovalOfTwoJobsKeepHanaSwitchedOnUntilTheLastIsGone) {
  Job_var tenant = job('1', {"hana/HDB00/T01"});
  Job_var system = job('2', {"hana/HDB00/SYSTEMDB"});
  // A renamed leftover of this definition must not pass for the live file,
  // which belongs to another job: that one is set aside and replaced.
  std::vector<std::string> made;
  ASSERT_EQ(make_directories(kWorkDir, 0750, made), 0);
  ASSERT_TRUE(dump_json(kT01File + ".1700000000", json_value{{"job_definition_uuid", tenant->definition().id()}}));
  ASSERT_TRUE(dump_json(kT01File, json_value{{"job_definition_uuid", "another"}}));
  ASSERT_EQ(tenant->setup_ondemand(), 0);
  ASSERT_EQ(system->setup_ondemand(), 0);

  json_value conf;
  ASSERT_TRUE(load_json(kT01File, conf));
  EXPECT_EQ(conf["job_definition_uuid"], tenant->definition().id());
  EXPECT_EQ(conf["type"], "log");
  EXPECT_EQ(conf["instance_number"], 0);
  EXPECT_EQ(conf["pool_uuid"], kPool);
  EXPECT_EQ(conf["resource_uuid"], kResource);
  EXPECT_EQ(conf["compression"], "zstd");
  EXPECT_EQ(conf["compression_level"], 3);
  EXPECT_TRUE(conf["io_ctl"].contains("max_seconds_retry"));
  struct stat file = {}, dir = {};
  ASSERT_EQ(::stat(kT01File.c_str(), &file), 0);
  ASSERT_EQ(::stat(kWorkDir.c_str(), &dir), 0);
  // Readable by <sid>adm through the group only; the directory passable.
  EXPECT_EQ(file.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.st_mode & 0111, 0111u);
  const struct group* sapsys = ::getgrnam("sapsys");
  ASSERT_NE(sapsys, nullptr);
  EXPECT_EQ(file.st_gid, sapsys->gr_gid);
  int renamed = 0;
  iterate_directory(kWorkDir, [&renamed](const std::string& name, const struct dirent&) {
    renamed += name.rfind("log_backup_ABC_HDB00_T01.", 0) == 0;
    return true;
  });
  EXPECT_EQ(renamed, 2);
  for (const char* key : {"log_backup_using_backint", "catalog_backup_using_backint"}) EXPECT_EQ(ini(key), "true\n");
  EXPECT_EQ(sim("ini ABC global.ini persistence log_mode").out, "normal\n");

  // A second setup leaves the file alone.
  const std::string before = read_file(kT01File);
  ASSERT_EQ(::chmod(kT01File.c_str(), 0600), 0);
  ASSERT_EQ(tenant->setup_ondemand(), 0);
  ASSERT_EQ(::stat(kT01File.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  EXPECT_EQ(read_file(kT01File), before);

  tenant->remove(0, nullptr);
  EXPECT_FALSE(is_regular_file(kT01File.c_str()));
  EXPECT_EQ(ini("log_backup_using_backint"), "true\n");
  system->remove(0, nullptr);
  EXPECT_FALSE(is_regular_file((kWorkDir + "/log_backup_ABC_HDB00_SYSTEMDB").c_str()));
  for (const char* key : {"log_backup_using_backint", "catalog_backup_using_backint"}) EXPECT_EQ(ini(key), "false\n");
  EXPECT_EQ(sim("ini ABC global.ini persistence enable_auto_log_backup").out, "false\n");
  EXPECT_EQ(sim("ini ABC global.ini persistence log_mode").out, "normal\n");
}

TEST_F(Log_Job_Sandbox, SetupOfTwoDatabasesIsRefusedAndWritesNothing) {
  Job_var both = job('3', {"hana/HDB00/T01", "hana/HDB00/SYSTEMDB"});
  EXPECT_EQ(both->setup_ondemand(), -1);
  EXPECT_NE(log_.text().find("Failed to backup HANA log, log backup with multiple databases is not supported\n"),
            std::string::npos);
  int files = 0;
  iterate_directory(kWorkDir, [&files](const std::string& name, const struct dirent&) {
    files += name.rfind("log_backup", 0) == 0;
    return true;
  });
  EXPECT_EQ(files, 0);
  EXPECT_NE(ini("log_backup_using_backint"), "true\n");
}

TEST_F(Log_Job_Sandbox, RunsRecordEveryReportedBackupOfTheirOptions) {
  full_data_backup();
  Job_var logs = job('4', {"hana/HDB00/T01"});
  ASSERT_EQ(logs->setup_ondemand(), 0);
  std::vector<std::string> first = log_backup(), second = log_backup();
  ASSERT_GE(first.size(), 2u);
  ASSERT_GE(second.size(), 1u);

  std::string log = run(*logs, Action_Options{{"uuid", "none"}});
  EXPECT_EQ(logs->outcome(), JOB_OUTCOME_FAILURE);
  EXPECT_NE(log.find("Failed to get backint job uuid\n"), std::string::npos) << log;

  // An empty single UUID gives way to the list.
  clear_reports();
  log = run(*logs, Action_Options{{"backint_job_uuid", ""}, {"backint_job_uuids", json_value(first).dump()}});
  ASSERT_EQ(logs->outcome(), JOB_OUTCOME_SUCCESS) << log;
  std::vector<int> percent;
  for (const auto& r : reports("job.event", "progress")) percent.push_back(r.value("percent", -1));
  if (first.size() == 2) {
    EXPECT_EQ(percent, (std::vector<int>{1, 50, 100, 100}));
  }
  EXPECT_EQ(percent.front(), 1);
  EXPECT_EQ(percent.back(), 100);
  auto committed = sets();
  ASSERT_EQ(committed.size(), first.size());
  EXPECT_EQ(committed.back()["type"], "catalog");
  EXPECT_EQ(committed.front()["type"], "log");
  for (const auto& s : committed) {
    EXPECT_EQ(s["database"], "T01");
    EXPECT_EQ(s["definition_id"], logs->definition().id());
  }
  // Committed sets leave no backint job behind.
  for (const auto& j : server_.jobs()) EXPECT_EQ(std::count(first.begin(), first.end(), j["uuid"]), 0) << j.dump();

  // A stopped tenant is started before its backup is recorded; unknown
  // UUIDs around the one good one fail the run, which still records it.
  ASSERT_EQ(sim("tenant ABC T01 --active no").rc, 0);
  clear_reports();
  log = run(*logs, Action_Options{{"backint_job_uuids", json_value({"0badc0de", second[0], "0badc0df"}).dump()}});
  ASSERT_EQ(logs->outcome(), JOB_OUTCOME_FAILURE) << log;
  EXPECT_NE(log.find("Failed to get backint job(0badc0de) info\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Failed to get backint job(0badc0df) info\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Recorded 1 of 3 HANA log backups\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Try to start tenant database T01 for log backup\n"), std::string::npos) << log;
  EXPECT_NE(sim("state ABC --get databases.T01.active").out.find("true"), std::string::npos);
  EXPECT_EQ(sets().size(), first.size() + 1);
  auto alerts = reports("job.alert");
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0]["code"], 9);
  EXPECT_EQ(alerts[1]["code"], 9);
}

TEST_F(Log_Job_Sandbox, WaitOnAStoppedInstanceLooksOnlyForThisBackupsBackintAndGivesUp) {
  Job_var logs = job('5', {"hana/HDB00/T01"});
  Probe probe(*logs);
  ASSERT_TRUE(probe.init_system_info());
  ASSERT_EQ(sim("stop ABC").rc, 0);
  // A hana-backint of backup 42424 is none of 4242's; with HANA down its
  // catalog cannot confirm the backup either way.
  pid_t other = fake_backint(42424);
  std::string state;
  EXPECT_EQ(probe.wait_backint_job(4242, state), Probe::Hana_Outcome::UNCONFIRMED);
  EXPECT_NE(log_.text().find("HANA is not running, its catalog cannot confirm database_backup_id = 4242\n"),
            std::string::npos);
  EXPECT_EQ(log_.text().find("Hana-backint still runs"), std::string::npos);
  pid_t same = fake_backint(4242);
  EXPECT_EQ(probe.wait_backint_job(4242, state), Probe::Hana_Outcome::UNCONFIRMED);
  EXPECT_NE(log_.text().find("Hana-backint still runs while the instance is down, database_backup_id = 4242\n"),
            std::string::npos);
  for (pid_t pid : {other, same}) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

TEST_F(Log_Job_Sandbox, OnlyBackupsThatHanaReportsSuccessfulBecomeSets) {
  full_data_backup();
  Job_var logs = job('6', {"hana/HDB00/T01"});
  ASSERT_EQ(logs->setup_ondemand(), 0);
  // HANA fails a log backup and cancels a catalog backup, both saved by
  // hana-backint, and never ends a third log backup.
  ASSERT_EQ(sim("fault ABC log-backup --match log_backup_3_ --state failed --times 1 "
                "--message '[110203] Not all data could be written, volume 3'")
                .rc,
            0);
  const std::vector<std::string> failed = log_backup("", 1);
  ASSERT_EQ(sim("fault ABC log-backup --match log_backup_0_0_0_0 --state canceled --times 1 "
                "--message 'Backup was canceled by user'")
                .rc,
            0);
  const std::vector<std::string> good_and_canceled = log_backup("", 1);
  ASSERT_EQ(sim("fault ABC log-backup --match log_backup_3_ --state running --times 1").rc, 0);
  const std::vector<std::string> open = log_backup("--no-catalog");
  ASSERT_EQ(failed.size(), 1u);
  ASSERT_EQ(good_and_canceled.size(), 2u);
  ASSERT_EQ(open.size(), 1u);
  std::vector<std::string> discarded = objects_of(failed[0]), kept = objects_of(open[0]);
  for (const std::string& path : objects_of(good_and_canceled[1])) discarded.push_back(path);
  ASSERT_EQ(discarded.size(), 2u);
  for (const std::string& path : discarded) ASSERT_TRUE(is_regular_file(path.c_str())) << path;
  std::string open_id;
  for (const auto& j : server_.jobs())
    if (j["uuid"] == open[0]) open_id = std::to_string(j["database_backup_id"].get<std::uint64_t>());

  // The run is stopped while it waits for the backup HANA never ends.
  const Action_Options options{
      {"backint_job_uuids", json_value({failed[0], good_and_canceled[0], good_and_canceled[1], open[0]}).dump()}};
  ASSERT_EQ(logs->start(&options), 0);
  ASSERT_TRUE(wait_for([&open_id] {
    return sim("calls ABC --program hdbsql --field statement").out.find("where BACKUP_ID=" + open_id + "\n") !=
           std::string::npos;
  }));
  logs->stop(nullptr);
  ASSERT_TRUE(wait_for([&logs] { return !logs->running(); }));
  const std::string log = read_file(logs->log_path());
  EXPECT_EQ(logs->outcome(), JOB_OUTCOME_CANCELED) << log;

  auto committed = sets();
  ASSERT_EQ(committed.size(), 1u) << log;
  EXPECT_EQ(committed[0]["type"], "log");
  for (const char* line : {" of ABC:T01 as failed: [110203] Not all data could be written, volume 3\n",
                           " of ABC:T01 as canceled: Backup was canceled by user\n"})
    EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_NE(log.find("HANA has not confirmed backup " + open_id + " of ABC:T01 (state running), backint job " +
                     open[0] + " is kept unrecorded\n"),
            std::string::npos)
      << log;
  auto alerts = reports("job.alert");
  ASSERT_EQ(alerts.size(), 3u);
  for (const auto& a : alerts) EXPECT_EQ(a["code"], 11) << a.dump();
  // HANA never reads what it failed: gone from the pool and the backint
  // catalog. What it may still confirm stays as hana-backint left it.
  for (const std::string& path : discarded) EXPECT_FALSE(is_regular_file(path.c_str())) << path;
  for (const std::string& path : kept) EXPECT_TRUE(is_regular_file(path.c_str())) << path;
  std::vector<std::string> left;
  for (const auto& j : server_.jobs()) left.push_back(j["uuid"].get<std::string>());
  EXPECT_EQ(left, std::vector<std::string>{open[0]});
}

TEST_F(Log_Job_Sandbox, SetupFailsWithAnAlertWhileHanaKeepsItsLogSettings) {
  Job_var logs = job('7', {"hana/HDB00/T01"});
  ASSERT_EQ(sim("fault ABC hdbsql --match 'ALTER SYSTEM ALTER CONFIGURATION.*log_backup_using_backint' --times 1 "
                "--stderr '* 258: insufficient privilege: Not authorized SQLSTATE: HY000'")
                .rc,
            0);
  EXPECT_EQ(logs->setup_ondemand(), -1);
  for (const char* line : {"Failed to enable log backup using backint\n",
                           "Failed to backup HANA log, failed to switch HANA ABC HDB00 log backups to backint\n"})
    EXPECT_NE(log_.text().find(line), std::string::npos) << log_.text();
  EXPECT_NE(ini("log_backup_using_backint"), "true\n");
  // The file stays for what HANA did switch; setting up again switches the rest.
  EXPECT_TRUE(is_regular_file(kT01File.c_str()));
  EXPECT_EQ(logs->setup_ondemand(), 0);
  EXPECT_EQ(ini("log_backup_using_backint"), "true\n");

  // A system-replication secondary is no node to change HANA's settings on.
  for (const char* key : {"mode sync", "actual_mode sync", "operation_mode logreplay"})
    ASSERT_EQ(sim(std::string("ini ABC global.ini system_replication ") + key).rc, 0);
  log_.clear();
  EXPECT_EQ(logs->setup_ondemand(), -1);
  EXPECT_NE(log_.text().find("Failed to change HANA's log backup settings, this node is not active\n"),
            std::string::npos)
      << log_.text();
  logs->remove(0, nullptr);
  EXPECT_NE(log_.text().find("Failed to remove backup HANA log, failed to switch off HANA ABC HDB00 log backups to "
                             "backint\n"),
            std::string::npos)
      << log_.text();
  EXPECT_EQ(ini("log_backup_using_backint"), "true\n");
  auto alerts = reports("job.alert");
  ASSERT_EQ(alerts.size(), 3u);
  for (const auto& a : alerts) EXPECT_EQ(a["code"], 14) << a.dump();
}
