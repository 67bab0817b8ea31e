#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent/base/file_utils.h"
#include "common/filename_parser.h"
#include "common/utils.h"
#include "log_capture.h"
#include "temp_dir.h"

using namespace sap_hana;

TEST(HanaUtils, InstanceNamesAndNumbers) {
  std::string name;
  EXPECT_TRUE(instance_number_to_name(7, name));
  EXPECT_EQ(name, "HDB07");
  EXPECT_TRUE(instance_number_to_name(99, name));
  EXPECT_EQ(name, "HDB99");
  EXPECT_FALSE(instance_number_to_name(100, name));
  ACE_UINT16 n = 0;
  EXPECT_TRUE(instance_name_to_number("HDB42", n));
  EXPECT_EQ(n, 42);
  EXPECT_FALSE(instance_name_to_number("HDB7", n));
  EXPECT_FALSE(instance_name_to_number("XYZ07", n));
  EXPECT_FALSE(instance_name_to_number("HDB4x", n));
  EXPECT_EQ(generate_instance_manager_name("HDB", 3), "HDB_HDB03");
  EXPECT_EQ(generate_instance_manager_name("HDB", "HDB00"), "HDB_HDB00");
}

TEST(HanaUtils, VersionStringNeedsFiveParts) {
  ACE_UINT16 major = 0, patch = 9;
  ACE_UINT32 sps = 0;
  EXPECT_TRUE(parse_version_string("2.00.045.00.1575639312", major, sps, patch));
  EXPECT_EQ(major, 2);
  EXPECT_EQ(sps, 45u);
  EXPECT_EQ(patch, 0);
  EXPECT_FALSE(parse_version_string("", major, sps, patch));
  EXPECT_FALSE(parse_version_string("2.00.045.00", major, sps, patch));
  EXPECT_FALSE(parse_version_string("2.00.045.00.1.2", major, sps, patch));
}

TEST(HanaUtils, WorkFilePaths) {
  std::string path;
  ASSERT_TRUE(ondemand_conf_path("HDB", "", "", path));
  EXPECT_EQ(path, "/var/opt/corvane/strovix3/agent/hana/ondemand_HDB");
  ASSERT_TRUE(ondemand_conf_path("HDB", "HDB00", "TEN1", path));
  EXPECT_EQ(path, "/var/opt/corvane/strovix3/agent/hana/log_backup_HDB_HDB00_TEN1");
  ASSERT_TRUE(ondemand_conf_path("HDB", "HDB00", "", path));
  EXPECT_EQ(path, "/var/opt/corvane/strovix3/agent/hana/log_backup_HDB_HDB00");
  {
    Log_Capture log;
    EXPECT_FALSE(ondemand_conf_path("", "HDB00", "", path));
    EXPECT_EQ(log.text(), "Missing sid to generate ondemand configuration file path\n");
  }
  ASSERT_TRUE(catalog_conf_file_name("SRC", "SYSTEMDB", "DST", "T1", path));
  EXPECT_EQ(path, "/var/opt/corvane/strovix3/agent/hana/catalog/SRC@SYSTEMDB-DST@T1");
  ASSERT_TRUE(restore_ext_conf_file("DST", "T1", path));
  EXPECT_EQ(path, "/var/opt/corvane/strovix3/agent/hana/catalog/DST@T1-restore-ext-conf");
  EXPECT_EQ(access_key_file(), "/var/opt/corvane/strovix3/agent/hana/access-key");
}

TEST(HanaUtils, PathBuildersRejectMissingArgumentsInOrder) {
  std::string path = "unchanged";
  Log_Capture log;
  EXPECT_FALSE(catalog_conf_file_name("SRC", "", nullptr, "T1", path));
  EXPECT_NE(log.text().find(", origin_database is NULL or \"\":\n"), std::string::npos) << log.text();
  EXPECT_EQ(log.text().find("target_sid"), std::string::npos);
  log.clear();
  EXPECT_FALSE(restore_ext_conf_file("DST", nullptr, path));
  EXPECT_NE(log.text().find("Unexpected error in "), std::string::npos);
  EXPECT_NE(log.text().find(", database is NULL or \"\":\n"), std::string::npos);
  log.clear();
  EXPECT_FALSE(database_pipe_path(nullptr, "X", true, path));
  EXPECT_NE(log.text().find(", sid is NULL or \"\":\n"), std::string::npos);
  EXPECT_EQ(path, "unchanged");
}

TEST(HanaUtils, DatabasePipePaths) {
  std::string path;
  ASSERT_TRUE(database_pipe_path("HDB", "SYSTEMDB", true, path));
  EXPECT_EQ(path, "/usr/sap/HDB/SYS/global/hdb/backint/SYSTEMDB");
  ASSERT_TRUE(database_pipe_path("HDB", "T1", true, path));
  EXPECT_EQ(path, "/usr/sap/HDB/SYS/global/hdb/backint/DB_T1");
  ASSERT_TRUE(database_pipe_path("HDB", "HDB", false, path));
  EXPECT_EQ(path, "/usr/sap/HDB/SYS/global/hdb/backint/HDB");
}

TEST(HanaUtils, HanaDates) {
  EXPECT_EQ(get_hana_format_date(1598004000), "2020-08-21T10:00:00.000Z");
  EXPECT_EQ(get_hana_format_date(0).size(), 24u);
  EXPECT_EQ(iso8601_to_hana_format_date("this is twenty-four char"), "this is twenty-four char");
  EXPECT_EQ(iso8601_to_hana_format_date("2020-08-21T12:00:00+02:00"), "2020-08-21T10:00:00.000Z");
  EXPECT_EQ(iso8601_to_hana_format_date(nullptr).size(), 24u);
  EXPECT_EQ(iso8601_to_hana_format_date("garbage").size(), 24u);
  ACE_INT64 t = 0;
  ASSERT_TRUE(hana_time_to_posix_time("2020-08-21T10:00:00.000Z", t));
  EXPECT_EQ(t, 1598004000);
  EXPECT_FALSE(hana_time_to_posix_time("21.08.2020", t));
}

TEST(FilenameParser, Types) {
  EXPECT_EQ(Filename_Parser::type("log_backup_0_0_0_0"), Filename_Parser::TYPE_CATALOG);
  EXPECT_EQ(Filename_Parser::type("log_backup_0_0_0_0.1598000000000"), Filename_Parser::TYPE_LOG);
  EXPECT_EQ(Filename_Parser::type("log_backup_2_0_100_200.1598000000000"), Filename_Parser::TYPE_LOG);
  EXPECT_EQ(Filename_Parser::type("COMPLETE_DATA_BACKUP_databackup_0_1"), Filename_Parser::TYPE_FULL_BACKUP);
  EXPECT_EQ(Filename_Parser::type("X_databackup_incremental_1_2_0_1"), Filename_Parser::TYPE_INCREMENTAL_BACKUP);
  EXPECT_EQ(Filename_Parser::type("X_databackup_differential_1_2_0_1"), Filename_Parser::TYPE_DIFFERENTIAL_BACKUP);
  EXPECT_EQ(Filename_Parser::type("something_else"), Filename_Parser::TYPE_UNKNOWN);
}

TEST(FilenameParser, ParsesNumbersAndReportsMismatches) {
  Filename_Parser::Log_File_Entry log;
  ASSERT_TRUE(Filename_Parser::parse_log_file("log_backup_2_0_100_200.1598000000000", log));
  EXPECT_EQ(log.volume_id, 2);
  EXPECT_EQ(log.partition_id, 0);
  EXPECT_EQ(log.first_position, 100u);
  EXPECT_EQ(log.last_position, 200u);
  EXPECT_EQ(log.backup_id, 1598000000000u);
  // Digits beyond the field's width wrap.
  ASSERT_TRUE(Filename_Parser::parse_log_file("log_backup_65537_0_1_2.3", log));
  EXPECT_EQ(log.volume_id, 1);

  Filename_Parser::Delta_Backup_Entry delta;
  ASSERT_TRUE(Filename_Parser::parse_delta_backup_file("X_databackup_differential_10_20_3_4", delta));
  EXPECT_EQ(delta.prefix, "X");
  EXPECT_EQ(delta.depend_backup_id, 10u);
  EXPECT_EQ(delta.backup_id, 20u);
  EXPECT_EQ(delta.volume_id, 3);
  EXPECT_EQ(delta.partition_id, 4);

  Filename_Parser::Full_Backup_Entry full;
  ASSERT_TRUE(Filename_Parser::parse_full_backup_file("/p/COMPLETE_DATA_BACKUP_databackup_3_1", full));
  EXPECT_EQ(full.prefix, "/p/COMPLETE_DATA_BACKUP");
  EXPECT_EQ(full.volume_id, 3);
  EXPECT_EQ(full.partition_id, 1);

  Log_Capture capture;
  EXPECT_FALSE(Filename_Parser::parse_log_file("log_backup_x", log));
  EXPECT_FALSE(Filename_Parser::parse_full_backup_file("nothing", full));
  EXPECT_FALSE(Filename_Parser::parse_delta_backup_file("X_databackup_1_2", delta));
  EXPECT_EQ(capture.text(),
            "Failed to analyze log file name 'log_backup_x'\n"
            "Failed to analyze full backup file name 'nothing'\n"
            "Failed to analyze delta backup file name 'X_databackup_1_2'\n");
}

TEST(HanaUtils, RegexEscapeKeepsANameLiteral) {
  EXPECT_EQ(regex_escape("HDB"), "HDB");
  EXPECT_EQ(regex_escape("A.B*(c)"), "A\\.B\\*\\(c\\)");
  EXPECT_EQ(regex_escape("x\\y"), "x\\\\y");
}

TEST(HanaUtils, DirectoryPermissionAddsSearchBitsToExistingAndFullModesToNewDirectories) {
  Temp_Dir dir;
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0700));
  ASSERT_EQ(0, ::mkdir(dir.file("a").c_str(), 0600));
  ASSERT_EQ(0, ::chmod(dir.file("a").c_str(), 0600));
  auto mode = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  };
  const mode_t tmp_before = mode(dirname_string(dir.path()));
  EXPECT_TRUE(change_directory_permission(dir.file("a/b/c"), 0750));
  EXPECT_EQ(0710u, mode(dir.path())) << "an existing directory only becomes passable";
  EXPECT_EQ(0710u, mode(dir.file("a")));
  EXPECT_EQ(0750u, mode(dir.file("a/b")));
  EXPECT_EQ(0750u, mode(dir.file("a/b/c")));
  EXPECT_EQ(tmp_before, mode(dirname_string(dir.path())));

  dir.write("file", "x");
  EXPECT_FALSE(change_directory_permission(dir.file("file/d"), 0755));
  EXPECT_FALSE(change_directory_permission("relative/path", 0755));
}
