// Parsing of hdbsql output: the general result handler and the listers'
// line handlers and regular expressions.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/hana_basic_type.h"
#include "common/hdbsql_general_text_handler.h"
#include "common/list_databases.h"
#include "common/list_instances.h"
#include "common/list_schema.h"

using namespace sap_hana;

namespace {

template <typename Handler>
std::vector<int> feed(Handler& h, const std::vector<std::string>& lines) {
  std::vector<int> results;
  for (const auto& l : lines) results.push_back(h.handle_stdout_line(l.c_str(), l.size()));
  return results;
}

}  // namespace

TEST(HDBSQL_General_Text_Handler, ParsesHeaderRowsAndSkipsTheClosingLine) {
  HDBSQL_General_Text_Handler h;
  auto r = feed(h, {"BACKUP_ID,STATE_NAME,COMMENT", "1598000000000,\"successful\",\"\"", "42,\"running\",\"a\n\"",
                    "2 rows selected (overall time 1.2 msec; server time 0.5 msec)"});
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), r);
  EXPECT_EQ(0, h.get_key().at("BACKUP_ID"));
  EXPECT_EQ(1, h.get_key().at("STATE_NAME"));
  EXPECT_EQ(2, h.get_key().at("COMMENT"));
  ASSERT_EQ(2u, h.get_values().size());
  EXPECT_EQ((std::vector<std::string>{"1598000000000", "successful", ""}), h.get_values()[0]);
  EXPECT_EQ((std::vector<std::string>{"42", "running", "a"}), h.get_values()[1]);
}

TEST(HDBSQL_General_Text_Handler, DropsRowsOfTheWrongWidthAndKeepsTheOthers) {
  HDBSQL_General_Text_Handler h;
  // A comma inside quotes splits the value: the row is one field too wide.
  auto r = feed(h, {"NAME,VALUE", "\"a\",\"1\"", "\"b,c\",\"2\"", "\"d\"", "\"e\",\"5\""});
  EXPECT_EQ((std::vector<int>{0, 0, -1, -1, 0}), r);
  ASSERT_EQ(2u, h.get_values().size());
  EXPECT_EQ("a", h.get_values()[0][0]);
  EXPECT_EQ("e", h.get_values()[1][0]);
}

TEST(HDBSQL_General_Text_Handler, RejectsEmptyLinesAndKeepsHeaderNamesUntrimmed) {
  HDBSQL_General_Text_Handler h;
  EXPECT_EQ(-1, h.handle_stdout_line(nullptr, 0));
  EXPECT_EQ(-1, h.handle_stdout_line("", 0));
  feed(h, {"A, B,A", "1,2,3"});
  EXPECT_EQ(1u, h.get_key().count(" B"));
  EXPECT_EQ(2, h.get_key().at("A"));  // a repeated name keeps its later position
  EXPECT_EQ(2u, h.get_key().size());
}

TEST(HDBSQL_General_Text_Handler, HeaderOnlyGivesColumnsAndNoRows) {
  HDBSQL_General_Text_Handler h;
  feed(h, {"VALUE", "0 rows selected (overall time 1 msec)"});
  EXPECT_EQ(1u, h.get_key().size());
  EXPECT_TRUE(h.get_values().empty());
  // "1 row selected" is a closing line as well.
  feed(h, {"\"x\"", "1 row selected (overall time 1 msec)"});
  EXPECT_EQ(1u, h.get_values().size());
}

TEST(HDBSQL_General_Text_Handler, ResetMakesTheNextHeaderTheColumnMap) {
  HDBSQL_General_Text_Handler h;
  feed(h, {"A,B", "1,2"});
  // Without reset the next statement's header is a data row of the same width.
  feed(h, {"C,D"});
  EXPECT_EQ(2u, h.get_values().size());
  h.reset();
  EXPECT_TRUE(h.get_key().empty());
  EXPECT_TRUE(h.get_values().empty());
  feed(h, {"C,D", "3,4"});
  EXPECT_EQ(1, h.get_key().at("D"));
  EXPECT_EQ((std::vector<std::string>{"3", "4"}), h.get_values().at(0));
}

TEST(Lister_Line_Handlers, DatabaseRowsGiveNameDescriptionAndActiveFlag) {
  std::vector<Database_Info> infos;
  List_Databases_Line_Handler h(infos);
  auto r = feed(h, {"DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS", "\"SYSTEMDB\",\"SystemDB-HDB-00\",\"YES\"",
                    "\"T01\",\"\",\"NO\"", "", "2 rows selected (overall time 3 msec)"});
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0}), r);
  ASSERT_EQ(2u, infos.size());
  EXPECT_EQ("SYSTEMDB", infos[0].name);
  EXPECT_EQ("SystemDB-HDB-00", infos[0].description);
  EXPECT_TRUE(infos[0].active);
  EXPECT_EQ("T01", infos[1].name);
  EXPECT_EQ("", infos[1].description);
  EXPECT_FALSE(infos[1].active);
  EXPECT_TRUE(infos[1].instance_info.system_info.sid.empty());
}

TEST(Lister_Line_Handlers, SchemaRowsGivePrivilegesFromTheThirdValue) {
  std::vector<Database_Scheme_Base_Info> infos;
  List_Schema_Line_Handler h(infos);
  feed(h, {"SCHEMA_NAME,SCHEMA_OWNER,HAS_PRIVILEGES", "\"SYS\",\"SYS\",\"TRUE\"", "\"_SYS_BI\",\"SYS\",\"FALSE\"  ",
           "\"X\",\"Y\",\"\"", "3 rows selected"});
  ASSERT_EQ(3u, infos.size());
  EXPECT_EQ("SYS", infos[0].name);
  EXPECT_TRUE(infos[0].has_privileges);
  EXPECT_EQ("_SYS_BI", infos[1].name);
  EXPECT_EQ("SYS", infos[1].owner);
  EXPECT_FALSE(infos[1].has_privileges);
  EXPECT_FALSE(infos[2].has_privileges);
}

TEST(Lister_Line_Handlers, VersionLineGivesDigitsAndDotsAndTheLastOneWins) {
  std::string version;
  Get_Version_Line_Handler h(version);
  feed(h, {"HDB version info:", "  version:             2.00.045.00.1575639312", "  branch: fa/hana2sp04"});
  EXPECT_EQ("2.00.045.00.1575639312", version);
  feed(h, {"version: 2.00.070.00.1700000000 (fa/hana2sp07)"});
  EXPECT_EQ("2.00.070.00.1700000000", version);
  std::string none;
  Get_Version_Line_Handler n(none);
  feed(n, {"no version here", "Version: 3"});
  EXPECT_EQ("", none);
}

TEST(Hana_Identifier, AcceptsOnlyLettersDigitsAndUnderscoreStartingWithALetter) {
  EXPECT_TRUE(is_hana_identifier("SYSTEMDB"));
  EXPECT_TRUE(is_hana_identifier("T01"));
  EXPECT_TRUE(is_hana_identifier("my_db_2"));
  EXPECT_FALSE(is_hana_identifier(""));
  EXPECT_FALSE(is_hana_identifier("1ABC"));
  EXPECT_FALSE(is_hana_identifier("_ABC"));
  EXPECT_FALSE(is_hana_identifier("T01; DROP TABLE X"));
  EXPECT_FALSE(is_hana_identifier("T01'"));
  EXPECT_FALSE(is_hana_identifier("T\xc3\xa4"));
}
