// Sessions built from the agent's own configuration under
// /etc/opt/corvane/strovix3/agent (a private tmpfs in the sandbox), against
// the development backupd which writes that configuration.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "agent/config/agent_config.h"
#include "agent/config/host_manager.h"
#include "agent/http/http_session_factory.h"
#include "agent/backupd/read_first_catalog.h"
#include "agent/config/websocket_options.h"
#include "backupd_fixture.h"
#include "log_capture.h"

namespace {

class Agent_Conf_Session : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
    ::setenv("STROVIX3_BACKOFF_SCALE", "0.001", 1);
    ASSERT_NE(::access((dir_ + "/agent.conf").c_str(), F_OK), 0) << "another test left an agent.conf";
  }
  void TearDown() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) return;
    server_.stop();
    ::unlink((dir_ + "/agent.conf").c_str());
    ::unlink((dir_ + "/access_key").c_str());
    // Forget this configuration in the process-wide singletons.
    Host_Manager::instance()->load(dir_);
    WebSocket_Options::instance()->load(dir_);
  }
  void start(bool ssl) {
    Backupd_Server::Options o;
    o.agent_conf_dir = dir_;
    if (ssl) {
      const std::string cmd =
          "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
          " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
          certs_.file("c.key") + "' -out '" + certs_.file("c.pem") + "' >/dev/null 2>&1";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
      o.ssl_cert = certs_.file("c.pem");
      o.ssl_key = certs_.file("c.key");
    }
    ASSERT_TRUE(server_.start(o));
    ASSERT_TRUE(Host_Manager::instance()->load(dir_));
    ASSERT_TRUE(WebSocket_Options::instance()->load(dir_));
    ASSERT_TRUE(server_.add_resource("res-1", json_value{{"instances", json_value::array({"x"})}}));
  }

  const std::string dir_ = Agent_Config::directory();
  Temp_Dir certs_;
  Backupd_Server server_;
};

TEST_F(Agent_Conf_Session, ConfigurationFilesAndPlainSession) {
  start(false);
  struct stat st;
  ASSERT_EQ(::stat((dir_ + "/agent.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(::stat((dir_ + "/access_key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(WebSocket_Options::instance()->port(), server_.port());

  HTTP_Session_Ptr s = Common_HTTP_Session_Factory::create(3, nullptr, 0);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->headers().has("X-Access-Key"));
  json_value record;
  ASSERT_TRUE(read_first_catalog("/d2/r/v2/resources?uuid=res-1", record, 10, -1));
  EXPECT_EQ(record["uuid"], "res-1");
  json_value reqs = server_.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0]["host_uuid"], server_.host_uuid());
}

TEST_F(Agent_Conf_Session, HttpsSessionVerifiesWithTheConfiguredCaFile) {
  start(true);
  EXPECT_TRUE(WebSocket_Options::instance()->ssl());
  EXPECT_EQ(WebSocket_Options::instance()->ca_file(), certs_.file("c.pem"));
  json_value record;
  ASSERT_TRUE(read_first_catalog("/d2/r/v2/resources?uuid=res-1", record, 10, -1));
  EXPECT_EQ(record["instances"][0], "x");

  // The same server through the explicit factory with the defaults.
  HTTP_Session_Settings settings;
  settings.host = "127.0.0.1";
  settings.port = server_.port();
  settings.ssl = true;
  HTTP_Session_Ptr s = HTTP_Session_Factory::create(settings);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->options().ca_file, certs_.file("c.pem"));
}

TEST_F(Agent_Conf_Session, NoConfigurationNoSession) {
  Log_Capture log;
  WebSocket_Options::instance()->load(dir_);
  EXPECT_FALSE(Common_HTTP_Session_Factory::create(3, nullptr, 0));
  json_value record;
  EXPECT_FALSE(read_first_catalog("/d2/r/v2/resources?uuid=res-1", record, 10, -1));
}

}  // namespace
