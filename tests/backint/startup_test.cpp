#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "agent/crypto/aes_encoder.h"
#include "agent/config/host_manager.h"
#include "backint/backint_log.h"
#include "backint/backint_startup.h"
#include "backint/handler_factory.h"
#include "log_capture.h"
#include "temp_dir.h"

using namespace sap_hana;

namespace {

struct Parsed {
  Backint_Startup::Parse_Result result;
  Backint_Info info;
  std::string svc_conf;
  std::string out;
  std::string log;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "hana-backint");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Parsed p;
  std::ostringstream out;
  Log_Capture log;
  p.result = Backint_Startup::parse_options(static_cast<int>(args.size()), argv.data(), p.info, p.svc_conf, out);
  p.out = out.str();
  p.log = log.text();
  return p;
}

}  // namespace

TEST(BackintOptions, HanaCommandLine) {
  Parsed p = parse({"-u", "DB_T1@HDB", "-f", "backup", "-i", "/in", "-o", "/out", "-s", "1598000000000", "-c", "3",
                    "-l", "COMPLETE", "-p", "/par", "--svc-conf", "/svc"});
  EXPECT_EQ(p.result, Backint_Startup::PARSE_CONTINUE);
  EXPECT_EQ(p.info.user_id, "DB_T1@HDB");
  EXPECT_EQ(p.info.function, FUNCTION_BACKUP);
  EXPECT_EQ(p.info.in_file, "/in");
  EXPECT_EQ(p.info.out_file, "/out");
  EXPECT_EQ(p.info.par_file, "/par");
  EXPECT_EQ(p.info.database_backup_id, 1598000000000u);
  EXPECT_EQ(p.info.objects_amount, 3);
  EXPECT_EQ(p.info.level, LEVEL_COMPLETE);
  EXPECT_EQ(p.svc_conf, "/svc");
  EXPECT_EQ(p.log, "");
}

TEST(BackintOptions, KeysLevelsAndNumbers) {
  EXPECT_EQ(parse({"-u", "H00", "-l", "LOG"}).info.level, LEVEL_LOG);
  EXPECT_EQ(parse({"-u", "H00", "-l", "log"}).info.level, LEVEL_LOG);
  EXPECT_EQ(parse({"-u", "H00", "-l", "weekly"}).info.level, LEVEL_UNKNOWN);
  EXPECT_EQ(parse({"-u", "H00", "-f", "Backup"}).info.function, FUNCTION_UNKNOWN);
  EXPECT_EQ(parse({"-u", "H00", "-s", "x12"}).info.database_backup_id, 0u);
  EXPECT_EQ(parse({"-u", "H00", "-s", "-12"}).info.database_backup_id, 0u);
  EXPECT_EQ(parse({"-u", "H00", "-s", "99999999999999999999999"}).info.database_backup_id, UINT64_MAX);
  EXPECT_EQ(parse({"-u", "H00", "-c", "+7objects"}).info.objects_amount, 7);
  EXPECT_STREQ(level_value_to_key(LEVEL_INCREMENTAL), "incremental");
  EXPECT_STREQ(function_value_to_Key(FUNCTION_DELETE), "delete");
  EXPECT_EQ(function_value_to_Key(FUNCTION_UNKNOWN), nullptr);
}

TEST(BackintOptions, NonOptionWordsArePermutedAndIgnored) {
  Parsed p = parse({"stray", "-u", "H00", "another", "-f", "inquire"});
  EXPECT_EQ(p.info.user_id, "H00");
  EXPECT_EQ(p.info.function, FUNCTION_INQUIRE);
}

TEST(BackintOptions, VersionAndHelpWinWhateverElseIsWrong) {
  Parsed v = parse({"-x", "-v", "-V"});
  EXPECT_EQ(v.result, Backint_Startup::PARSE_EXIT);
  EXPECT_EQ(v.out, "backint 1.5.0\n");
  EXPECT_EQ(v.log, "Unknown backint option ?\n");

  Parsed V = parse({"-V", "-h"});
  EXPECT_EQ(V.out, "Corvane Corporation Strovix3 backint, API version 1.5.0, product version \n");

  Parsed h = parse({"-h", "-u"});
  EXPECT_EQ(h.out,
            "backint\n\t -u <user_id>\n\t[ -f <function> ]\n\t[ -p <par_file> ]\n\t[ -i <in_file> ]\n"
            "\t[ -o <out_file> ]\n\t[ -s <database_backup_id> ]\n\t[ -c <number_of_objects> ]\n"
            "\t[ -l <backup_level> ]\n\t[ --svc-conf <svc.conf> ]\n\t-v\n\t-V\n\t-h\n\n");
}

TEST(BackintOptions, UnknownOptionsAreLoggedAndParsingGoesOn) {
  Parsed p = parse({"-q", "-u", "H00", "-Z"});
  EXPECT_EQ(p.result, Backint_Startup::PARSE_CONTINUE);
  EXPECT_EQ(p.info.user_id, "H00");
  EXPECT_EQ(p.log, "Unknown backint option ?\nUnknown backint option ?\n");
}

class BackintAccessKeyFile : public ::testing::Test {
 protected:
  void SetUp() override {
    conf_.write("agent.conf", "{\"host_uuid\":\"" + uuid_ + "\"}");
    ASSERT_TRUE(Host_Manager::instance()->load(conf_.path()));
  }
  std::string encoded(const std::string& key, const std::string& uuid) {
    AES_Encoder e(key.data(), key.size(), uuid.data(), uuid.size(), true, "cbc", -1);
    return std::string(e.get(), e.length());
  }
  Temp_Dir conf_, work_;
  const std::string uuid_ = "11111111-2222-4333-8444-555555555555";
};

TEST_F(BackintAccessKeyFile, DecodesTheKeyUnderTheHostUuid) {
  std::string path = work_.write("access-key", "{\"encoded_access_key\":\"" + encoded("k3y\0bin", uuid_) +
                                                   "\",\"backupd_host\":\"127.0.0.1\",\"backupd_port\":8443,"
                                                   "\"backupd_ssl\":true}");
  Backint_Info info;
  ASSERT_TRUE(Backint_Startup::read_access_key_file(path, info));
  EXPECT_EQ(info.backupd_host, "127.0.0.1");
  EXPECT_EQ(info.backupd_port, 8443);
  EXPECT_TRUE(info.backupd_ssl);
  EXPECT_EQ(std::string(info.backupd_access_key.data(), info.backupd_access_key.size()), "k3y");
}

TEST_F(BackintAccessKeyFile, MissingKeyOrWrongHostLeavesTheKeyEmpty) {
  Backint_Info info;
  EXPECT_TRUE(Backint_Startup::read_access_key_file(work_.write("a", "{\"backupd_host\":\"h\"}"), info));
  EXPECT_EQ(info.backupd_host, "h");
  EXPECT_TRUE(info.backupd_access_key.empty());

  Log_Capture log;
  Backint_Info other;
  std::string path =
      work_.write("b", "{\"encoded_access_key\":\"" + encoded("key", "99999999-2222-4333-8444-555555555555") + "\"}");
  EXPECT_TRUE(Backint_Startup::read_access_key_file(path, other));
  EXPECT_TRUE(other.backupd_access_key.empty());
  EXPECT_EQ(log.text(), "Failed to decode the access key of '" + path + "'\n");
  EXPECT_EQ(log.text().find("key\""), std::string::npos);
}

TEST_F(BackintAccessKeyFile, MemberOfTheWrongKindCostsOnlyItself) {
  Log_Capture log;
  std::string path = work_.write("c",
                                 "{\"backupd_host\":5,\"backupd_port\":8443,\"backupd_ssl\":true,"
                                 "\"encoded_access_key\":\"" +
                                     encoded("k3y", uuid_) + "\"}");
  Backint_Info info;
  ASSERT_TRUE(Backint_Startup::read_access_key_file(path, info));
  EXPECT_TRUE(info.backupd_host.empty());
  EXPECT_EQ(info.backupd_port, 8443);
  EXPECT_TRUE(info.backupd_ssl);
  EXPECT_EQ(std::string(info.backupd_access_key.data(), info.backupd_access_key.size()), "k3y");
  EXPECT_EQ(0u, log.text().find("Failed to read '" + path + "', ")) << log.text();
  EXPECT_NE(std::string::npos, log.text().find("backupd_host")) << log.text();
}

TEST_F(BackintAccessKeyFile, MissingOrNonObjectFilesAskTheAgentConfiguration) {
  Backint_Info info;
  EXPECT_FALSE(Backint_Startup::read_access_key_file(work_.file("none"), info));
  EXPECT_FALSE(Backint_Startup::read_access_key_file(work_.write("arr", "[1,2]"), info));
  EXPECT_FALSE(Backint_Startup::read_access_key_file(work_.write("bad", "{\"x\":"), info));
  EXPECT_FALSE(Backint_Startup::read_access_key_file(work_.path(), info));
}

TEST(BackintServices, CommandLineFileMustBeARegularFile) {
  Temp_Dir dir;
  Log_Capture log;
  EXPECT_FALSE(Backint_Startup::load_services(dir.path()));
  EXPECT_EQ(log.text(), "svc.conf file " + dir.path() + " not found.\n");
}

TEST(BackintLog, OneFileNamePerSystemAndOnePerUserForOtherNames) {
  EXPECT_EQ(Backint_Log::file_name("/log", "HDB", 7), "/log/hana-backint-HDB.log");
  EXPECT_EQ(Backint_Log::file_name("/log", "NOPE", 7), "/log/hana-backint-NOPE.log");
  for (const char* other : {"", "hdb", "../", "A/B", "T01@HDB", "ABCDEFGHIJKLMNOPQ"})
    EXPECT_EQ(Backint_Log::file_name("/log", other, 7), "/log/hana-backint-uid7.log") << other;
}

TEST(BackintFactory, UnknownFunctionGivesNoHandler) {
  Backint_Info info;
  Log_Capture log;
  EXPECT_EQ(Backint_Handler_Factory::create(info), nullptr);
  EXPECT_EQ(log.text(), "Invalid function function\n");
}
