// Restore_Source_Collector against the development backupd's views, fed
// with sets committed as jobs commit them: which full backup, catalog
// backup and sizes it chooses for a time.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "agent/backupd/catalog_operator.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/config/agent_config.h"
#include "agent/config/host_manager.h"
#include "agent/config/websocket_options.h"
#include "backupd_fixture.h"
#include "job/restore_source_collector.h"
#include "log_capture.h"

using namespace sap_hana;

namespace {

const char* const kResource = "5e7a0c6a-0000-4000-8000-0000000000a1";
const char* const kPool = "5e7a0c6a-0000-4000-8000-0000000000b1";
const char* const kLogPool = "5e7a0c6a-0000-4000-8000-0000000000b2";

// Seconds of 2026-01-02 at the given UTC time of day ("10:05:00").
std::int64_t at(const char* hms) {
  struct tm t = {};
  ::strptime((std::string("2026-01-02 ") + hms).c_str(), "%Y-%m-%d %H:%M:%S", &t);
  return ::timegm(&t);
}

class Restore_Source_Collector_Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
    ::setenv("STROVIX3_BACKOFF_SCALE", "0.001", 1);
    Backupd_Server::Options options;
    options.agent_conf_dir = Agent_Config::directory();
    ASSERT_TRUE(server_.start(options));
    ASSERT_TRUE(Host_Manager::instance()->load(options.agent_conf_dir));
    ASSERT_TRUE(WebSocket_Options::instance()->load(options.agent_conf_dir));
    for (const char* pool : {kPool, kLogPool})
      ASSERT_TRUE(server_.add_pool(json_value{{"uuid", pool}, {"name", pool}, {"url", std::string("/pools/") + pool}}));
    json_value instance = {
        {"name", "PRD_HDB00"},
        {"uuid", "i-1"},
        {"host_uuid", server_.host_uuid()},
        {"extended_attrs",
         {{"sid", "PRD"}, {"instance_name", "HDB00"}, {"instance_number", 0}, {"multi_container", true}}}};
    ASSERT_TRUE(server_.add_resource(kResource, json_value{{"instances", {instance}}}));

    // One lifeline of T01: full, log, catalog, incremental, log, catalog.
    commit("f1", "L1", "full", 100, "10:00:00", "10:01:00", 1000,
           {"COMPLETE_DATA_BACKUP_databackup_0_1", "COMPLETE_DATA_BACKUP_databackup_2_1"});
    commit("l1", "L1", "log", 101, "10:01:00", "10:05:00", 10, {"log_backup_2_0_1_2.101"});
    commit("c1", "L1", "catalog", 102, "10:05:01", "10:05:01", 1, {"log_backup_0_0_0_0.102"});
    commit("i1", "L1", "incremental", 103, "10:06:00", "10:07:00", 100, {"databackup_incremental_100_103_0_1"});
    commit("l2", "L1", "log", 104, "10:08:00", "10:10:00", 20, {"log_backup_2_0_2_3.104"});
    commit("c2", "L1", "catalog", 105, "10:10:01", "10:10:01", 2, {"log_backup_0_0_0_0.105"});
    // Another lifeline of the same database, older.
    commit("f9", "L2", "full", 90, "09:00:00", "09:01:00", 900, {"COMPLETE_DATA_BACKUP_databackup_0_1"});
    commit("l9", "L2", "log", 92, "09:01:40", "09:01:50", 5, {"log_backup_2_0_0_1.92"});
    commit("c9", "L2", "catalog", 91, "09:02:00", "09:02:00", 9, {"log_backup_0_0_0_0.91"});
    // A lifeline whose catalog backup never arrived.
    commit("f8", "L3", "full", 80, "08:00:00", "08:01:00", 800, {"COMPLETE_DATA_BACKUP_databackup_0_1"});
    server_.clear_requests();
  }
  void TearDown() override {
    if (IsSkipped()) return;
    EXPECT_TRUE(server_.stop());
  }

  void commit(const char* uuid, const char* lifeline, const char* type, std::uint64_t backup_id, const char* start,
              const char* end, std::uint64_t size, std::initializer_list<const char*> files) {
    HANA_Backup_Set set;
    set.uuid = uuid;
    set.resource_uuid = kResource;
    set.database = set.sub_resource = "T01";
    set.sid = "PRD";
    set.lifeline = lifeline;
    set.type = type;
    set.database_backup_id = backup_id;
    set.start_time = at(start);
    set.end_time = at(end);
    set.source_size = size;
    set.storage_size = size / 2;
    const bool data = std::string(type) != "log" && std::string(type) != "catalog";
    set.add_storage(Backup_Set_Storage(data ? kPool : kLogPool, set.storage_size));
    for (const char* name : files)
      set.add_file({std::string("ebid-") + uuid, std::string("/pipes/") + name, name, size, "pipe",
                    std::string("T01/") + uuid + "/" + name});
    ASSERT_TRUE(Catalog_Operator(server_.session(), 0).commit(set, false)) << uuid;
  }

  static Restore_Job_Source::Entry_Item entry(const std::string& catalog_uuid, const std::string& timepoint = "",
                                              const std::string& lifeline = "L1") {
    Restore_Job_Source::Entry_Item e;
    e.catalog_uuid = catalog_uuid;
    e.origin = {"T01", "PRD"};
    e.target.database = "T02";
    e.target.timepoint = timepoint.empty() ? "" : "2026-01-02 " + timepoint;
    e.target.lifeline = lifeline;
    return e;
  }

  static std::string clock(const std::string& time) { return time.size() > 11 ? time.substr(11) : time; }

  // "<full set> <backup id>/<volume> <start>..<end> -> <target> [full] | <catalog id> <file> | <sizes>"
  static std::string chosen(const Restore_Source_Collector& c) {
    const auto& s = c.get_backup_set();
    const auto& h = c.get_hana_catalog();
    return s.catalog_uuid + " " + std::to_string(s.database_backup_id) + "/" + std::to_string(s.volume_id) + " " +
           clock(s.backup_start_time) + ".." + clock(s.backup_end_time) + " -> " + clock(s.target_time) +
           (s.is_full_backup ? " full" : "") + " " + s.lifeline + " | " + std::to_string(h.database_backup_id) + " " +
           h.file_detail.storage_path + " " + h.location + " | " + std::to_string(c.get_total_source_size()) + "/" +
           std::to_string(c.get_total_size());
  }

  std::string collect(const Restore_Job_Source::Entry_Item& e, bool* ok, bool ignore_delta = false,
                      const std::string& log_pool = "") {
    Restore_Source_Collector c(kResource, e, 0, ignore_delta, "", log_pool);
    *ok = c.collect();
    return chosen(c);
  }

  // The parameters of every view request since the last clear.
  std::string views() {
    std::string out;
    const std::string prefix = "/d2/r/v2/catalogs/hana/views/";
    for (const json_value& r : server_.requests()) {
      const std::string path = r["path"].get<std::string>();
      if (path.compare(0, prefix.size(), prefix) == 0) out += path.substr(prefix.size()) + r["body"].dump() + "\n";
    }
    server_.clear_requests();
    return out;
  }

  Log_Capture quiet_;  // the commits' and lookups' own log lines
  Backupd_Server server_;
};

const std::string kPoolUrl = std::string("/pools/") + kLogPool;

}  // namespace

TEST_F(Restore_Source_Collector_Sandbox, PointInTimeChoosesFullBackupAndCoveringCatalog) {
  bool ok = false;
  // Between the two log backups: the catalog written after the second.
  EXPECT_EQ(
      collect(entry("", "10:08:00"), &ok),
      "f1 100/2 10:00:00..10:01:00 -> 10:08:00 L1 | 105 T01/c2/log_backup_0_0_0_0.105 " + kPoolUrl + " | 1133/566");
  EXPECT_TRUE(ok);
  EXPECT_EQ(
      views(),
      R"(rselect{"type":"fullbackup","resource_uuid":")" + std::string(kResource) +
          R"(","lifeline":"L1","database":"T01","time":"2026-01-02 10:08:00"})"
          "\n"
          R"(rselect{"type":"catalog","resource_uuid":")" +
          kResource +
          R"(","lifeline":"L1","database":"T01","database_backup_id":100,"volume_id":2,"time":"2026-01-02 10:08:00"})"
          "\n"
          R"(sets_size{"lifeline":"L1","ignore_delta":false,"start_backup_id":100,"end_backup_id":105})"
          "\n");
  // Within the first log backup, with the delta left out of the sizes and
  // the job's log pool carried to the catalog query.
  EXPECT_EQ(
      collect(entry("", "10:03:00"), &ok, true, kLogPool),
      "f1 100/2 10:00:00..10:01:00 -> 10:03:00 L1 | 102 T01/c1/log_backup_0_0_0_0.102 " + kPoolUrl + " | 1011/505");
  EXPECT_TRUE(ok);
  EXPECT_NE(std::string::npos, views().find(R"("time":"2026-01-02 10:03:00","pool_uuid":")" + std::string(kLogPool)));
  // The full backup's own start is a full restore.
  EXPECT_EQ(collect(entry("", "10:00:00"), &ok),
            "f1 100/2 10:00:00..10:01:00 -> 10:00:00 full L1 | 102 T01/c1/log_backup_0_0_0_0.102 " + kPoolUrl +
                " | 1000/500");
  EXPECT_TRUE(ok);
  // Another lifeline has its own full backup and catalog.
  EXPECT_EQ(collect(entry("", "09:01:30", "L2"), &ok),
            "f9 90/0 09:00:00..09:01:00 -> 09:01:30 L2 | 91 T01/c9/log_backup_0_0_0_0.91 " + kPoolUrl + " | 909/454");
  EXPECT_TRUE(ok);
}

TEST_F(Restore_Source_Collector_Sandbox, NothingToRestoreFails) {
  Log_Capture log;
  bool ok = true;
  collect(entry("", "09:30:00"), &ok);  // before the lifeline's first full backup
  EXPECT_FALSE(ok);
  EXPECT_NE(std::string::npos, log.text().find("The rows are empty\nFailed to get full backup catalog\n"));
  log.clear();
  collect(entry("", "10:30:00"), &ok);  // later than any log backup
  EXPECT_FALSE(ok);
  EXPECT_NE(std::string::npos, log.text().find("The backups of 'T01@PRD' reach 2026-01-02 10:08:00 UTC at the latest, "
                                               "not the requested 2026-01-02 10:30:00 UTC"))
      << log.text();
  log.clear();
  collect(entry("no-such-set"), &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(std::string::npos, log.text().find("Failed to get backup set info from backupd, uuid is 'no-such-set'\n"
                                               "Failed to get and parse catalog by uuid\n"));
}

TEST_F(Restore_Source_Collector_Sandbox, ChosenSetsByUuid) {
  bool ok = false;
  // A full set restores itself without asking for a full backup.
  EXPECT_EQ(collect(entry("f1"), &ok),
            "f1 100/2 10:00:00..10:01:00 -> 10:01:00 full L1 | 102 T01/c1/log_backup_0_0_0_0.102 " + kPoolUrl +
                " | 1000/500");
  EXPECT_TRUE(ok);
  EXPECT_EQ(std::string::npos, views().find("fullbackup"));
  // An incremental set restores to its end, from the full backup of its
  // lifeline (asked for with an empty lifeline).
  EXPECT_EQ(
      collect(entry("i1", "", ""), &ok),
      "f1 100/2 10:00:00..10:01:00 -> 10:07:00 L1 | 105 T01/c2/log_backup_0_0_0_0.105 " + kPoolUrl + " | 1133/566");
  EXPECT_TRUE(ok);
  EXPECT_NE(std::string::npos, views().find(R"("lifeline":"","database":"T01","time":"2026-01-02 10:07:00")"));
  // A differential job's set is committed as "cumulative": a delta like an incremental one.
  commit("d1", "L1", "cumulative", 106, "10:08:00", "10:09:00", 50, {"databackup_differential_100_106_0_1"});
  EXPECT_EQ(
      collect(entry("d1", "", ""), &ok),
      "f1 100/2 10:00:00..10:01:00 -> 10:09:00 L1 | 105 T01/c2/log_backup_0_0_0_0.105 " + kPoolUrl + " | 1133/566");
  EXPECT_TRUE(ok);
  // A full set whose catalog backup is missing is restored without one.
  EXPECT_EQ(collect(entry("f8"), &ok), "f8 80/0 08:00:00..08:01:00 -> 08:01:00 full L3 | 0   | 800/400");
  EXPECT_TRUE(ok);
}
