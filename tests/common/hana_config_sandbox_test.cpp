// HANA configuration: global.ini values altered through SQL (asserted on the
// simulator's call log), the landscape in nameserver.ini and the system
// replication state.

#include <fstream>

#include "agent/base/file_utils.h"
#include "common/nameserver_config_parser.h"
#include "common/replication_state_getter.h"
#include "common/system_config_manager.h"
#include "hana_sim_fixture.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

const std::string kSelect = "SELECT VALUE from M_INIFILE_CONTENTS where key = '%s' and LAYER_NAME = 'SYSTEM'";

std::string select_of(const std::string& key) {
  std::string s = kSelect;
  return s.replace(s.find("%s"), 2, key);
}

std::string alter_of(const std::string& section, const std::string& key, const std::string& value) {
  return "ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'SYSTEM') SET ('" + section + "', '" + key + "') = '" +
         value + "' WITH RECONFIGURE";
}

class Hana_Config_Test : public Hana_Sim_Test {
 protected:
  System_Config_Manager manager() {
    install("ABC", "--instance 7 --tenants T01");
    register_instance("ABC", 7, true);
    System_Config_Manager m(executor("ABC", "HDB07"));
    sim("calls ABC --clear");
    return m;
  }
};

// Landscape files of a system the tests write themselves (no simulator).
class Hana_Landscape_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
  }
  void TearDown() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) return;
    std::system("rm -rf /usr/sap/LSC /usr/sap/sapservices");
  }
  void write(const std::string& path, const std::string& content) {
    ASSERT_EQ(0, mkdir_p(dirname_string(path).c_str(), 0755));
    std::ofstream(path) << content;
  }
  void nameserver_ini(const std::string& content) {
    write("/usr/sap/LSC/SYS/global/hdb/custom/config/nameserver.ini", content);
  }
  void global_ini(const std::string& content) {
    write("/usr/sap/LSC/SYS/global/hdb/custom/config/global.ini", content);
  }
  void on_host(const std::string& host) {
    write("/usr/sap/sapservices",
          "#!/bin/sh\nLD_LIBRARY_PATH=/usr/sap/LSC/HDB00/exe;export LD_LIBRARY_PATH;"
          "/usr/sap/LSC/HDB00/exe/sapstartsrv pf=/usr/sap/LSC/SYS/profile/LSC_HDB00_" +
              host + " -D -u lscadm\n");
  }
  Log_Capture log_;
};

}  // namespace

TEST_F(Hana_Config_Test, LogModeIsAlteredOnlyWhenItDiffers) {
  System_Config_Manager m = manager();
  ASSERT_TRUE(m.alter_log_mode(System_Config_Manager::LOG_MODE_NORMAL));  // SYSTEM layer unset
  ASSERT_TRUE(m.alter_log_mode(System_Config_Manager::LOG_MODE_NORMAL));
  EXPECT_EQ((std::vector<std::string>{select_of("log_mode"), alter_of("persistence", "log_mode", "normal"),
                                      select_of("log_mode")}),
            statements("ABC"));
  EXPECT_EQ("Log mode is altered to normal\n", log_.text());

  sim("ini ABC global.ini persistence log_mode NORMAL");
  sim("calls ABC --clear");
  EXPECT_TRUE(m.alter_log_mode(System_Config_Manager::LOG_MODE_NORMAL));
  EXPECT_TRUE(m.alter_log_mode(System_Config_Manager::LOG_MODE_OVERWRITE));
  EXPECT_EQ((std::vector<std::string>{select_of("log_mode"), select_of("log_mode"),
                                      alter_of("persistence", "log_mode", "overwrite")}),
            statements("ABC"));
  EXPECT_NE(std::string::npos, sim("ini ABC global.ini persistence log_mode").out.find("overwrite"));

  log_.clear();
  EXPECT_FALSE(m.alter_log_mode(System_Config_Manager::LOG_MODE_UNKNOWN));
  EXPECT_EQ("Invalid log mode\n", log_.text());
}

TEST_F(Hana_Config_Test, AutoLogBackupTreatsAMissingValueAsOff) {
  System_Config_Manager m = manager();
  EXPECT_TRUE(m.alter_auto_log_backup(false));  // unset, wanted off: nothing to do
  EXPECT_TRUE(m.alter_auto_log_backup(true));
  EXPECT_TRUE(m.alter_auto_log_backup(true));
  EXPECT_TRUE(m.alter_auto_log_backup(false));
  const std::string sel = select_of("enable_auto_log_backup");
  EXPECT_EQ((std::vector<std::string>{sel, sel, alter_of("persistence", "enable_auto_log_backup", "true"), sel, sel,
                                      alter_of("persistence", "enable_auto_log_backup", "false")}),
            statements("ABC"));
  EXPECT_EQ("Auto log backup is altered to enabled\nAuto log backup is altered to disabled\n", log_.text());

  sim("ini ABC global.ini persistence enable_auto_log_backup YES");
  sim("calls ABC --clear");
  EXPECT_TRUE(m.alter_auto_log_backup(true));
  EXPECT_EQ(std::vector<std::string>{sel}, statements("ABC"));
}

TEST_F(Hana_Config_Test, BackintSwitchesForLogAndCatalogBackups) {
  System_Config_Manager m = manager();
  EXPECT_TRUE(m.alter_log_backup_using_backint(true));
  EXPECT_TRUE(m.alter_catalog_backup_using_backint(true));
  EXPECT_TRUE(m.alter_catalog_backup_using_backint(true));
  EXPECT_EQ((std::vector<std::string>{
                select_of("log_backup_using_backint"), alter_of("backup", "log_backup_using_backint", "true"),
                select_of("catalog_backup_using_backint"), alter_of("backup", "catalog_backup_using_backint", "true"),
                select_of("catalog_backup_using_backint")}),
            statements("ABC"));
  EXPECT_EQ("Log backup using backint is altered to enabled\nCatalog backup using backint is altered to enabled\n",
            log_.text());
}

TEST_F(Hana_Config_Test, FailedAlterStatementIsReported) {
  System_Config_Manager m = manager();
  sim("fault ABC hdbsql --match 'ALTER SYSTEM' --stderr '* 258: insufficient privilege' --exit 1");
  EXPECT_FALSE(m.alter_log_backup_using_backint(true));
  EXPECT_NE(std::string::npos, log_.text().find("Failed to enable log backup using backint\n")) << log_.text();
}

TEST_F(Hana_Landscape_Test, ClusterNeedsTwoWorkersOrAStandby) {
  Name_Server_Config_Parser parser("LSC");
  bool cluster = true;
  nameserver_ini("[landscape]\nworker = h1   h2\n");
  EXPECT_TRUE(parser.is_cluster(cluster));
  EXPECT_TRUE(cluster);
  nameserver_ini("[landscape]\nworker = h1\n");
  EXPECT_TRUE(parser.is_cluster(cluster));
  EXPECT_FALSE(cluster);
  nameserver_ini("[landscape]\nworker = h1\nstandby = h2\n");
  EXPECT_TRUE(parser.is_cluster(cluster));
  EXPECT_TRUE(cluster);
  nameserver_ini("[landscape]\nmaster = h1:30001\n");
  EXPECT_FALSE(parser.is_cluster(cluster));
  EXPECT_FALSE(cluster);
  EXPECT_EQ("", log_.text()) << "is_cluster reads quietly";

  std::vector<std::string> hosts;
  EXPECT_FALSE(parser.get_worker(hosts));
  EXPECT_EQ(
      "Failed to get landscape.worker in /usr/sap/LSC/SYS/global/hdb/custom/config/nameserver.ini, "
      "No such node (landscape.worker)\n",
      log_.text());
  EXPECT_TRUE(parser.get_master(hosts));
  EXPECT_EQ(std::vector<std::string>{"h1:30001"}, hosts);
}

TEST_F(Hana_Landscape_Test, ActiveMasterNeedsTheHostNameFollowedByAColon) {
  Name_Server_Config_Parser parser("LSC");
  nameserver_ini("[landscape]\nid = 5f3c-00\nactive_master = hana1:30001\nroles_hana1 = worker\n");
  bool active = false;
  EXPECT_FALSE(parser.is_active_master(active));
  EXPECT_NE(std::string::npos,
            log_.text().find("Failed to get the host name to check if the master nameserver is active.\n"));
  on_host("hana1");
  EXPECT_TRUE(parser.is_active_master(active));
  EXPECT_TRUE(active);
  on_host("hana12");
  EXPECT_TRUE(parser.is_active_master(active));
  EXPECT_FALSE(active);
  EXPECT_EQ("5f3c-00", parser.get_landscape_uuid());
}

TEST_F(Hana_Landscape_Test, RoleIsReadAtTopLevelOrInTheLandscapeSection) {
  Name_Server_Config_Parser parser("LSC");
  on_host("hana1.corp");
  nameserver_ini("roles_hana1.corp = master\n[landscape]\nroles_hana1.corp = worker\n");
  std::string role;
  EXPECT_TRUE(parser.get_role(role));
  EXPECT_EQ("master", role);
  nameserver_ini("[landscape]\nroles_hana1.corp = standby\n");
  EXPECT_TRUE(parser.get_role(role));
  EXPECT_EQ("standby", role);
  nameserver_ini("[landscape]\nid = x\n");
  log_.clear();
  EXPECT_FALSE(parser.get_role(role));
  EXPECT_NE(std::string::npos, log_.text().find("No such node (landscape.roles_hana1.corp)"));
}

TEST_F(Hana_Landscape_Test, MissingOrMalformedNameserverIni) {
  Name_Server_Config_Parser parser("LSC");
  std::vector<std::string> hosts;
  EXPECT_FALSE(parser.get_master(hosts));
  EXPECT_EQ("Failed to get value, file '/usr/sap/LSC/SYS/global/hdb/custom/config/nameserver.ini' does not exist\n",
            log_.text());
  EXPECT_EQ("", parser.get_landscape_uuid());
  nameserver_ini("[landscape\nmaster = h1\n");
  log_.clear();
  EXPECT_FALSE(parser.get_master(hosts));
  EXPECT_NE(std::string::npos, log_.text().find("Failed to get landscape.master in "));
  EXPECT_EQ("", parser.get_landscape_uuid());
}

TEST_F(Hana_Landscape_Test, ReplicationModePrefersTheActualMode) {
  Replication_State_Getter getter("LSC");
  Replication_State state;
  EXPECT_FALSE(getter.get_state(state));
  EXPECT_EQ("Global config file '/usr/sap/LSC/SYS/global/hdb/custom/config/global.ini' does not exist\n", log_.text());
  log_.clear();
  global_ini("[system_replication]\nmode = primary\nactual_mode =\noperation_mode = logreplay\n");
  ASSERT_TRUE(getter.get_state(state));
  EXPECT_EQ("primary", state.mode);
  EXPECT_EQ("logreplay", state.operation_mode);
  global_ini("[system_replication]\nmode = primary\nactual_mode = sync\noperation_mode = logreplay\n");
  ASSERT_TRUE(getter.get_state(state));
  EXPECT_EQ("sync", state.mode);
  global_ini("[system_replication]\nmode = primary\noperation_mode = logreplay\n");
  Replication_State untouched;
  EXPECT_FALSE(getter.get_state(untouched));
  EXPECT_EQ("", untouched.mode);
  EXPECT_EQ("", log_.text());
}
