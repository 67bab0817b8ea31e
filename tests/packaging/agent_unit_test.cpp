// The agent's systemd unit against the stop timeouts of the agent and its
// runs: the service manager must never kill the agent while it still waits.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "agent/job/stop_timeouts.h"

namespace {

std::map<std::string, std::string> service_section(const std::string& path) {
  std::ifstream in(path);
  std::map<std::string, std::string> keys;
  std::string line, section;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') section = line;
    auto eq = line.find('=');
    if (section == "[Service]" && eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

}  // namespace

TEST(Agent_Unit, StopTimeoutCoversTheAgentsWaitAndLeavesChildrenToTheAgent) {
  static_assert(
      Stop_Timeouts::kAgentStopWaitSeconds >= Stop_Timeouts::kRunCancelWaitSeconds + Stop_Timeouts::kRunCleanupSeconds,
      "the agent waits for a run's cancel and clean-up");
  auto keys = service_section(std::string(HANA_SOURCE_DIR) + "/packaging/strovix3-agent.service");
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(std::to_string(Stop_Timeouts::kServiceStopTimeoutSeconds), keys["TimeoutStopSec"]);
  EXPECT_GT(Stop_Timeouts::kServiceStopTimeoutSeconds, Stop_Timeouts::kAgentStopWaitSeconds);
  // SIGTERM to the agent only: a running hdbsql must not die with it before
  // the agent has cancelled what it runs.
  EXPECT_EQ("mixed", keys["KillMode"]);
}
