// Catalog_Operator against the development backupd: a committed set is what
// the views and the set query give back, and failures retry or end as the
// retry decorator says.
#include <gtest/gtest.h>

#include "agent/backupd/catalog_operator.h"
#include "agent/backupd/read_first_catalog.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/base/time_parse.h"
#include "backupd_fixture.h"
#include "log_capture.h"

namespace {

using sap_hana::HANA_Backup_Set;

class Catalog_Operator_Test : public Backupd_Test {
 protected:
  HANA_Backup_Set make_set(const std::string& uuid, std::uint64_t backup_id, const std::string& type) {
    HANA_Backup_Set set;
    set.uuid = uuid;
    set.resource_uuid = "res-1";
    set.database = set.sub_resource = "T01";
    set.type = type;
    set.lifeline = "life-1";
    set.incarnation = uuid;
    set.database_backup_id = backup_id;
    set.start_time = 1767323045;
    set.end_time = 1767323645;
    set.add_file({"ebid-" + uuid, "/pipe/databackup_0_1", "databackup_0_1", 10, "pipe", "h/L/T01/x/databackup_0_1"});
    set.add_piece("h/L/T01/x/databackup_0_1", 10);
    set.add_storage({"pool-1", 4});
    return set;
  }

  std::size_t requests_to(const std::string& prefix) {
    std::size_t n = 0;
    for (const json_value& r : server_.requests())
      if (r.value("path", "").rfind(prefix, 0) == 0) ++n;
    return n;
  }
};

TEST_F(Catalog_Operator_Test, CommittedSetIsWhatTheViewAndTheSetQueryGiveBack) {
  Catalog_Operator op(server_.session(), 0);
  ASSERT_TRUE(op.commit(make_set("full-1", 5, "full"), true));
  ASSERT_TRUE(op.commit(make_set("incr-1", 6, "incremental"), true));
  ASSERT_TRUE(op.commit(make_set("incr-1", 6, "incremental"), true));  // a retried commit

  json_value value;
  ASSERT_TRUE(op.get_view("hana", "last_backup_set",
                          json_value{{"database", "T01"}, {"type", "full"}, {"resource_uuid", "res-1"}}, value));
  HANA_Backup_Set read;
  std::string error;
  ASSERT_TRUE(read.from_json(value, error)) << error;
  EXPECT_EQ(make_set("full-1", 5, "full").to_json(), read.to_json());

  // The query of the backup executor: the newest set of the database.
  json_value latest;
  ASSERT_TRUE(read_first_catalog(server_.session(),
                                 "/d2/r/v2/sets/restore/sets?resource_uuid=res-1&database=T01&order=desc&limit=1"
                                 "&sort=database_backup_id&module=hana",
                                 latest, 10, 10));
  EXPECT_EQ("incr-1", latest["uuid"]);
  EXPECT_EQ("pool-1", latest["pool_uuid"]);
  EXPECT_FALSE(latest["storages"][0]["state"].empty());
  time_t start = 0;
  ASSERT_TRUE(iso8601_to_posix_time(latest["start_time"].get<std::string>().c_str(), start));
  EXPECT_EQ(1767323045, start);
}

TEST_F(Catalog_Operator_Test, ServerErrorsAreRetriedAndRefusalsAreFinal) {
  Log_Capture log;
  Catalog_Operator op(server_.session(), 0);
  ASSERT_TRUE(server_.fault(2, 503, "/d2/r/v2/sets"));
  EXPECT_TRUE(op.commit(make_set("s1", 5, "full"), false));
  EXPECT_EQ(3u, requests_to("/d2/r/v2/sets"));
  EXPECT_NE(std::string::npos, log.text().find("Retry(2) "));

  server_.clear_requests();
  log.clear();
  HANA_Backup_Set other = make_set("s1", 5, "full");
  other.lifeline = "life-2";
  EXPECT_FALSE(op.commit(other, false));
  EXPECT_EQ(1u, requests_to("/d2/r/v2/sets"));
  EXPECT_EQ("Failed to commit backup set s1, status 409, set s1 is already committed\n", log.text());

  log.clear();
  json_value value = "unchanged";
  EXPECT_FALSE(
      op.get_view("hana", "last_backup_set", json_value{{"database", "SYSTEMDB"}, {"resource_uuid", "r"}}, value));
  EXPECT_EQ("unchanged", value);
  EXPECT_EQ("Failed to get view 'last_backup_set' of catalog 'hana', status 404\n", log.text());

  server_.clear_requests();
  log.clear();
  EXPECT_FALSE(op.commit(HANA_Backup_Set(), true));
  EXPECT_EQ(0u, server_.requests().size());
  EXPECT_EQ("Failed to commit backup set: it has no uuid\n", log.text());
}

TEST_F(Catalog_Operator_Test, RetryBudgetIsATime) {
  Log_Capture log;
  unsigned slept = 0;
  Catalog_Operator op(
      server_.session(), 20, [&slept](unsigned s) { slept += s; }, [&slept] { return static_cast<double>(slept); });
  ASSERT_TRUE(server_.fault(100, 503, "/d2/r/v2/catalogs/"));
  json_value value;
  EXPECT_FALSE(op.get_view("hana", "last_backup_set", json_value::object(), value));
  // More than the default three retries, each wait inside the budget.
  EXPECT_GT(requests_to("/d2/r/v2/catalogs/"), 4u);
  EXPECT_LE(slept, 20u);
}

}  // namespace
