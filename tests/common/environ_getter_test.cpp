#include "common/environ_getter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "fake_process.h"
#include "log_capture.h"

namespace {

using sap_hana::Environ_Getter;
using sap_hana::HANA_Env_Value;
using test_support::Fake_Process;

class Environ_Getter_Test : public ::testing::Test {
 protected:
  // A SID no real or concurrently tested system uses; /usr/sap/<sid> does not exist here.
  std::string sid_ = "NOSID" + std::to_string(::getpid());
  Log_Capture log_;

  std::string start_service_cmd() const {
    return "/usr/sap/" + sid_ + "/HDB00/exe/sapstartsrv pf=/usr/sap/" + sid_ + "/SYS/profile/" + sid_ +
           "_HDB00_envhost -D -u nosidadm";
  }
};

TEST_F(Environ_Getter_Test, ReadsEveryFieldAndTinstanceWinsOverInstanceDir) {
  Fake_Process hana("hdbindexserver",
                    {"DIR_EXECUTABLE=/usr/sap/HDB/HDB07/exe", "HOSTNAME=hana1", "DIR_INSTANCE=/usr/sap/HDB/HDB07",
                     "USER=hdbadm", "TINSTANCE=02", "SAPSYSTEMNAME=HDB", "DIR_HOME=/usr/sap/HDB/home", "X=1"});
  HANA_Env_Value value;
  value.trace_dir = "kept";
  value.landscape_id = "kept too";
  ASSERT_TRUE(Environ_Getter::instance()->get(hana.pid(), value));
  EXPECT_EQ("/usr/sap/HDB/HDB07/exe", value.dir_executable);
  EXPECT_EQ("hana1", value.hostname);
  EXPECT_EQ("/usr/sap/HDB/HDB07", value.instance_dir);
  EXPECT_EQ("hdbadm", value.user);
  EXPECT_EQ(2, value.instance_number);
  EXPECT_EQ("HDB", value.sid);
  EXPECT_EQ("kept", value.trace_dir);
  EXPECT_EQ("kept too", value.landscape_id);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Environ_Getter_Test, InstanceNumberFromInstanceDirAndLaterEntriesWin) {
  Fake_Process hana("hdbnameserver", {"SAPSYSTEMNAME=OLD", "DIR_INSTANCE=/hana/HDB/HDB00", "SAPSYSTEMNAME=NEW"});
  HANA_Env_Value value;
  value.instance_number = 55;
  ASSERT_TRUE(Environ_Getter::instance()->get(hana.pid(), value));
  EXPECT_EQ(0, value.instance_number);
  EXPECT_EQ("NEW", value.sid);
  EXPECT_EQ("", value.hostname);
  EXPECT_EQ("", value.user);
}

TEST_F(Environ_Getter_Test, LastHdbDigitsOfInstanceDirCount) {
  Fake_Process hana("hdbnameserver", {"DIR_INSTANCE=/hana/HDB11/HDB42/sub"});
  HANA_Env_Value value;
  ASSERT_TRUE(Environ_Getter::instance()->get(hana.pid(), value));
  EXPECT_EQ(42, value.instance_number);
}

TEST_F(Environ_Getter_Test, UnreadableTinstanceFallsBackToInstanceDir) {
  // A garbled TINSTANCE must not pass for instance 0.
  Fake_Process with_dir("hdbnameserver", {"TINSTANCE=x1", "DIR_INSTANCE=/usr/sap/HDB/HDB03"});
  HANA_Env_Value value;
  ASSERT_TRUE(Environ_Getter::instance()->get(with_dir.pid(), value));
  EXPECT_EQ(3, value.instance_number);

  Fake_Process without_dir("hdbnameserver", {"TINSTANCE=99999"});
  HANA_Env_Value fresh;
  EXPECT_FALSE(Environ_Getter::instance()->get(without_dir.pid(), fresh));
  EXPECT_EQ(std::vector<std::string>{"Failed to get instance number\n"}, log_.lines());
}

TEST_F(Environ_Getter_Test, FailsWithoutInstanceNumber) {
  Fake_Process hana("hdbnameserver", {"DIR_INSTANCE=/usr/sap/HDB/HDBXY", "SAPSYSTEMNAME=HDB"});
  HANA_Env_Value value;
  EXPECT_FALSE(Environ_Getter::instance()->get(hana.pid(), value));
  EXPECT_EQ(std::vector<std::string>{"Failed to get instance number\n"}, log_.lines());
  EXPECT_EQ("HDB", value.sid) << "partial value stays as read";
}

TEST_F(Environ_Getter_Test, RefusesPidZeroAndEndedProcess) {
  HANA_Env_Value value;
  EXPECT_FALSE(Environ_Getter::instance()->get(pid_t(0), value));
  auto gone = std::make_unique<Fake_Process>("hdbnameserver", std::vector<std::string>{"TINSTANCE=01"});
  pid_t pid = gone->pid();
  gone.reset();
  EXPECT_FALSE(Environ_Getter::instance()->get(pid, value));
  EXPECT_EQ((std::vector<std::string>{"Need to get environment variables under database users\n",
                                      "Failed to open '/proc/" + std::to_string(pid) + "/environ'\n"}),
            log_.lines());
}

TEST_F(Environ_Getter_Test, BySidTrustsNoProcessThatOnlyLooksLikeTheStartService) {
  // Command lines that match, but neither the program is that of a HANA SID
  // nor does the process run as its <sid>adm (trusted ones: the sandbox tests).
  Fake_Process first(start_service_cmd(), {"SAPSYSTEMNAME=" + sid_, "DIR_INSTANCE=/usr/sap/X/HDB00", "USER=one"});
  Fake_Process second(start_service_cmd(), {"SAPSYSTEMNAME=" + sid_, "DIR_INSTANCE=/usr/sap/X/HDB00", "USER=two"});
  Fake_Process unrelated("/usr/sap/" + sid_ + "/HDB00/exe/hdbnameserver", {"TINSTANCE=01", "USER=three"});
  HANA_Env_Value value;
  EXPECT_FALSE(Environ_Getter::instance()->get(sid_, value));
  EXPECT_EQ("", value.user);
  const std::string reason = ", its program is not HANA's start service\n";
  EXPECT_EQ((std::vector<std::string>{
                "Ignoring start service process " + std::to_string(std::min(first.pid(), second.pid())) + reason,
                "Ignoring start service process " + std::to_string(std::max(first.pid(), second.pid())) + reason,
                "Failed to get HANA environment value\n"}),
            log_.lines());
}

TEST_F(Environ_Getter_Test, BySidFailures) {
  HANA_Env_Value value;
  std::vector<std::string> dirs;
  EXPECT_FALSE(Environ_Getter::instance()->get(sid_, value));
  EXPECT_FALSE(Environ_Getter::instance()->get_trace_dirs(sid_, dirs));
  EXPECT_EQ(
      (std::vector<std::string>{"Failed to list services to get environment value\n",
                                "Failed to list services to get environment value\n", "Failed to get trace dirs\n"}),
      log_.lines());
  EXPECT_TRUE(dirs.empty());
  log_.clear();

  // Another system's start service, whose path merely contains the SID.
  Fake_Process other("/usr/sap/OTH/HDB00/exe/sapstartsrv pf=/usr/sap/OTH/SYS/profile/" + sid_ + "_HDB00_h -D",
                     {"SAPSYSTEMNAME=" + sid_, "TINSTANCE=00"});
  EXPECT_FALSE(Environ_Getter::instance()->get(sid_, value));
  EXPECT_EQ(std::vector<std::string>{"Failed to list services to get environment value\n"}, log_.lines());
}

TEST_F(Environ_Getter_Test, EmptySidIsAPreconditionFailure) {
  HANA_Env_Value value;
  std::string id;
  EXPECT_FALSE(Environ_Getter::instance()->get(std::string(), value));
  EXPECT_FALSE(Environ_Getter::get_landscape_id(nullptr, id));
  ASSERT_EQ(2u, log_.lines().size());
  EXPECT_EQ(0u, log_.lines()[0].find("Unexpected error in ")) << log_.lines()[0];
  EXPECT_NE(std::string::npos, log_.lines()[0].find(", sid is NULL or \"\":\n"));
  EXPECT_EQ(LM_EMERGENCY, log_.priorities()[1]);
}

TEST_F(Environ_Getter_Test, SingletonCanBeClosedAndRecreated) {
  Environ_Getter* getter = Environ_Getter::instance();
  EXPECT_EQ(getter, Environ_Getter::instance());
  Environ_Getter_fini();
  ASSERT_NE(nullptr, Environ_Getter::instance());
  Environ_Getter::close_instance();
}

}  // namespace
