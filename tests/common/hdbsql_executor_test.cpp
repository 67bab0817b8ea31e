// HDBSQL_Executor against a recording stand-in for hdbsql, and the
// instance registry it initialises from.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/config/instance_manager.h"
#include "agent/json/json_file.h"
#include "common/hdbsql_executor.h"
#include "common/hdbsql_general_text_handler.h"
#include "log_capture.h"
#include "temp_dir.h"

using namespace sap_hana;

namespace {

const char* kFakeHdbsql =
    "#!/bin/sh\n"
    "d=$(dirname \"$0\")\n"
    "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$d/argv\"\n"
    "printf '%s' \"$LD_LIBRARY_PATH\" > \"$d/env\"\n"
    "cat \"$d/output\" 2>/dev/null\n"
    "sleep $(cat \"$d/sleep\" 2>/dev/null || echo 0)\n"
    "exit $(cat \"$d/exit\" 2>/dev/null || echo 0)\n";

// hdbuserstore: its arguments and what it read from its input.
const char* kFakeUserstore =
    "#!/bin/sh\n"
    "d=$(dirname \"$0\")\n"
    "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$d/store_argv\"\n"
    "cat > \"$d/store_input\"\n";

class HDBSQL_Executor_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.write("hdbsql", kFakeHdbsql).c_str(), 0755);
    ::chmod(dir_.write("hdbuserstore", kFakeUserstore).c_str(), 0755);
    saved_registry_ = Instance_Manager::instance()->registry_path();
    Instance_Manager::instance()->registry_path(dir_.file("registry/instances.json"));
  }
  void TearDown() override { Instance_Manager::instance()->registry_path(saved_registry_); }

  json_value options(unsigned number, bool multi) {
    return json_value{{"sid", "HDB"},
                      {"version", "2.00.070.00.1700000000"},
                      {"instance_number", number},
                      {"instance_name", "HDB07"},
                      {"localhost", "h1"},
                      {"dir_executable", dir_.path()},
                      {"multi_container", multi}};
  }

  std::vector<std::string> argv(const char* file = "argv") {
    std::ifstream in(dir_.file(file), std::ios::binary);
    std::vector<std::string> args;
    std::string a;
    while (std::getline(in, a, '\0')) args.push_back(a);
    return args;
  }

  Database_Info record(ACE_UINT16 number, bool multi, const std::string& database) {
    Database_Info info;
    info.name = database;
    info.instance_info.instance_number = number;
    info.instance_info.dir_executable = dir_.path();
    info.instance_info.system_info.sid = "HDB";
    info.instance_info.system_info.localhost = "h1";
    info.instance_info.system_info.multi_container = multi;
    return info;
  }

  Temp_Dir dir_;
  std::string saved_registry_;
  Log_Capture log_;
};

}  // namespace

TEST_F(HDBSQL_Executor_Test, InitRefusesMissingCredentialsWithItsMessage) {
  HDBSQL_Executor e;
  EXPECT_FALSE(e.init(record(0, false, ""), "SYSTEM", secure_string()));
  EXPECT_FALSE(e.init(record(0, false, ""), "", secure_string("pw")));
  EXPECT_EQ("Lack of username or password\nLack of username or password\n", log_.text());
  log_.clear();
  // A user store key needs no password.
  EXPECT_TRUE(HDBSQL_Executor().init(record(0, false, ""), "@BACKUP", secure_string()));
  EXPECT_FALSE(HDBSQL_Executor().init(record(0, false, ""), "@", secure_string()));
  log_.clear();
  EXPECT_FALSE(e.is_initialized());
  EXPECT_EQ("HDBSQL executor need to be initialized first.\n", log_.text());
  log_.clear();
  EXPECT_FALSE(e.init("", "HDB00", "", "SYSTEM", secure_string("pw")));
  EXPECT_FALSE(e.init("HDB_HDB00", "", "SYSTEM", secure_string()));
  EXPECT_EQ(
      "Insufficient information to initialize the hdbsql executor.\n"
      "Insufficient information to initialize the hdbsql executor.\n",
      log_.text());
}

TEST_F(HDBSQL_Executor_Test, InitFromRegistryNeedsEveryOption) {
  HDBSQL_Executor e;
  EXPECT_FALSE(e.init("HDB", "HDB07", "", "SYSTEM", secure_string("pw")));
  EXPECT_EQ("", log_.text()) << "an unregistered instance fails silently";

  json_value opts = options(7, true);
  opts.erase("multi_container");
  ASSERT_TRUE(Instance_Manager::instance()->add(Instance("hana", "HDB_HDB07", opts)));
  EXPECT_FALSE(e.init("HDB", "HDB07", "", "SYSTEM", secure_string("pw")));
  EXPECT_EQ("Failed to get instance info to initialize hdbsql executor\n", log_.text());

  log_.clear();
  opts = options(7, true);
  opts["instance_number"] = "7";  // wrong kind
  ASSERT_TRUE(Instance_Manager::instance()->add(Instance("hana", "HDB_HDB07", opts)));
  EXPECT_FALSE(e.init("HDB_HDB07", "", "SYSTEM", secure_string("pw")));
  EXPECT_EQ("Failed to get instance info to initialize hdbsql executor\n", log_.text());
}

TEST_F(HDBSQL_Executor_Test, CommandLineOfAMultiContainerInstanceWithoutDatabase) {
  ASSERT_TRUE(Instance_Manager::instance()->add(Instance("hana", "HDB_HDB07", options(7, true))));
  HDBSQL_Executor e;
  ASSERT_TRUE(e.init("HDB", "HDB07", "", "SYSTEM", secure_string("Pass word\"1'")));
  EXPECT_EQ(30713, e.port());
  EXPECT_EQ(dir_.file("hdbsql"), e.tool());
  ASSERT_TRUE(e.execute("\\s", ACE_Log_Msg_Callback_var()));
  // The password reaches hdbuserstore's prompt, never an argument vector;
  // hdbsql connects through the entry.
  const std::vector<std::string> args = argv();
  ASSERT_EQ(3u, args.size());
  EXPECT_EQ("-U", args[0]);
  EXPECT_EQ(0u, args[1].rfind("STROVIX3", 0)) << args[1];
  EXPECT_EQ("\\s", args[2]);
  EXPECT_EQ((std::vector<std::string>{"-i", "SET", args[1], "h1:30713", "SYSTEM"}), argv("store_argv"));
  std::ifstream input(dir_.file("store_input"));
  EXPECT_EQ("Pass word\"1'\n", std::string((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>()));
  // The same account again: the entry stands, hdbuserstore is not run.
  ::unlink(dir_.file("store_argv").c_str());
  ASSERT_TRUE(e.execute("\\s", ACE_Log_Msg_Callback_var()));
  EXPECT_TRUE(argv("store_argv").empty());
  std::ifstream env(dir_.file("env"));
  EXPECT_EQ(dir_.path(), std::string((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>()));
  EXPECT_EQ("", log_.text());
}

TEST_F(HDBSQL_Executor_Test, SingleContainerPortAndDatabaseArgument) {
  HDBSQL_Executor e;
  ASSERT_TRUE(e.init(record(7, false, "HDB"), "SYSTEM", secure_string("pw")));
  EXPECT_EQ(30715, e.port());
  ASSERT_TRUE(e.execute("select 1 from dummy", ACE_Log_Msg_Callback_var()));
  const std::vector<std::string> args = argv();
  EXPECT_EQ((std::vector<std::string>{"-U", args.at(1), "-d", "HDB", "select 1 from dummy"}), args);
  EXPECT_EQ("h1:30715", argv("store_argv").at(3));
  HDBSQL_Executor bad;
  EXPECT_FALSE(bad.init(record(100, false, ""), "SYSTEM", secure_string("pw")));

  // Initialised again for another instance, it runs that instance's hdbsql.
  Database_Info other = record(1, true, "");
  other.instance_info.dir_executable = "/usr/sap/XYZ/HDB01/exe";
  ASSERT_TRUE(e.init(other, "SYSTEM", secure_string("pw")));
  EXPECT_EQ("/usr/sap/XYZ/HDB01/exe/hdbsql", e.tool());
  EXPECT_EQ("", e.database());
  HDBSQL_Executor given("/opt/bin/hdbsql");
  ASSERT_TRUE(given.init(other, "SYSTEM", secure_string("pw")));
  EXPECT_EQ("/opt/bin/hdbsql", given.tool());
}

TEST_F(HDBSQL_Executor_Test, LongStatementsReachHdbsqlWhole) {
  HDBSQL_Executor e;
  ASSERT_TRUE(e.init(record(0, true, "T01"), "SYSTEM", secure_string("pw")));
  std::string sql = "SELECT * FROM M_BACKUP_CATALOG WHERE COMMENT = '";
  while (sql.size() < 3000) sql += "\"x y\" ";
  sql += "'";
  ASSERT_TRUE(e.execute(sql, ACE_Log_Msg_Callback_var()));
  auto args = argv();
  ASSERT_FALSE(args.empty());
  EXPECT_EQ(sql, args.back());
}

TEST_F(HDBSQL_Executor_Test, FailedStatementLogsTheStatementButNeverThePassword) {
  dir_.write("exit", "1");
  dir_.write("output", "* 10: authentication failed SQLSTATE: 28000\n");
  HDBSQL_Executor e;
  ASSERT_TRUE(e.init(record(0, true, ""), "SYSTEM", secure_string("Secret99")));
  struct Lines : Text_Process_Handler {
    int handle_stdout_line(const char* l, size_t n) override {
      lines.emplace_back(l, n);
      return 0;
    }
    std::vector<std::string> lines;
  } handler;
  EXPECT_FALSE(e.execute("\\s", &handler, ACE_Log_Msg_Callback_var()));
  EXPECT_EQ(std::vector<std::string>{"* 10: authentication failed SQLSTATE: 28000"}, handler.lines);
  EXPECT_EQ("Failed to execute '\\s'\n", log_.text());
  EXPECT_EQ(std::string::npos, log_.text().find("Secret99"));
}

TEST_F(HDBSQL_Executor_Test, HungShortStatementsAreEndedButBackupsAndRecoveriesAreNot) {
  dir_.write("sleep", "1.5");
  HDBSQL_Executor e;
  ASSERT_TRUE(e.init(record(0, true, ""), "SYSTEM", secure_string("pw")));
  EXPECT_EQ(HDBSQL_Executor::kDefaultTimeLimit, e.time_limit());
  e.time_limit(1);
  HDBSQL_General_Text_Handler h;
  EXPECT_FALSE(e.execute("ALTER SYSTEM STOP DATABASE T01", &h, ACE_Log_Msg_Callback_var()));
  EXPECT_EQ(0u, h.time_limit()) << "the handler keeps its own setting";
  EXPECT_NE(std::string::npos, log_.text().find(" did not end within 1 second(s), terminating it\n")) << log_.text();
  EXPECT_NE(std::string::npos, log_.text().find("Failed to execute 'ALTER SYSTEM STOP DATABASE T01'\n"));
  log_.clear();
  EXPECT_TRUE(e.execute("BACKUP DATA USING BACKINT('x')", &h, ACE_Log_Msg_Callback_var()));
  EXPECT_TRUE(e.execute(" recover data for T01 using backup_id 1 clear log", &h, ACE_Log_Msg_Callback_var()));
  h.time_limit(5);  // the caller's own limit wins over the default
  EXPECT_TRUE(e.execute("select 1 from dummy", &h, ACE_Log_Msg_Callback_var()));
  EXPECT_EQ("", log_.text());
}

TEST_F(HDBSQL_Executor_Test, ExecuteRefusesBadCallsWithTheirMessages) {
  HDBSQL_Executor e;
  HDBSQL_General_Text_Handler h;
  EXPECT_FALSE(e.execute("select 1 from dummy", &h, ACE_Log_Msg_Callback_var()));
  EXPECT_EQ("HDBSQL executor need to be initialized first.\nFailed to execute sql 'select 1 from dummy'\n",
            log_.text());
  log_.clear();
  ASSERT_TRUE(e.init(record(0, true, ""), "SYSTEM", secure_string("pw")));
  EXPECT_FALSE(e.execute("", &h, ACE_Log_Msg_Callback_var()));
  EXPECT_EQ("Lack of sql\n", log_.text());
  log_.clear();
  EXPECT_FALSE(e.execute("select 1 from dummy", nullptr, ACE_Log_Msg_Callback_var()));
  EXPECT_NE(std::string::npos, log_.text().find(", handler is NULL:"));
}

TEST_F(HDBSQL_Executor_Test, CopiesCarryTheConnectionAndResultsReachTheHandler) {
  dir_.write("output", "VALUE\n\"normal\"\n1 row selected (overall time 2 msec)\n");
  HDBSQL_Executor original;
  ASSERT_TRUE(original.init(record(3, false, ""), "SYSTEM", secure_string("pw")));
  HDBSQL_Executor copy(original);
  HDBSQL_General_Text_Handler h;
  ASSERT_TRUE(copy.execute("SELECT VALUE from M_INIFILE_CONTENTS", &h, ACE_Log_Msg_Callback_var()));
  ASSERT_EQ(1u, h.get_values().size());
  EXPECT_EQ("normal", h.get_values()[0][h.get_key().at("VALUE")]);
  EXPECT_EQ(30315, copy.port());
  EXPECT_EQ("-U", argv().at(0));
}

TEST_F(HDBSQL_Executor_Test, RegistryKeepsAccountsPrivateAndSurvivesReplacement) {
  Instance_Manager* m = Instance_Manager::instance();
  ASSERT_TRUE(m->add(Instance("hana", "HDB_HDB07", options(7, true))));
  ASSERT_TRUE(m->set_account("hana", "HDB_HDB07", "u1", "SYSTEM", secure_string("pw1")));
  struct stat st;
  ASSERT_EQ(0, ::stat(m->registry_path().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // Registering the instance again (a new probe) keeps its accounts.
  ASSERT_TRUE(m->add(Instance("hana", "HDB_HDB07", options(7, false))));
  std::string user;
  secure_string password;
  ASSERT_EQ(0, m->get_account("hana", "HDB_HDB07", "u1", user, password, nullptr));
  EXPECT_EQ("SYSTEM", user);
  EXPECT_EQ("pw1", std::string(password.c_str()));
  EXPECT_EQ(-1, m->get_account("hana", "HDB_HDB07", "u2", user, password, nullptr));
  EXPECT_EQ(-1, m->get_account("hana", "OTHER", "u1", user, password, nullptr));

  auto instance = m->find("hana", "HDB_HDB07");
  ASSERT_TRUE(instance);
  bool multi = true;
  ASSERT_TRUE(instance->get_option("multi_container", multi));
  EXPECT_FALSE(multi);
  std::string not_a_string = "unchanged";
  EXPECT_FALSE(instance->get_option("instance_number", not_a_string));
  EXPECT_EQ("unchanged", not_a_string);

  ASSERT_TRUE(m->remove("hana", "HDB_HDB07"));
  EXPECT_FALSE(m->find("hana", "HDB_HDB07"));
  EXPECT_TRUE(m->remove("hana", "HDB_HDB07"));
  EXPECT_EQ("", log_.text());
}

TEST_F(HDBSQL_Executor_Test, MalformedRegistryIsNeitherReadNorOverwritten) {
  Instance_Manager* m = Instance_Manager::instance();
  ::mkdir(dir_.file("registry").c_str(), 0755);
  dir_.write("registry/instances.json", "{\"hana\": [");
  EXPECT_FALSE(m->find("hana", "HDB_HDB07"));
  EXPECT_FALSE(m->add(Instance("hana", "HDB_HDB07", options(7, true))));
  std::ifstream in(dir_.file("registry/instances.json"));
  EXPECT_EQ("{\"hana\": [", std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  EXPECT_NE(std::string::npos,
            log_.text().find("Failed to read instance registry '" + dir_.file("registry/instances.json") + "'"));
}
