// The instance handler against simulated HANA systems: probing, state and
// log-on.

#include <sys/inotify.h>
#include <unistd.h>

#include <map>

#include "hana_sim_fixture.h"
#include "instance/hana_instance_handler.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

// Counts the openings of files, so a test sees how often a configuration
// file was read.
class Open_Counter {
 public:
  Open_Counter() : fd_(::inotify_init1(IN_NONBLOCK)) {}
  ~Open_Counter() { ::close(fd_); }
  void watch(const std::string& path) { watches_[::inotify_add_watch(fd_, path.c_str(), IN_OPEN)] = path; }
  std::map<std::string, int> counts() {
    std::map<std::string, int> result;
    for (const auto& w : watches_) result[w.second] = 0;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->mask & IN_OPEN) ++result[watches_[event->wd]];
        p += sizeof(inotify_event) + event->len;
      }
    }
    return result;
  }

 private:
  int fd_;
  std::map<int, std::string> watches_;
};

std::string global_ini(const std::string& sid) {
  return "/usr/sap/" + sid + "/SYS/global/hdb/custom/config/global.ini";
}

class Hana_Instance_Handler_Test : public Hana_Sim_Test {
 protected:
  HANA_Instance_Handler handler_;
};

}  // namespace

TEST_F(Hana_Instance_Handler_Test, ProbeRegistersEveryInstanceReadingEachSystemsConfigurationOnce) {
  install("ABC", "--instance 1 --tenants T01 --version 2.00.070.00.1700000000");
  install("XYZ", "--instance 3 --single --version 2.00.059.00.1650000000");

  std::map<std::string, std::shared_ptr<Instance>> instances;
  instances["OLD_HDB09"] = std::make_shared<Instance>("hana", "OLD_HDB09");
  instances["XYZ_HDB03"] = std::make_shared<Instance>("hana", "XYZ_HDB03");
  Open_Counter opens;
  opens.watch(global_ini("ABC"));
  opens.watch(global_ini("XYZ"));
  ASSERT_EQ(0, handler_.probe_instances(instances));

  EXPECT_EQ((std::map<std::string, int>{{global_ini("ABC"), 1}, {global_ini("XYZ"), 1}}), opens.counts());
  ASSERT_EQ(3u, instances.size());
  EXPECT_TRUE(instances.count("OLD_HDB09")) << "other entries stay";
  json_value abc1 = {{"sid", "ABC"},           {"version", "2.00.070.00.1700000000"},
                     {"instance_number", 1},   {"instance_name", "HDB01"},
                     {"localhost", "h1"},      {"dir_executable", "/usr/sap/ABC/HDB01/exe"},
                     {"multi_container", true}};
  EXPECT_EQ(abc1, instances["ABC_HDB01"]->options());
  EXPECT_EQ("hana", instances["ABC_HDB01"]->type());
  EXPECT_EQ("ABC_HDB01", instances["ABC_HDB01"]->name());
  EXPECT_EQ(false, instances["XYZ_HDB03"]->options()["multi_container"]) << "replaced by the probe";
  EXPECT_EQ("2.00.059.00.1650000000", instances["XYZ_HDB03"]->options()["version"]);
  EXPECT_EQ(1u, calls("ABC", "hdbsrvutil").size());
}

TEST_F(Hana_Instance_Handler_Test, ProbeOfAHostWithoutStartedInstancesFindsNone) {
  std::map<std::string, std::shared_ptr<Instance>> instances;
  EXPECT_EQ(0, handler_.probe_instances(instances));
  EXPECT_TRUE(instances.empty());
  EXPECT_EQ("", log_.text());
}

TEST_F(Hana_Instance_Handler_Test, StateIsOpenOnlyForARunningInstanceThatIsNoReplicationSecondary) {
  install("ABC", "--instance 1 --tenants T01");
  register_instance("ABC", 1, true);
  std::string state;
  EXPECT_EQ("open", handler_.get_state("ABC_HDB01", state)) << "no replication settings";

  ASSERT_EQ(0, sim("ini ABC global.ini system_replication mode primary").rc);
  ASSERT_EQ(0, sim("ini ABC global.ini system_replication actual_mode ''").rc);
  ASSERT_EQ(0, sim("ini ABC global.ini system_replication operation_mode logreplay").rc);
  EXPECT_EQ("open", handler_.get_state("ABC_HDB01", state)) << "primary";
  ASSERT_EQ(0, sim("ini ABC global.ini system_replication actual_mode syncmem").rc);
  EXPECT_EQ("error", handler_.get_state("ABC_HDB01", state)) << "secondary";
  ASSERT_EQ(0, sim("ini ABC global.ini system_replication actual_mode primary").rc);
  ASSERT_EQ(0, sim("stop ABC").rc);
  EXPECT_EQ("error", handler_.get_state("ABC_HDB01", state)) << "stopped";

  EXPECT_EQ("error", handler_.get_state("ABC_HDB07", state)) << "not registered";
  EXPECT_EQ("error", handler_.get_state(nullptr, state));
}

TEST_F(Hana_Instance_Handler_Test, LogonChecksTheCredentialsWithConnectionStatus) {
  install("ABC", "--instance 1 --tenants T01");
  register_instance("ABC", 1, true);
  ASSERT_EQ(0, sim("calls ABC --clear").rc);

  EXPECT_EQ(Instance_Handler::E_OK, handler_.logon("ABC_HDB01", "SYSTEM", "Manager1", nullptr));
  EXPECT_EQ(Instance_Handler::E_INVALID_USERNAME_OR_PASSWORD, handler_.logon("ABC_HDB01", "SYSTEM", "wrong", nullptr));
  auto log = calls("ABC", "hdbsql");
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("\\s", log[0]["statement"]);
  EXPECT_EQ("SYSTEM", log[1]["db_user"]);
  EXPECT_EQ("Failed to execute '\\s'\nFailed to login HANA database instance 'ABC_HDB01'\n", log_.text());
  EXPECT_EQ(std::string::npos, log_.text().find("wrong"));

  log_.clear();
  EXPECT_EQ(Instance_Handler::E_OTHER, handler_.logon("ABC_HDB07", "SYSTEM", "Manager1", nullptr));
  EXPECT_EQ("", log_.text()) << "an unknown instance is no message";
  EXPECT_EQ(Instance_Handler::E_OTHER, handler_.logon("ABC_HDB01", "", "Manager1", nullptr));
  EXPECT_NE(std::string::npos, log_.text().find("username is NULL or \"\":\n"));
  EXPECT_EQ(2u, calls("ABC", "hdbsql").size());
}
