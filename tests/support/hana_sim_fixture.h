#ifndef TESTS_SANDBOXED_HANA_SIM_FIXTURE_H
#define TESTS_SANDBOXED_HANA_SIM_FIXTURE_H

// Drives the HANA simulator (tools/hana_sim/hana-sim) from GoogleTest cases
// that run inside tests/sandbox/run, and registers simulated instances in
// the agent's instance registry.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "agent/config/instance_manager.h"
#include "agent/json/json_file.h"
#include "agent/base/secure_string.h"
#include "common/hdbsql_executor.h"
#include "log_capture.h"

namespace hana_sim_test {

/// Output and exit code of one simulator command.
struct Sim_Result {
  int rc = -1;
  std::string out;
};

inline Sim_Result sim(const std::string& args) {
  Sim_Result r;
  std::string cmd = std::string(std::getenv("HANA_SOURCE_DIR")) + "/tools/hana_sim/hana-sim " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = ::pclose(p);
  r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

/// The simulator's call log of a system, one JSON object per call.
inline std::vector<json_value> calls(const std::string& sid, const std::string& program = "") {
  Sim_Result r = sim("calls " + sid + (program.empty() ? "" : " --program " + program));
  std::vector<json_value> result;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    json_value v;
    if (loads_json(line, v)) result.push_back(v);
  }
  return result;
}

/// The statements hdbsql was given, in call order.
inline std::vector<std::string> statements(const std::string& sid) {
  std::vector<std::string> result;
  for (const auto& c : calls(sid, "hdbsql")) result.push_back(c.value("statement", std::string()));
  return result;
}

/// Base fixture: skips outside the sandbox, captures the log, removes every
/// simulated system afterwards.
class Hana_Sim_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
  }
  void TearDown() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) return;
    sim("uninstall --all");
    for (const auto& name : registered_) Instance_Manager::instance()->remove("hana", name);
  }

  /// Installs a system; `args` are the install options after the SID.
  void install(const std::string& sid, const std::string& args) {
    Sim_Result r = sim("install " + sid + " --host h1 --password Manager1 " + args);
    ASSERT_EQ(0, r.rc) << r.out;
  }

  /// Registers an instance as the agent's instance handler would.
  void register_instance(const std::string& sid, unsigned number, bool multi_container) {
    char name[8];
    std::snprintf(name, sizeof name, "HDB%02u", number);
    json_value options = {{"sid", sid},
                          {"version", "2.00.070.00.1700000000"},
                          {"instance_number", number},
                          {"instance_name", name},
                          {"localhost", "h1"},
                          {"dir_executable", "/usr/sap/" + sid + "/" + name + "/exe"},
                          {"multi_container", multi_container}};
    ASSERT_TRUE(Instance_Manager::instance()->add(Instance("hana", sid + "_" + name, options)));
    registered_.push_back(sid + "_" + name);
  }

  sap_hana::HDBSQL_Executor executor(const std::string& sid, const std::string& instance_name,
                                     const std::string& database = "", const char* password = "Manager1") {
    sap_hana::HDBSQL_Executor e;
    EXPECT_TRUE(e.init(sid, instance_name, database, "SYSTEM", secure_string(password)));
    return e;
  }

  Log_Capture log_;
  std::vector<std::string> registered_;
};

}  // namespace hana_sim_test

#endif
