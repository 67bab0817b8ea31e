// "hana.instance.control" and "hana.file.download" against simulated HANA
// systems and the agent's real directories.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "agent/base/file_utils.h"
#include "agent/json/json_file.h"
#include "hana_sim_fixture.h"
#include "recording_json_rpc_channel.h"
#include "websvcs_agent/json_rpc_hana_file_download_handler.h"
#include "websvcs_agent/json_rpc_hana_instance_control_handler.h"

using namespace sap_hana;
using namespace hana_sim_test;

namespace {

class Services_Test : public Hana_Sim_Test {
 protected:
  void SetUp() override {
    Hana_Sim_Test::SetUp();
    if (IsSkipped()) return;
    install("ABC", "--instance 1 --tenants T01");
  }
  void TearDown() override {
    std::system("rm -rf /var/opt/corvane/strovix3/agent/hana/catalog /var/opt/corvane/strovix3/agent/outside");
    Hana_Sim_Test::TearDown();
  }
  json_value call(JSON_RPC_Handler& handler, const json_value& params, bool notify = false) {
    auto channel = std::make_shared<Recording_JSON_RPC_Channel>();
    auto object = notify ? JSON_RPC_Object::notify("m", params) : rpc_request("m", params);
    EXPECT_EQ(0, handler.handle_object(channel, object));
    return channel->only();
  }
  json_value control(const std::string& action, const std::string& instance = "HDB01") {
    return call(control_, {{"sid", "ABC"}, {"instance_name", instance}, {"action", action}});
  }
  static json_value error(int code, const std::string& message) {
    return json_value{{"code", code}, {"message", message}};
  }
  static mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  static std::string group_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "";
    struct group* g = ::getgrgid(st.st_gid);
    return g ? g->gr_name : "";
  }

  JSON_RPC_HANA_Instance_Control_Handler control_;
  JSON_RPC_HANA_File_Download_Handler download_;
  const std::string catalog_ = "/var/opt/corvane/strovix3/agent/hana/catalog";
};

}  // namespace

TEST_F(Services_Test, InstanceControlStartsStopsRestartsAndTellsTheState) {
  EXPECT_EQ((json_value{{"state", 1}}), control("state")["result"]);
  ASSERT_EQ(0, sim("calls ABC --clear").rc);
  json_value stopped = control("stop");
  EXPECT_EQ(7, stopped["id"]);
  EXPECT_EQ((json_value{{"error", 0}}), stopped["result"]);
  EXPECT_EQ((json_value{{"state", 2}}), control("state")["result"]) << "start service runs, SQL port closed";
  EXPECT_EQ((json_value{{"error", 0}}), control("start")["result"]);
  EXPECT_EQ((json_value{{"error", 0}}), control("restart")["result"]);
  std::vector<std::string> actions;
  for (const auto& c : calls("ABC", "HDB")) actions.push_back(c["statement"]);
  EXPECT_EQ((std::vector<std::string>{"stop", "start", "restart"}), actions);
  EXPECT_EQ((json_value{{"state", 1}}),
            call(control_, {{"sid", "ABC"}, {"instance_name", "HDB01"}, {"action", "state"}}, true)["result"])
      << "a notification is handled like a request";
}

TEST_F(Services_Test, InstanceControlErrorsEndInANewline) {
  EXPECT_EQ(error(-32602, "action is not supported\n"), rpc_error(control("pause")));
  EXPECT_EQ(error(-32603, "failed to handle instance\n"), rpc_error(control("state", "HDB5")));
  EXPECT_EQ(error(-32602, "sid or instance_name is empty\n"), rpc_error(control("start", "")));
  log_.clear();
  EXPECT_EQ(error(-32602, "Failed to initialize params\n"),
            rpc_error(call(control_, {{"sid", "ABC"}, {"instance_name", "HDB01"}})));
  EXPECT_EQ("Invalid params: member \"action\" is missing\n", log_.text());
  EXPECT_EQ(error(-32602, "Failed to initialize params\n"), rpc_error(call(control_, json_value::array())));
  EXPECT_TRUE(calls("ABC", "HDB").empty());

  auto response = JSON_RPC_Object::error(1, 7, "x");
  EXPECT_EQ(-1, control_.handle_object(std::make_shared<Recording_JSON_RPC_Channel>(), response));
  EXPECT_EQ(-1, control_.handle_object(std::weak_ptr<JSON_RPC_Channel>(), rpc_request("m", json_value())));
  EXPECT_NE(std::string::npos, log_.text().find("Abort handling JSON-RPC request, requester has gone.\n"));
}

TEST_F(Services_Test, DownloadCreatesTheDirectoriesAndAFileHanaCanRead) {
  const std::string dest = catalog_ + "/new/deeper/ABC@SYSTEMDB-ABC@SYSTEMDB";
  json_value data = {{"backups", json_value::array({"a", "b"})}};
  json_value params = {{"destination", dest}, {"data", data}};
  EXPECT_EQ((json_value{{"error", 0}}), call(download_, params)["result"]);
  EXPECT_EQ((json_value{{"error", 0}}), call(download_, params)["result"]) << "repeated: same file";

  json_value written;
  ASSERT_TRUE(load_json(dest, written));
  EXPECT_EQ(data, written);
  EXPECT_EQ(0640u, mode_of(dest));
  EXPECT_EQ("sapsys", group_of(dest));
  for (const std::string& dir : {catalog_, catalog_ + "/new", catalog_ + "/new/deeper"})
    EXPECT_EQ(0755u, mode_of(dir)) << dir;

  ASSERT_EQ(0, ::chmod("/var/opt/corvane/strovix3/agent", 0700));
  EXPECT_EQ((json_value{{"error", 0}}),
            call(download_, {{"destination", catalog_ + "/./x/../y"}, {"data", data}})["result"]);
  EXPECT_TRUE(is_regular_file((catalog_ + "/y").c_str()));
  EXPECT_EQ(0700u, mode_of("/var/opt/corvane/strovix3/agent")) << "nothing above the catalog directory changes";
  ASSERT_EQ(0, ::chmod("/var/opt/corvane/strovix3/agent", 0755));

  EXPECT_EQ(error(-32602, "Failed to initialize params\n"),
            rpc_error(call(download_, {{"destination", dest}, {"data", json_value::array()}})));
  EXPECT_EQ(error(-32602, "Failed to initialize params\n"),
            rpc_error(call(download_, {{"destination", dest}, {"data", "text"}})));
}

TEST_F(Services_Test, DownloadWritesNothingOutsideTheCatalogDirectory) {
  ASSERT_EQ(0, mkdir_p(catalog_.c_str(), 0755));
  ASSERT_EQ(0, mkdir_p("/var/opt/corvane/strovix3/agent/outside", 0700));
  ASSERT_EQ(0, ::symlink("/var/opt/corvane/strovix3/agent/outside", (catalog_ + "/link").c_str()));
  ASSERT_EQ(0, ::symlink(catalog_.c_str(), (catalog_ + "/self").c_str()));
  const json_value refused = error(-32602, "destination must be a file below " + catalog_ + "\n");
  for (const std::string& dest :
       {std::string("/etc/cron.d/x"), catalog_ + "/../evil", catalog_, catalog_ + "/", std::string("catalog/x"),
        std::string("x"), std::string(""), catalog_ + "/link/x", catalog_ + "/link/new/x", catalog_ + "2/x"}) {
    SCOPED_TRACE(dest);
    EXPECT_EQ(refused, rpc_error(call(download_, {{"destination", dest}, {"data", json_value::object()}})));
  }
  EXPECT_EQ(0700u, mode_of("/var/opt/corvane/strovix3/agent/outside"));
  EXPECT_FALSE(is_directory("/var/opt/corvane/strovix3/agent/outside/new"));
  EXPECT_FALSE(is_regular_file("/var/opt/corvane/strovix3/agent/outside/x"));
  EXPECT_FALSE(is_regular_file("/var/opt/corvane/strovix3/agent/hana/evil"));
  EXPECT_NE(std::string::npos,
            log_.text().find("Refused to write '/etc/cron.d/x', it is not a file below " + catalog_ + "\n"));

  EXPECT_EQ((json_value{{"error", 0}}),
            call(download_, {{"destination", catalog_ + "/self/x"}, {"data", json_value::object()}})["result"])
      << "a link that stays inside is followed";
  EXPECT_TRUE(is_regular_file((catalog_ + "/x").c_str()));
}
