// INI reading of HANA's configuration files and the service port table.

#include <gtest/gtest.h>

#include <string>

#include "common/ini_file.h"
#include "common/server_port_manager.h"
#include "log_capture.h"
#include "temp_dir.h"

using namespace sap_hana;

TEST(Ini_File, ReadsSectionKeysTopLevelKeysAndEmptyValues) {
  Temp_Dir dir;
  std::string path = dir.write("nameserver.ini",
                               "roles_h1.example.com = worker\n"
                               "[landscape]\n"
                               "id = 5d4f-aa\n"
                               "worker = h1  h2\n"
                               "standby =\n"
                               "roles_h2.example.com = standby\n");
  Ini_File ini;
  std::string error;
  ASSERT_TRUE(ini.load(path, error)) << error;
  std::string v;
  ASSERT_TRUE(ini.get("landscape.id", v, error));
  EXPECT_EQ("5d4f-aa", v);
  ASSERT_TRUE(ini.get("landscape.standby", v, error));
  EXPECT_EQ("", v);
  // Host names with dots are keys, never paths.
  ASSERT_TRUE(ini.get("roles_h1.example.com", v, error));
  EXPECT_EQ("worker", v);
  ASSERT_TRUE(ini.get("landscape.roles_h2.example.com", v, error));
  EXPECT_EQ("standby", v);
  EXPECT_FALSE(ini.get("landscape.master", v, error));
  EXPECT_EQ("No such node (landscape.master)", error);
  EXPECT_FALSE(ini.get("landscape", v, error)) << "a section is not a value";
}

TEST(Ini_File, MalformedOrMissingFilesFailWithTheParsersReason) {
  Temp_Dir dir;
  Ini_File ini;
  std::string error;
  EXPECT_FALSE(ini.load(dir.write("dup.ini", "[multidb]\nmode = multidb\nmode = singledb\n"), error));
  EXPECT_NE(std::string::npos, error.find("duplicate key")) << error;
  error.clear();
  EXPECT_FALSE(ini.load(dir.write("bad.ini", "[multidb\nmode = multidb\n"), error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(ini.load(dir.file("missing.ini"), error));
  EXPECT_FALSE(error.empty());
}

TEST(Server_Port_Manager, PortsFollowTheInstanceNumber) {
  EXPECT_EQ(30301, Server_Port_Manager(3).get_port(Server_Port_Manager::TYPE_NAMESERVER));
  EXPECT_EQ(30000, Server_Port_Manager(0).get_port(Server_Port_Manager::TYPE_DAEMON));
  EXPECT_EQ(30713, Server_Port_Manager(7).get_port(Server_Port_Manager::TYPE_MDC_INDEXSERVER));
  EXPECT_EQ(30715, Server_Port_Manager(7).get_port(Server_Port_Manager::TYPE_INDEXSERVER));
  EXPECT_EQ(39917, Server_Port_Manager(99).get_port(Server_Port_Manager::TYPE_STATISTICSSERVER));
  EXPECT_EQ(30202, Server_Port_Manager(2).get_port(Server_Port_Manager::TYPE_PREPROCESSOR));
  EXPECT_EQ(30210, Server_Port_Manager(2).get_port(Server_Port_Manager::TYPE_COMPILESERVER));
  EXPECT_EQ(0, Server_Port_Manager(2).get_port(Server_Port_Manager::TYPE_UNKNOWN));
  EXPECT_EQ(0, Server_Port_Manager(2).get_port(42));
  EXPECT_EQ(42, Server_Port_Manager(std::string("HDB42")).instance_number());
  EXPECT_EQ(0, Server_Port_Manager(std::string("HDB4")).instance_number());
  EXPECT_EQ(0, Server_Port_Manager(std::string("HDBx4")).instance_number());

  Log_Capture log;
  EXPECT_FALSE(Server_Port_Manager(1).is_listening(Server_Port_Manager::TYPE_UNKNOWN));
  EXPECT_EQ("Missing port to check it is listening\n", log.text());
}
