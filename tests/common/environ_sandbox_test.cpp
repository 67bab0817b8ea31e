// Environ_Getter and Host_Info_Getter on their production paths under
// /usr/sap, which the sandbox replaces with a private tmpfs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "agent/base/file_utils.h"
#include "common/environ_getter.h"
#include "common/host_info_getter.h"
#include "log_capture.h"
#include "hana_sim_fixture.h"

namespace {

using sap_hana::Environ_Getter;
using sap_hana::HANA_Env_Value;
using sap_hana::Host_Info_Getter;

const char* const kSid = "ENV";
const std::string kSystemDir = "/usr/sap/ENV";
const std::string kNameserverIni = "/usr/sap/ENV/SYS/global/hdb/custom/config/nameserver.ini";
const char* const kSapServices = "/usr/sap/sapservices";

void write_file(const std::string& path, const std::string& content) {
  ASSERT_EQ(0, mkdir_p(dirname_string(path).c_str(), 0755));
  std::ofstream(path, std::ios::binary) << content;
}

class Environ_Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only inside the sandbox is /usr/sap a private scratch tree.
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
  }
  void TearDown() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) return;
    hana_sim_test::sim("uninstall --all");
    std::system(("rm -rf " + kSystemDir).c_str());
    ::unlink(kSapServices);
  }

  Log_Capture log_;
};

TEST_F(Environ_Sandbox, LandscapeIdFromCustomNameserverIni) {
  write_file(kNameserverIni,
             "# written by HANA\n; another comment\n[landscape]\nid = 5f3ca1b2-0c4d-4e01-e100-00000a0b0c0d\n"
             "master = hana1:30001\n\n[other]\nid = not this one\n");
  std::string id = "old";
  EXPECT_TRUE(Environ_Getter::get_landscape_id(kSid, id));
  EXPECT_EQ("5f3ca1b2-0c4d-4e01-e100-00000a0b0c0d", id);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Environ_Sandbox, LandscapeIdFailures) {
  std::string id = "old";
  EXPECT_FALSE(Environ_Getter::get_landscape_id(kSid, id));
  ASSERT_EQ(0, mkdir_p(kNameserverIni.c_str(), 0755));
  EXPECT_FALSE(Environ_Getter::get_landscape_id(kSid, id)) << "a directory is no config file";
  ::rmdir(kNameserverIni.c_str());
  EXPECT_EQ((std::vector<std::string>{"Nameserver config file '" + kNameserverIni + "' not exist\n",
                                      "Nameserver config file '" + kNameserverIni + "' not exist\n"}),
            log_.lines());
  log_.clear();

  write_file(kNameserverIni, "[persistence]\nbasepath = /hana\n");
  EXPECT_FALSE(Environ_Getter::get_landscape_id(kSid, id));
  EXPECT_EQ("old", id);
  write_file(kNameserverIni, "[landscape]\nid =\n");
  EXPECT_FALSE(Environ_Getter::get_landscape_id(kSid, id));
  write_file(kNameserverIni, "[landscape]\nid = a\nthis line is no key\n");
  EXPECT_FALSE(Environ_Getter::get_landscape_id(kSid, id));
  ASSERT_EQ(3u, log_.lines().size());
  EXPECT_EQ("Failed to get ENV landscape_id, No such node (landscape.id)\n", log_.lines()[0]);
  EXPECT_EQ("Failed to get ENV landscape_id, landscape id is empty\n", log_.lines()[1]);
  EXPECT_EQ(0u, log_.lines()[2].find("Failed to get ENV landscape_id, " + kNameserverIni + "(3): ")) << log_.lines()[2];
}

TEST_F(Environ_Sandbox, BySidFillsEnvironmentAndLandscapeIdThenFindsTraceDirs) {
  // The start service must be the system's own: the simulated one runs as envadm.
  ASSERT_EQ(0, hana_sim_test::sim("install ENV --host hana1 --landscape-id land-1 --stopped").rc);
  const std::string instance_dir = kSystemDir + "/HDB00";
  ASSERT_EQ(0, mkdir_p((instance_dir + "/hana2/trace").c_str(), 0755));
  write_file(instance_dir + "/hana3/trace", "a file, not a directory");

  HANA_Env_Value value;
  ASSERT_TRUE(Environ_Getter::instance()->get(std::string(kSid), value));
  EXPECT_EQ("land-1", value.landscape_id);
  EXPECT_EQ("ENV", value.sid);
  EXPECT_EQ(instance_dir, value.instance_dir);
  EXPECT_EQ("envadm", value.user);
  EXPECT_EQ(0, value.instance_number);

  std::vector<std::string> dirs{"earlier"};
  ASSERT_TRUE(Environ_Getter::instance()->get_trace_dirs(kSid, dirs));
  ASSERT_EQ(3u, dirs.size());
  EXPECT_EQ("earlier", dirs[0]);
  std::sort(dirs.begin() + 1, dirs.end());
  EXPECT_EQ(instance_dir + "/hana1/trace", dirs[1]);
  EXPECT_EQ(instance_dir + "/hana2/trace", dirs[2]);
  EXPECT_TRUE(log_.lines().empty());

  // Without a landscape id the environment alone is not enough.
  write_file(kNameserverIni, "[landscape]\nmaster = hana1:30001\n");
  EXPECT_FALSE(Environ_Getter::instance()->get(std::string(kSid), value));
  dirs.clear();
  EXPECT_FALSE(Environ_Getter::instance()->get_trace_dirs(kSid, dirs));
  EXPECT_EQ((std::vector<std::string>{"Failed to get ENV landscape_id, No such node (landscape.id)\n",
                                      "Failed to get ENV landscape_id, No such node (landscape.id)\n",
                                      "Failed to get trace dirs\n"}),
            log_.lines());
}

TEST_F(Environ_Sandbox, TraceDirAndHostNameFromSapServices) {
  write_file(kSapServices,
             "#!/bin/sh\n"
             "#LD_LIBRARY_PATH=/usr/sap/ENV/HDB09/exe;export LD_LIBRARY_PATH;/usr/sap/ENV/HDB09/exe/sapstartsrv "
             "pf=/usr/sap/ENV/SYS/profile/ENV_HDB09_retired -D -u envadm\n"
             "LD_LIBRARY_PATH=/usr/sap/OTH/HDB01/exe:$LD_LIBRARY_PATH;export LD_LIBRARY_PATH;"
             "/usr/sap/OTH/HDB01/exe/sapstartsrv pf=/usr/sap/OTH/SYS/profile/OTH_HDB01_otherhost -D -u othadm\n"
             "LD_LIBRARY_PATH=/usr/sap/ENV/HDB03/exe:$LD_LIBRARY_PATH;export LD_LIBRARY_PATH;"
             "/usr/sap/ENV/HDB03/exe/sapstartsrv pf=/usr/sap/ENV/SYS/profile/ENV_HDB03_hana-7 -D -u envadm");
  std::string dir;
  ASSERT_TRUE(Environ_Getter::get_trace_dir(kSid, dir));
  EXPECT_EQ("/usr/sap/ENV/HDB03/hana-7/trace", dir);
  std::string host;
  ASSERT_TRUE(Host_Info_Getter(kSid).hostname(host));
  EXPECT_EQ("hana-7", host);
  ASSERT_TRUE(Host_Info_Getter("OTH").hostname(host));
  EXPECT_EQ("otherhost", host);
  EXPECT_TRUE(log_.lines().empty());

  dir = "unchanged";
  host = "unchanged";
  EXPECT_FALSE(Environ_Getter::get_trace_dir("NOP", dir));
  EXPECT_FALSE(Host_Info_Getter("NOP").hostname(host));
  EXPECT_EQ("unchanged", dir);
  EXPECT_EQ("unchanged", host);
  EXPECT_EQ(std::vector<std::string>{"Failed to get hostname from '/usr/sap/sapservices'\n"}, log_.lines());
}

TEST_F(Environ_Sandbox, MissingSapServices) {
  std::string dir;
  std::string host;
  EXPECT_FALSE(Environ_Getter::get_trace_dir(kSid, dir));
  EXPECT_FALSE(Host_Info_Getter(kSid).hostname(host));
  EXPECT_EQ((std::vector<std::string>{"Failed to open config file '/usr/sap/sapservices'\n",
                                      "Configure file /usr/sap/sapservices does not exist\n"}),
            log_.lines());
}

}  // namespace
