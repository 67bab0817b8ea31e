#include <gtest/gtest.h>

#include "job/catalog_metadata.h"
#include "log_capture.h"

using namespace sap_hana;

TEST(CatalogMetadata, MetadataThatIsNoObjectFailsEveryAccessorAndStaysUnchanged) {
  Log_Capture log;
  Catalog_Metadata m(json_value::array());
  std::string s = "kept";
  ACE_UINT16 n = 7;
  json_value dbs;
  EXPECT_FALSE(m.get_sid(s));
  EXPECT_FALSE(m.set_sid("HDB"));
  EXPECT_FALSE(m.get_instance_number(n));
  EXPECT_FALSE(m.set_backup_databases({{"database", "T01"}}));
  EXPECT_FALSE(m.get_backup_databases(dbs));
  EXPECT_FALSE(m.set_lifeline("x"));
  EXPECT_EQ(s, "kept");
  EXPECT_EQ(n, 7);
  EXPECT_EQ(m.metadata(), json_value::array());
  ASSERT_EQ(log.lines().size(), 6u);
  EXPECT_NE(log.lines()[0].find("metadata_ is not object!\n"), std::string::npos);
  EXPECT_EQ(log.priorities()[0], LM_EMERGENCY);
}

TEST(CatalogMetadata, DatabasesAppendInCallOrderAndScalarsReplace) {
  Catalog_Metadata m;
  ACE_UINT16 n = 9;
  EXPECT_FALSE(m.get_instance_number(n));
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(m.set_backup_databases({{"database", "SYSTEMDB"}}));
  EXPECT_TRUE(m.set_backup_databases({{"database", "T01"}}));
  EXPECT_TRUE(m.set_incarnation("a"));
  EXPECT_TRUE(m.set_incarnation("b"));
  EXPECT_TRUE(m.set_instance_number(3));
  json_value dbs;
  ASSERT_TRUE(m.get_backup_databases(dbs));
  EXPECT_EQ(dbs, json_value::parse(R"([{"database":"SYSTEMDB"},{"database":"T01"}])"));
  std::string s;
  EXPECT_TRUE(m.get_incarnation(s));
  EXPECT_EQ(s, "b");
  EXPECT_TRUE(m.get_instance_number(n));
  EXPECT_EQ(n, 3);
  // A key of another kind is not there for its getter.
  Catalog_Metadata wrong(json_value{{"sid", 1}, {"databases", "x"}});
  EXPECT_FALSE(wrong.get_sid(s));
  EXPECT_TRUE(wrong.set_backup_databases({{"database", "T01"}}));
  ASSERT_TRUE(wrong.get_backup_databases(dbs));
  EXPECT_EQ(dbs.size(), 1u);
}
