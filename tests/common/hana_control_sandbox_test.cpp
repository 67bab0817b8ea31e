// Instance state, the HDB script run as <sid>adm, and the multi-container
// test, against simulated HANA systems.

#include <sys/stat.h>

#include <fstream>

#include "agent/base/file_utils.h"
#include "common/environ_getter.h"
#include "common/instance_control.h"
#include "common/list_instances.h"
#include "common/system_control.h"
#include "hana_sim_fixture.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

class Hana_Control_Test : public Hana_Sim_Test {
 protected:
  void write_global_ini(const std::string& sid, const std::string& content) {
    std::string path = "/usr/sap/" + sid + "/SYS/global/hdb/custom/config/global.ini";
    ASSERT_EQ(0, mkdir_p(dirname_string(path).c_str(), 0755));
    std::ofstream(path) << content;
    cleanup_.push_back("/usr/sap/" + sid);
  }
  void TearDown() override {
    for (const auto& d : cleanup_) std::system(("rm -rf " + d).c_str());
    Hana_Sim_Test::TearDown();
  }
  std::vector<std::string> cleanup_;
};

}  // namespace

TEST_F(Hana_Control_Test, InstanceStateFollowsStartServiceAndSqlPort) {
  install("ABC", "--instance 7 --tenants T01");
  Instance_Controller control("ABC");
  Instance_Controller::Instance_State state = Instance_Controller::INSTANCE_STATE_UNKNOWN;
  EXPECT_TRUE(control.get_state(7, state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_RUNNING, state);

  ASSERT_EQ(0, sim("stop ABC").rc);  // start service stays, SQL port closes
  EXPECT_TRUE(control.get_state(std::string("HDB07"), state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_STOPPED, state);

  ASSERT_EQ(0, sim("stop-service ABC").rc);
  EXPECT_FALSE(control.get_state(7, state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_STOPPED, state);

  state = Instance_Controller::INSTANCE_STATE_RUNNING;
  EXPECT_FALSE(control.get_state(std::string("HDB5"), state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_RUNNING, state) << "a bad name leaves the state untouched";
  EXPECT_FALSE(control.get_state(100, state));
  EXPECT_EQ("Failed to generate instance name\n", log_.text());
}

TEST_F(Hana_Control_Test, SingleContainerStateUsesTheIndexServerPort) {
  install("XYZ", "--instance 2 --single --no-multidb-section");
  Instance_Controller control("XYZ");
  Instance_Controller::Instance_State state;
  EXPECT_TRUE(control.get_state(2, state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_RUNNING, state);
  std::string dir;
  EXPECT_TRUE(control.get_instance_dir("HDB02", dir, false));
  EXPECT_EQ("/usr/sap/XYZ/HDB02", dir);
  EXPECT_EQ("", log_.text());
}

TEST_F(Hana_Control_Test, HdbRunsAsTheAdministrationUserWithItsEnvironment) {
  install("ABC", "--instance 7 --tenants T01");
  ASSERT_EQ(0, sim("calls ABC --clear").rc);
  Instance_Controller control("ABC");
  ASSERT_TRUE(control.stop("HDB07"));
  Instance_Controller::Instance_State state;
  EXPECT_TRUE(control.get_state(7, state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_STOPPED, state);
  ASSERT_TRUE(control.start("HDB07"));
  EXPECT_TRUE(control.get_state(7, state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_RUNNING, state);
  ASSERT_TRUE(control.restart("HDB07"));

  auto log = calls("ABC", "HDB");
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("stop", log[0].value("statement", std::string()));
  EXPECT_EQ("start", log[1].value("statement", std::string()));
  EXPECT_EQ("restart", log[2].value("statement", std::string()));
  uid_t uid;
  gid_t gid;
  ASSERT_TRUE(lookup_user("abcadm", uid, gid));
  for (const auto& c : log) {
    EXPECT_EQ("abcadm", c.value("user", std::string()));
    EXPECT_EQ(uid, c.value("uid", 0u));
    EXPECT_EQ(uid, c.value("euid", 0u));
    EXPECT_EQ(gid, c.value("gid", 0u));
    EXPECT_EQ(gid, c.value("egid", 0u));
    EXPECT_EQ("/usr/sap/ABC/HDB07/exe", c["env"].value("LD_LIBRARY_PATH", std::string()));
    EXPECT_EQ("86400", c["env"].value("HDB_START_TIMEOUT", std::string()));
    EXPECT_EQ("86400", c["env"].value("HDB_STOP_TIMEOUT", std::string()));
  }
  EXPECT_EQ("", log_.text());
}

TEST_F(Hana_Control_Test, StartWorksWhenTheStartServiceIsDownToo) {
  install("ABC", "--instance 7 --tenants T01");
  ASSERT_EQ(0, sim("stop ABC").rc);
  ASSERT_EQ(0, sim("stop-service ABC").rc);
  Instance_Controller control("ABC");
  std::string dir;
  EXPECT_FALSE(control.get_instance_dir("HDB07", dir, false));
  EXPECT_EQ("Failed to get ABC HDB07 instance env\n", log_.text());
  ASSERT_TRUE(control.start("HDB07"));
  Instance_Controller::Instance_State state;
  EXPECT_TRUE(control.get_state(7, state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_RUNNING, state);
}

TEST_F(Hana_Control_Test, FailedHdbActionIsReported) {
  install("ABC", "--instance 7 --tenants T01");
  ASSERT_EQ(0, sim("fault ABC HDB --exit 1 --stderr broken").rc);
  Instance_Controller control("ABC");
  EXPECT_FALSE(control.stop("HDB07"));
  EXPECT_EQ("Failed to stop ABC instance HDB07\nHDB stop: broken\n", log_.text()) << "with what HDB said";

  // Names from requests never lead to another script or user.
  sim("calls ABC --clear");
  log_.clear();
  EXPECT_FALSE(control.start("HDB+7"));
  EXPECT_FALSE(Instance_Controller("ABC/../..").restart("HDB07"));
  EXPECT_TRUE(calls("ABC", "HDB").empty());
  EXPECT_EQ(
      "Invalid system ID 'ABC' or instance name 'HDB+7'\n"
      "Failed to start ABC instance HDB+7\n"
      "Invalid system ID 'ABC/../..' or instance name 'HDB07'\n"
      "Failed to restart ABC/../.. instance HDB07\n",
      log_.text());
}

TEST_F(Hana_Control_Test, MultiContainerTestReadsMultidbMode) {
  write_global_ini("MCA", "[multidb]\nmode = multidb\n");
  write_global_ini("MCB", "[multidb]\nmode = singledb\n");
  write_global_ini("MCC", "[persistence]\nlog_mode = normal\n");
  EXPECT_TRUE(System_Controller("MCA").is_multi_container());
  EXPECT_FALSE(System_Controller("MCA").is_system_database("T01"));
  EXPECT_TRUE(System_Controller("MCA").is_system_database("SYSTEMDB"));
  EXPECT_FALSE(System_Controller("MCB").is_multi_container());
  EXPECT_TRUE(System_Controller("MCB").is_system_database("ANY"));
  EXPECT_FALSE(System_Controller("NOFILE").is_multi_container());
  EXPECT_FALSE(System_Controller("MCC").is_multi_container()) << "HANA 1.0 writes no [multidb]";
  EXPECT_EQ("", log_.text()) << "only a malformed file logs";
  write_global_ini("MCD", "[multidb]\nmode = multidb\nmode = singledb\n");
  EXPECT_FALSE(System_Controller("MCD").is_multi_container());
  EXPECT_EQ(0u, log_.text().find("Failed to parse /usr/sap/MCD/SYS/global/hdb/custom/config/global.ini: "))
      << log_.text();
}

// Root runs hdbsrvutil, hdbsql and HDB from the directories a start service
// names: only the system's own start service may name them.
TEST_F(Hana_Control_Test, ImpostorsOfTheStartServiceAreIgnored) {
  install("ABC", "--instance 1 --tenants T01");
  ASSERT_EQ(0, sim("stop-service ABC").rc);
  Sim_Result impostor = sim("impostor ABC --user nobody --env DIR_EXECUTABLE=/usr/sap/ABC/HDB01/exe/../../evil");
  ASSERT_EQ(0, impostor.rc) << impostor.out;
  const std::string pid = impostor.out.substr(0, impostor.out.find('\n'));
  const std::string ignored = "Ignoring start service process " + pid + ", it does not run as abcadm\n";
  Instance_Controller control("ABC");
  Instance_Controller::Instance_State state;
  std::string dir;
  EXPECT_FALSE(control.get_state(1, state));
  EXPECT_EQ(Instance_Controller::INSTANCE_STATE_STOPPED, state) << "an impostor is no start service";
  EXPECT_FALSE(control.get_instance_dir("HDB01", dir, false));
  EXPECT_EQ(ignored + ignored + "Failed to get ABC HDB01 instance env\n", log_.text());

  // The real one, started after the impostor, is found behind it.
  ASSERT_EQ(0, sim("start-service ABC").rc);
  log_.clear();
  std::vector<System_Instance_Info> infos;
  ASSERT_TRUE(System_Instance_Lister().list(infos));
  ASSERT_EQ(1u, infos.size());
  EXPECT_EQ("/usr/sap/ABC/HDB01/exe", infos[0].dir_executable);
  HANA_Env_Value env;
  EXPECT_TRUE(Environ_Getter::instance()->get(std::string("ABC"), env));
  EXPECT_EQ("/usr/sap/ABC/HDB01", env.instance_dir);
  EXPECT_TRUE(control.get_state(1, state));
  EXPECT_EQ(ignored + ignored + ignored, log_.text());
  EXPECT_EQ(1u, calls("ABC", "hdbsrvutil").size());

  // A directory that others may write makes the real one untrusted as well.
  ASSERT_EQ(0, ::chmod("/usr/sap/ABC/SYS/exe/hdb", 0775));
  log_.clear();
  infos.clear();
  EXPECT_TRUE(System_Instance_Lister().list(infos));
  EXPECT_TRUE(infos.empty());
  EXPECT_NE(std::string::npos, log_.text().find(", '/usr/sap/ABC/SYS/exe/hdb' is writable by others than its owner\n"))
      << log_.text();
}

TEST_F(Hana_Control_Test, SystemsWhoseNamesOverlapAreKeptApart) {
  // "HDB" occurs in every instance path of ABC: /usr/sap/ABC/HDB01/...
  install("ABC", "--instance 1 --tenants T01");
  install("HDB", "--instance 2 --tenants T02 --no-service --stopped");
  HANA_Env_Value env;
  EXPECT_FALSE(Environ_Getter::instance()->get(std::string("HDB"), env));
  EXPECT_EQ("", env.sid);
  Instance_Controller::Instance_State state;
  EXPECT_FALSE(Instance_Controller("HDB").get_state(1, state)) << "ABC's HDB01 is not HDB's";
  ASSERT_EQ(0, sim("start-service HDB").rc);
  EXPECT_TRUE(Environ_Getter::instance()->get(std::string("HDB"), env));
  EXPECT_EQ("HDB", env.sid);
  EXPECT_EQ(2, env.instance_number);
}

TEST_F(Hana_Control_Test, InstanceLinkedIntoASharedTreeIsTrusted) {
  install("ABC", "--instance 3 --tenants T01 --shared-root /usr/sap/hana_shared");
  std::vector<System_Instance_Info> infos;
  ASSERT_TRUE(System_Instance_Lister().list(infos));
  ASSERT_EQ(1u, infos.size());
  EXPECT_EQ("/usr/sap/ABC/HDB03/exe", infos[0].dir_executable);
  EXPECT_EQ("2.00.070.00.1700000000", infos[0].system_info.version) << "hdbsrvutil ran through the links";
  Instance_Controller control("ABC");
  ASSERT_TRUE(control.stop("HDB03"));
  ASSERT_TRUE(control.start("HDB03"));
  EXPECT_EQ("", log_.text());

  // The shared tree is checked where the links lead.
  ASSERT_EQ(0, ::chmod("/usr/sap/hana_shared/ABC", 0777));
  infos.clear();
  EXPECT_TRUE(System_Instance_Lister().list(infos));
  EXPECT_TRUE(infos.empty());
  EXPECT_NE(std::string::npos, log_.text().find(", '/usr/sap/hana_shared/ABC' is writable by others than its owner\n"))
      << log_.text();
}
