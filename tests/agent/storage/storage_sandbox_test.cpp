// The pool lookup and the job activity records on their production paths:
// the agent's configuration under /etc/opt/corvane/strovix3/agent and the
// activity directory under /var/opt/corvane/strovix3/agent (private tmpfs
// trees in the sandbox).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "agent/config/agent_config.h"
#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/config/host_manager.h"
#include "agent/backupd/pool_utils.h"
#include "agent/config/websocket_options.h"
#include "backupd_fixture.h"
#include "log_capture.h"

namespace {

const char* const pool_uuid = "7d3e1c55-2222-4333-8444-555566667777";

class Agent_Storage_Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
    ::setenv("STROVIX3_BACKOFF_SCALE", "0.001", 1);
  }
  void TearDown() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) return;
    server_.stop();
    ::unlink((dir_ + "/agent.conf").c_str());
    ::unlink((dir_ + "/access_key").c_str());
    Host_Manager::instance()->load(dir_);
    WebSocket_Options::instance()->load(dir_);
    std::system("rm -rf /var/opt/corvane/strovix3/agent/act");
  }

  const std::string dir_ = Agent_Config::directory();
  Backupd_Server server_;
};

TEST_F(Agent_Storage_Sandbox, PoolLookupThroughTheAgentsOwnConfiguration) {
  Backupd_Server::Options options;
  options.agent_conf_dir = dir_;
  ASSERT_TRUE(server_.start(options));
  ASSERT_TRUE(Host_Manager::instance()->load(dir_));
  ASSERT_TRUE(WebSocket_Options::instance()->load(dir_));
  ASSERT_TRUE(server_.add_pool(json_value{{"uuid", pool_uuid}, {"name", "p"}, {"url", "/pools/p"}}));

  Pool_Info info;
  ASSERT_EQ(1, get_pool_info(pool_uuid, info));
  EXPECT_EQ("/pools/p", info.url);
  EXPECT_EQ(COMPR_NONE, info.compression);
}

TEST_F(Agent_Storage_Sandbox, PoolLookupWithoutConfigurationFails) {
  Log_Capture log;
  Pool_Info info;
  EXPECT_EQ(0, get_pool_info(pool_uuid, info));
  EXPECT_NE(std::string::npos,
            log.text().find(std::string("Failed to get pool ") + pool_uuid + " info: no session to backupd\n"));
}

TEST_F(Agent_Storage_Sandbox, ActivityRecordsLiveInTheAgentsActivityDirectory) {
  const std::string uid = "0b9f7e1c-3d2a-4e5f-8a9b-0c1d2e3f4a5b";
  Agent_Job_Activity_Handle job;
  ASSERT_EQ(0, job.open(uid, O_RDWR | O_CREAT));
  job->state = JOB_STATE_SKIPPED;
  ASSERT_EQ(0, job.sync());

  const std::string path = "/var/opt/corvane/strovix3/agent/act/" + uid + ".act";
  EXPECT_EQ(path, Agent_Job_Activity_Handle::path_of(uid));
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(static_cast<off_t>(sizeof(Job_Activity)), st.st_size);
  EXPECT_EQ(0644u, st.st_mode & 07777);

  Agent_Job_Activity_Handle reader;
  ASSERT_EQ(0, reader.open(uid, 0x80000));
  EXPECT_EQ(JOB_STATE_SKIPPED, reader->state);
}

}  // namespace
