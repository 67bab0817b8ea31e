// The RECOVER statements of a restore: both forms into the same and into
// another system, old versions, ignore-delta, a full set without a HANA
// catalog, and the values that never reach the statement.

#include <gtest/gtest.h>

#include <string>

#include "job/recover_statement.h"
#include "log_capture.h"

using namespace sap_hana;

namespace {

using Set = Restore_Source_Collector::Backup_Set_Info;

Set set(const std::string& origin_sid, const std::string& origin_db, const std::string& target_db, bool full) {
  Set s;
  s.origin_sid = origin_sid;
  s.origin_dbname = origin_db;
  s.target_dbname = target_db;
  s.catalog_uuid = "5e7a0c6a-0000-4000-8000-0000000000f1";
  s.database_backup_id = 1234;
  s.target_time = "2024-01-31 10:00:00";
  s.is_full_backup = full;
  return s;
}

std::string make(const Set& s, bool catalog, bool tenant, bool mdc = true, bool ancient = false,
                 bool ignore_delta = false) {
  std::string statement = "untouched";
  if (!Recover_Statement("HDB", mdc, ancient, ignore_delta).generate(s, catalog, tenant, statement))
    return "refused:" + statement;
  return statement;
}

}  // namespace

TEST(Recover_Statement, FormsIntoTheSameAndIntoAnotherSystem) {
  EXPECT_EQ(make(set("HDB", "T1", "T1", true), true, true),
            "RECOVER DATA FOR T1 USING BACKUP_ID 1234 USING CATALOG BACKINT CLEAR LOG;");
  EXPECT_EQ(make(set("PRD", "T1", "T2", false), true, true),
            "RECOVER DATABASE FOR T2 UNTIL TIMESTAMP '2024-01-31 10:00:00' CLEAR LOG USING SOURCE 'T1@PRD'  USING "
            "CATALOG BACKINT USING BACKUP_ID 1234 CHECK ACCESS ALL");
  // Same SID, other database: still a source; a single-container target
  // names the source without its SID.
  EXPECT_EQ(make(set("HDB", "T1", "T2", true), true, true),
            "RECOVER DATA FOR T2 USING SOURCE 'T1@HDB' USING BACKUP_ID 1234 USING CATALOG BACKINT CLEAR LOG;");
  EXPECT_EQ(make(set("PRD", "PRD", "HDB", false), true, false, false),
            "RECOVER DATABASE UNTIL TIMESTAMP '2024-01-31 10:00:00' CLEAR LOG USING SOURCE 'PRD'  USING CATALOG "
            "BACKINT USING BACKUP_ID 1234 CHECK ACCESS ALL");
  // The system database: no FOR part.
  EXPECT_EQ(make(set("HDB", "SYSTEMDB", "SYSTEMDB", false), true, false),
            "RECOVER DATABASE UNTIL TIMESTAMP '2024-01-31 10:00:00' CLEAR LOG  USING CATALOG BACKINT USING "
            "BACKUP_ID 1234 CHECK ACCESS ALL");
}

TEST(Recover_Statement, OldVersionsIgnoreDeltaAndFullSetsWithoutCatalog) {
  EXPECT_EQ(make(set("HDB", "T1", "T1", true), true, true, true, true),
            "RECOVER DATA FOR T1 USING BACKUP_ID 1234 CLEAR LOG;");
  EXPECT_EQ(make(set("HDB", "T1", "T1", false), true, true, true, true, true),
            "RECOVER DATABASE FOR T1 UNTIL TIMESTAMP '2024-01-31 10:00:00' CLEAR LOG  USING BACKUP_ID 1234 CHECK "
            "ACCESS ALL IGNORE DELTA DATA BACKUPS");
  // ignore-delta changes only the point-in-time form.
  EXPECT_EQ(make(set("HDB", "T1", "T1", true), true, true, true, false, true),
            "RECOVER DATA FOR T1 USING BACKUP_ID 1234 USING CATALOG BACKINT CLEAR LOG;");
  EXPECT_EQ(make(set("HDB", "T1", "T1", true), false, true),
            "RECOVER DATA FOR T1 USING BACKINT ('5e7a0c6a-0000-4000-8000-0000000000f1') CLEAR LOG;");
}

TEST(Recover_Statement, ValuesThatWouldChangeTheStatementAreRefused) {
  Log_Capture log;
  Set s = set("HDB", "T1", "T1", false);
  for (const char* time :
       {"2024-01-31 10:00", "2024-01-31T10:00:00", "2024-13-31 10:00:00", "2024-01-31 10:00:00' CLEAR LOG; --", ""}) {
    s.target_time = time;
    EXPECT_EQ(make(s, true, true), "refused:") << time;
  }
  EXPECT_EQ(log.text().substr(0, 62), "Invalid point in time '2024-01-31 10:00', expected YYYY-MM-DD ");
  log.clear();
  EXPECT_EQ(make(set("HDB", "T1", "T1; DROP", true), true, true), "refused:");
  EXPECT_EQ(make(set("P'D", "T1", "T1", true), true, true), "refused:");
  EXPECT_EQ(make(set("HDB", "T1", "", false), true, true), "refused:");
  Set bad_uuid = set("HDB", "T1", "T1", true);
  bad_uuid.catalog_uuid = "x') CLEAR LOG; --";
  EXPECT_EQ(make(bad_uuid, false, true), "refused:");
  EXPECT_EQ(log.text(),
            "Invalid target database 'T1; DROP' for the recover statement\n"
            "Invalid origin SID 'P'D' for the recover statement\n"
            "Invalid target database '' for the recover statement\n"
            "Invalid backup set uuid 'x') CLEAR LOG; --' for the recover statement\n");
  // A system database restore names no target, so only the origin counts.
  EXPECT_NE(make(set("HDB", "SYSTEMDB", "", true), true, false).substr(0, 8), "refused:");
}
