// hdbsql, the listers and tenant control against simulated HANA systems.

#include <algorithm>

#include "common/hdbsql_general_text_handler.h"
#include "common/list_databases.h"
#include "common/list_instances.h"
#include "common/list_schema.h"
#include "common/tenant_database_control.h"
#include "hana_sim_fixture.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

class Hana_Hdbsql_Test : public Hana_Sim_Test {};

std::vector<std::string> names(const std::vector<Database_Info>& infos) {
  std::vector<std::string> result;
  for (const auto& i : infos) result.push_back(i.name + (i.active ? "+" : "-"));
  return result;
}

}  // namespace

TEST_F(Hana_Hdbsql_Test, ExecutorReachesTheSystemDatabaseAndTenantsWithItsCommandLine) {
  install("ABC", "--instance 7 --tenants T01");
  register_instance("ABC", 7, true);
  HDBSQL_Executor sysdb = executor("ABC", "HDB07");
  HDBSQL_Executor tenant = executor("ABC", "HDB07", "T01");
  HDBSQL_General_Text_Handler h;
  ASSERT_TRUE(
      sysdb.execute("select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES", &h, ACE_Log_Msg_Callback_var()));
  ASSERT_TRUE(
      tenant.execute("SELECT SCHEMA_NAME, SCHEMA_OWNER, HAS_PRIVILEGES FROM SCHEMAS", ACE_Log_Msg_Callback_var()));
  auto log = calls("ABC", "hdbsql");
  ASSERT_EQ(2u, log.size());
  // Both connect through one entry of root's user store, never with the
  // password as an argument (the simulator would refuse it).
  const std::string key = log[0]["argv"][1];
  EXPECT_EQ(json_value({"-U", key, "select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES"}), log[0]["argv"]);
  EXPECT_EQ(json_value({"-U", key, "-d", "T01", "SELECT SCHEMA_NAME, SCHEMA_OWNER, HAS_PRIVILEGES FROM SCHEMAS"}),
            log[1]["argv"]);
  EXPECT_EQ("/usr/sap/ABC/HDB07/exe", log[0]["env"].value("LD_LIBRARY_PATH", std::string()));

  const auto& keys = h.get_key();
  ASSERT_EQ(2u, h.get_values().size());
  EXPECT_EQ("SystemDB-ABC-07", h.get_values()[0][keys.at("DESCRIPTION")]);
  EXPECT_EQ("", h.get_values()[1][keys.at("DESCRIPTION")]);
  EXPECT_EQ("T01", h.get_values()[1][keys.at("DATABASE_NAME")]);
  EXPECT_EQ("", log_.text());
}

TEST_F(Hana_Hdbsql_Test, WrongPasswordFailsAndTheErrorReachesTheHandler) {
  install("ABC", "--instance 0");
  register_instance("ABC", 0, true);
  HDBSQL_Executor e = executor("ABC", "HDB00", "", "wrong");
  struct Lines : Text_Process_Handler {
    int handle_stdout_line(const char* l, size_t n) override {
      text += std::string(l, n) + "\n";
      return 0;
    }
    std::string text;
  } handler;
  EXPECT_FALSE(e.execute("\\s", &handler, ACE_Log_Msg_Callback_var()));
  EXPECT_NE(std::string::npos, handler.text.find("authentication failed")) << handler.text;
  EXPECT_EQ("Failed to execute '\\s'\n", log_.text());
}

TEST_F(Hana_Hdbsql_Test, ExecutorOfASingleContainerSystemUsesItsIndexServerPort) {
  install("XYZ", "--instance 2 --single");
  register_instance("XYZ", 2, false);
  HDBSQL_Executor e = executor("XYZ", "HDB02");
  EXPECT_EQ(30215, e.port());
  EXPECT_TRUE(e.execute("\\s", ACE_Log_Msg_Callback_var()));
  auto log = calls("XYZ", "hdbsql");
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("-U", log[0]["argv"][0]);
}

TEST_F(Hana_Hdbsql_Test, DatabaseListerOnAMultiContainerSystem) {
  install("ABC", "--instance 7 --tenants T01 --inactive-tenants T02");
  register_instance("ABC", 7, true);
  Database_Lister lister("ABC", "HDB07", "SYSTEM", secure_string("Manager1"));
  std::vector<Database_Info> all;
  ASSERT_TRUE(lister.list(all));
  EXPECT_EQ((std::vector<std::string>{"SYSTEMDB+", "T01+", "T02-"}), names(all));

  std::vector<Database_Info> none;
  ASSERT_TRUE(lister.list(none, "NOPE"));
  EXPECT_TRUE(none.empty());
  Database_Info info;
  EXPECT_FALSE(lister.list(info, "NOPE"));
  ASSERT_TRUE(lister.list(info, "T02"));
  EXPECT_EQ("T02", info.name);
  EXPECT_FALSE(info.active);
  EXPECT_EQ("select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES where DATABASE_NAME = 'T02'",
            statements("ABC").back());
}

TEST_F(Hana_Hdbsql_Test, ListerBuiltFromAnExecutorReportsAnUnknownTenantAsNotFound) {
  install("ABC", "--instance 7 --tenants T01");
  register_instance("ABC", 7, true);
  Database_Lister lister(executor("ABC", "HDB07"));
  Database_Info info;
  info.name = "untouched";
  EXPECT_FALSE(lister.list(info, "T09"));
  EXPECT_EQ("untouched", info.name);
  ASSERT_TRUE(lister.list(info, "T01"));
  EXPECT_TRUE(info.active);
}

TEST_F(Hana_Hdbsql_Test, SingleContainerListerCompletesAnEmptyResultWithTheSystem) {
  install("XYZ", "--instance 2 --single");
  register_instance("XYZ", 2, false);
  Database_Lister lister(executor("XYZ", "HDB02"));
  std::vector<Database_Info> all;
  ASSERT_TRUE(lister.list(all));
  EXPECT_EQ(std::vector<std::string>{"XYZ+"}, names(all));
  std::vector<Database_Info> filtered;
  ASSERT_TRUE(lister.list(filtered, "OTHER"));
  EXPECT_EQ(std::vector<std::string>{"XYZ+"}, names(filtered));
}

TEST_F(Hana_Hdbsql_Test, NamesThatAreNotIdentifiersNeverReachSql) {
  install("ABC", "--instance 7 --tenants T01");
  register_instance("ABC", 7, true);
  sim("calls ABC --clear");
  Database_Lister lister(executor("ABC", "HDB07"));
  std::vector<Database_Info> infos;
  EXPECT_FALSE(lister.list(infos, "T01' or '1'='1"));
  Tenant_Database_Controller control(executor("ABC", "HDB07"));
  EXPECT_FALSE(control.start("T01; ALTER SYSTEM STOP DATABASE T01"));
  EXPECT_FALSE(control.stop(""));
  EXPECT_TRUE(calls("ABC", "hdbsql").empty());
  EXPECT_EQ(
      "Invalid database name 'T01' or '1'='1'\n"
      "Invalid database name 'T01; ALTER SYSTEM STOP DATABASE T01'\n"
      "Invalid database name ''\n",
      log_.text());
}

TEST_F(Hana_Hdbsql_Test, TenantStartAndStopIssueOnlyTheStatementsNeeded) {
  install("ABC", "--instance 7 --tenants T01 --inactive-tenants T02");
  register_instance("ABC", 7, true);
  Tenant_Database_Controller control("ABC", "HDB07", "SYSTEM", secure_string("Manager1"));
  sim("calls ABC --clear");
  const std::string lookup = "select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES where DATABASE_NAME = ";
  EXPECT_TRUE(control.start("T01"));  // active already
  EXPECT_TRUE(control.stop("T02"));   // inactive already
  EXPECT_EQ((std::vector<std::string>{lookup + "'T01'", lookup + "'T02'"}), statements("ABC"));

  sim("calls ABC --clear");
  EXPECT_TRUE(control.start("T02"));
  EXPECT_TRUE(control.stop("T01"));
  EXPECT_EQ((std::vector<std::string>{lookup + "'T02'", "ALTER SYSTEM START DATABASE T02", lookup + "'T01'",
                                      "ALTER SYSTEM STOP DATABASE T01"}),
            statements("ABC"));
  Database_Lister lister(executor("ABC", "HDB07"));
  std::vector<Database_Info> all;
  ASSERT_TRUE(lister.list(all));
  EXPECT_EQ((std::vector<std::string>{"SYSTEMDB+", "T01-", "T02+"}), names(all));

  // A tenant HANA does not know can be neither stopped nor started.
  log_.clear();
  EXPECT_FALSE(control.stop("T09"));
  EXPECT_FALSE(control.start("T09"));
  EXPECT_EQ("Database 'T09' does not exist\nDatabase 'T09' does not exist\n", log_.text());
}

TEST_F(Hana_Hdbsql_Test, TenantNamesAreFoldedAndTenantsOnTheirWayGetTheStatement) {
  install("ABC", "--instance 7 --tenants T01,T02");
  register_instance("ABC", 7, true);
  Tenant_Database_Controller control(executor("ABC", "HDB07"));
  sim("calls ABC --clear");
  const std::string lookup = "select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES where DATABASE_NAME = ";
  EXPECT_TRUE(control.stop("t01"));  // as HANA reads the unquoted name: T01
  ASSERT_EQ(0, sim("tenant ABC T01 --status STARTING").rc);
  ASSERT_EQ(0, sim("tenant ABC T02 --status STOPPING").rc);
  EXPECT_TRUE(control.stop("T01"));
  EXPECT_TRUE(control.start("T02"));
  EXPECT_EQ(
      (std::vector<std::string>{lookup + "'T01'", "ALTER SYSTEM STOP DATABASE T01", lookup + "'T01'",
                                "ALTER SYSTEM STOP DATABASE T01", lookup + "'T02'", "ALTER SYSTEM START DATABASE T02"}),
      statements("ABC"));
  std::vector<Database_Info> all;
  ASSERT_TRUE(Database_Lister(executor("ABC", "HDB07")).list(all));
  EXPECT_EQ((std::vector<std::string>{"SYSTEMDB+", "T01-", "T02+"}), names(all));
  EXPECT_EQ("", log_.text());
}

TEST_F(Hana_Hdbsql_Test, TenantStopFailsWhenTheStateCannotBeRead) {
  install("ABC", "--instance 7 --tenants T01");
  register_instance("ABC", 7, true);
  Tenant_Database_Controller control(executor("ABC", "HDB07"));
  ASSERT_EQ(0, sim("stop ABC").rc);
  log_.clear();
  EXPECT_FALSE(control.stop("T01"));
  EXPECT_NE(std::string::npos, log_.text().find("Failed to get the state of database 'T01'\n")) << log_.text();
}

TEST_F(Hana_Hdbsql_Test, SchemaListerReadsTheTenantsSchemas) {
  install("ABC", "--instance 7 --tenants T01");
  register_instance("ABC", 7, true);
  Schema_Lister lister("ABC", "HDB07", "SYSTEM", secure_string("Manager1"));
  std::vector<Database_Scheme_Base_Info> schemas;
  ASSERT_TRUE(lister.list_schema("T01", schemas));
  ASSERT_EQ(3u, schemas.size());
  EXPECT_EQ("SYS", schemas[0].name);
  EXPECT_TRUE(schemas[0].has_privileges);
  EXPECT_EQ("_SYS_STATISTICS", schemas[2].owner);
  EXPECT_FALSE(schemas[2].has_privileges);
  EXPECT_EQ("T01", calls("ABC", "hdbsql").back().value("database", std::string()));

  Schema_Lister unknown("ABC", "HDB03", "SYSTEM", secure_string("Manager1"));
  EXPECT_FALSE(unknown.list_schema("T01", schemas));
  EXPECT_NE(std::string::npos, log_.text().find("Failed to initialize hdbsql to list HDB03 schema,\n"));
}

TEST_F(Hana_Hdbsql_Test, InstanceListerFindsEachStartedInstanceOnceWithItsVersion) {
  install("ABC", "--instance 7 --tenants T01 --version 2.00.070.00.1700000000");
  install("XYZ", "--instance 2 --single --version 2.00.045.00.1575639312");
  Sim_Result extra = sim("start-service ABC --additional");
  ASSERT_EQ(0, extra.rc) << extra.out;

  System_Instance_Lister lister;
  std::vector<System_Instance_Info> infos;
  ASSERT_TRUE(lister.list(infos));
  ASSERT_EQ(2u, infos.size());
  std::sort(infos.begin(), infos.end(), [](const System_Instance_Info& a, const System_Instance_Info& b) {
    return a.system_info.sid < b.system_info.sid;
  });
  EXPECT_EQ("ABC", infos[0].system_info.sid);
  EXPECT_EQ(7, infos[0].instance_number);
  EXPECT_EQ("HDB07", infos[0].instance_name);
  EXPECT_EQ("h1", infos[0].system_info.localhost);
  EXPECT_EQ("/usr/sap/ABC/HDB07/exe", infos[0].dir_executable);
  EXPECT_EQ("2.00.070.00.1700000000", infos[0].system_info.version);
  EXPECT_FALSE(infos[0].system_info.multi_container);
  EXPECT_EQ("2.00.045.00.1575639312", infos[1].system_info.version);

  System_Instance_Info one;
  ASSERT_TRUE(lister.list(one, "XYZ", "HDB02"));
  EXPECT_EQ(2, one.instance_number);
  EXPECT_FALSE(lister.list(one, "XYZ", "HDB07"));
}

TEST_F(Hana_Hdbsql_Test, InstanceListerSkipsServicesWithoutHostNameAndFailsWithoutServices) {
  install("ABC", "--instance 7");
  ASSERT_EQ(0, sim("stop-service ABC").rc);
  System_Instance_Lister lister;
  std::vector<System_Instance_Info> infos;
  EXPECT_FALSE(lister.list(infos));
  EXPECT_EQ("", log_.text());

  ASSERT_EQ(0, sim("state ABC --set 'service_env_omit=[\"HOSTNAME\"]'").rc);
  ASSERT_EQ(0, sim("start-service ABC").rc);
  EXPECT_TRUE(lister.list(infos));
  EXPECT_TRUE(infos.empty());
}
