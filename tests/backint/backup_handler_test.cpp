#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "agent/base/file_utils.h"
#include "backint/backup_handler.h"
#include "temp_dir.h"
#include "read_file.h"

using namespace sap_hana;

namespace {

// A data backup handler on in-memory streams whose state a test may set.
class Data_Probe : public Backint_Backup_Handler {
 public:
  explicit Data_Probe(const std::string& input = "", Backint_Info info = Backint_Info())
      : Backint_Backup_Handler(with_in_file(info)), in_(input) {
    protocol_.use_streams(&in_, &out_);
  }
  static Backint_Info with_in_file(Backint_Info info) {
    if (info.in_file.empty()) info.in_file = "/tmp/in";
    return info;
  }
  std::string out() const { return out_.str(); }

  using Backint_Backup_Basic_Handler::dir_;
  using Backint_Backup_Basic_Handler::get_database_from_pipename;
  using Backint_Backup_Basic_Handler::handle_input_file;
  using Backint_Backup_Basic_Handler::handle_source_file;
  using Backint_Backup_Basic_Handler::job_info_;
  using Backint_Backup_Basic_Handler::max_seconds_retry_;
  using Backint_Backup_Basic_Handler::mdc_;
  using Backint_Backup_Basic_Handler::rate_limits_;
  using Backint_Backup_Basic_Handler::read_io_ctl;
  using Backint_Backup_Basic_Handler::resumption_buffer_size_;
  using Backint_Backup_Basic_Handler::server_side_dedup_;
  using Backint_Backup_Basic_Handler::source_files_;
  using Backint_Backup_Basic_Handler::tool_options_;
  using Backint_Backup_Handler::execute_backup;
  using Backint_Handler::sid_;

 private:
  std::istringstream in_;
  std::ostringstream out_;
};

}  // namespace

TEST(BackintBackupToolOption, JobUuidCountsOnlyAtTheStartOrAfterASemicolon) {
  std::string uuid = "old";
  EXPECT_TRUE(Backint_Backup_Handler::parse_job_uuid("a=1;job_uuid=J;b=2", uuid));
  EXPECT_EQ(uuid, "J");
  EXPECT_TRUE(Backint_Backup_Handler::parse_job_uuid("job_uuid=K", uuid));
  EXPECT_EQ(uuid, "K");
  EXPECT_TRUE(Backint_Backup_Handler::parse_job_uuid("job_uuid=;x", uuid));
  EXPECT_EQ(uuid, "");
  EXPECT_FALSE(Backint_Backup_Handler::parse_job_uuid("xjob_uuid=J", uuid));
  EXPECT_EQ(uuid, "");
  // Only the first occurrence is looked at.
  EXPECT_FALSE(Backint_Backup_Handler::parse_job_uuid("xjob_uuid=A;job_uuid=B", uuid));
  EXPECT_EQ(uuid, "");
  EXPECT_FALSE(Backint_Backup_Handler::parse_job_uuid("", uuid));
}

TEST(BackintBackupInput, ToolOptionAndSourcesAreRead) {
  Data_Probe h(
      "#SOFTWAREID \"backint 1.50\" \"HANA\"\n"
      "#TOOLOPTION \"job_uuid=A;\"\n"
      "#PIPE \"/usr/sap/H00/SYS/global/hdb/backint/DB_T1/a b\" 123\n"
      "#TOOLOPTION \"job_uuid=B;\"\n"
      "#FILE /tmp/x\n"
      "#EBID \"e\" \"/tmp/y\"\n"
      "#PIPE\n"
      "#PIPE \"/tmp/q\\\"uote\"\n");
  ASSERT_TRUE(h.handle_input_file());
  EXPECT_EQ(h.tool_options_, "job_uuid=B;");
  ASSERT_EQ(h.source_files_.size(), 3u);
  EXPECT_EQ(h.source_files_[0].type, "pipe");
  EXPECT_EQ(h.source_files_[0].filename, "/usr/sap/H00/SYS/global/hdb/backint/DB_T1/a b");
  EXPECT_TRUE(h.source_files_[0].has_size);
  EXPECT_EQ(h.source_files_[0].size, 123u);
  EXPECT_EQ(h.source_files_[1].type, "file");
  EXPECT_EQ(h.source_files_[1].filename, "/tmp/x");
  EXPECT_FALSE(h.source_files_[1].has_size);
  EXPECT_EQ(h.source_files_[2].filename, "/tmp/q\"uote");

  Data_Probe none("#SOFTWAREID \"backint 1.50\" \"HANA\"\n#TOOLOPTION \"x\"\n");
  EXPECT_FALSE(none.handle_input_file());
}

TEST(BackintBackupInput, DatabaseFromPipeName) {
  Data_Probe h;
  h.sid_ = "H00";
  std::string db;

  h.mdc_ = true;
  ASSERT_TRUE(h.get_database_from_pipename("/usr/sap/H00/SYS/global/hdb/backint/DB_HX1/data_0", db));
  EXPECT_EQ(db, "HX1");
  ASSERT_TRUE(h.get_database_from_pipename("/usr/sap/H00/SYS/global/hdb/backint/SYSTEMDB/data_0", db));
  EXPECT_EQ(db, "SYSTEMDB");

  h.mdc_ = false;
  ASSERT_TRUE(h.get_database_from_pipename("/usr/sap/H00/SYS/global/hdb/backint/H00/data_0", db));
  EXPECT_EQ(db, "H00");

  db = "kept";
  EXPECT_FALSE(h.get_database_from_pipename("/usr/sap/OTH/SYS/global/hdb/backint/DB_X/data_0", db));
  EXPECT_EQ(db, "kept");
  EXPECT_EQ(h.out(), "");
  EXPECT_FALSE(h.get_database_from_pipename("/usr/sap", db));
  EXPECT_FALSE(h.get_database_from_pipename("", db));
  EXPECT_EQ(h.out(), "#DEBUG Invalid pipe name\n#DEBUG Failed to get database name from empty pipename\n");
}

TEST(BackintBackupRun, UnsupportedLevelsAreRefused) {
  Backint_Info info;
  info.level = LEVEL_UNKNOWN;
  Data_Probe unknown("#PIPE /p\n", info);
  EXPECT_FALSE(unknown.execute_backup());
  EXPECT_EQ(unknown.out(), "#DEBUG Level 0 is not supported in backup handler\n#ERROR \"/tmp/in\"\n");

  info.level = LEVEL_LOG;
  Data_Probe log("#PIPE /p\n", info);
  EXPECT_FALSE(log.execute_backup());
  EXPECT_EQ(log.out(), "#DEBUG Level 2 is not supported in backup handler\n#ERROR \"/tmp/in\"\n");
}

TEST(BackintBackupRun, TransferSettingsFromIoCtl) {
  Data_Probe h;
  json_value io_ctl = json_value::parse(
      R"({"max_seconds_retry": 30, "server_side_dedup": true,
          "dest_rate_limits": "[{\"start_time\": 80000, \"end_time\": 100, \"max_bytes_per_second\": 7}]"})");
  h.read_io_ctl(io_ctl, true);
  EXPECT_EQ(h.max_seconds_retry_, 30u);
  EXPECT_EQ(h.resumption_buffer_size_, 10485760u);
  EXPECT_TRUE(h.server_side_dedup_);
  ASSERT_EQ(h.rate_limits_.dest().size(), 2u);  // wraps midnight
  EXPECT_EQ(h.rate_limits_.dest()[0], Rate_Control_Entry(80000, 86399, 7));
  EXPECT_EQ(h.rate_limits_.dest()[1], Rate_Control_Entry(0, 100, 7));

  // A mistyped member keeps its default and says so; the others still count.
  Data_Probe bad;
  bad.read_io_ctl(json_value::parse(R"({"max_seconds_retry": "x", "resumption_buffer_size": 4096})"), false);
  EXPECT_EQ(bad.max_seconds_retry_, 600u);
  EXPECT_EQ(bad.resumption_buffer_size_, 4096u);
  EXPECT_EQ(bad.out(), "#DEBUG Failed to parse io_ctl, member \"max_seconds_retry\" is not an unsigned integer\n");
}

// Streaming into a file pool directory; no job UUID, so nothing is registered.
class BackintBackupStreaming : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    ::mkdir(tmp_.file("pool").c_str(), 0755);
  }
  std::string object(const std::string& name) { return tmp_.file("pool/L/DB/7/" + name); }
  std::string input(const std::string& lines) { return "#SOFTWAREID \"backint 1.50\" \"HANA\"\n" + lines; }
  void prepare(Data_Probe& h, const std::string& compression = "") {
    ASSERT_TRUE(h.handle_input_file());
    h.job_info_.location = tmp_.file("pool");
    h.job_info_.compression = compression;
    h.dir_ = "L/DB/7";
  }
  Temp_Dir tmp_;
};

TEST_F(BackintBackupStreaming, OneStreamSavesTheSourcesInOrderAndAnswers) {
  const std::string a = tmp_.write("a.dat", std::string(100000, 'a'));
  const std::string b = tmp_.write("b\"q", "bee");
  Data_Probe h(input("#FILE " + a + " 100000\n#FILE \"" + tmp_.file("b\\\"q") + "\"\n"));
  prepare(h);
  h.read_io_ctl(json_value::parse(R"({"max_streams": 1})"), false);
  ASSERT_TRUE(h.handle_source_file()) << h.out();
  const std::regex saved("#SAVED \"[0-9a-f]{32}\" \"(.*)\" (\\d+)");
  std::istringstream lines(h.out());
  std::string line;
  std::smatch m;
  ASSERT_TRUE(std::getline(lines, line));
  ASSERT_TRUE(std::regex_match(line, m, saved)) << line;
  EXPECT_EQ(m[1], a);
  EXPECT_EQ(m[2], "100000");
  ASSERT_TRUE(std::getline(lines, line));
  ASSERT_TRUE(std::regex_match(line, m, saved)) << line;
  EXPECT_EQ(m[1], tmp_.file("b\\\"q"));
  EXPECT_EQ(m[2], "3");
  EXPECT_FALSE(std::getline(lines, line));
  // Object: 64-byte header, data, 64-byte trailer.
  EXPECT_EQ(read_file(object("a.dat")).substr(64, 100000), std::string(100000, 'a'));
  EXPECT_EQ(read_file(object("b\"q")).substr(64, 3), "bee");
}

TEST_F(BackintBackupStreaming, CompressionNamesTheSuffix) {
  const std::string a = tmp_.write("a.dat", std::string(5000, 'z'));
  Data_Probe zstd(input("#FILE " + a + "\n"));
  prepare(zstd, "zstd");
  ASSERT_TRUE(zstd.handle_source_file()) << zstd.out();
  EXPECT_TRUE(is_regular_file(object("a.dat.zst").c_str()));

  Data_Probe unknown(input("#FILE " + a + "\n"));
  prepare(unknown, "brotli");
  ASSERT_TRUE(unknown.handle_source_file()) << unknown.out();
  EXPECT_TRUE(is_regular_file(object("a.dat").c_str()));
}

TEST_F(BackintBackupStreaming, AnnouncedSizeIsAHintAndTheDeliveredBytesAreSaved) {
  const std::string exact = tmp_.write("exact", "0123456789");
  const std::string shorter = tmp_.write("short", "01234");
  const std::string longer = tmp_.write("long", "0123456789ABC");
  Data_Probe h(input("#FILE " + exact + " 10\n#FILE " + shorter + " 10\n#FILE " + longer + " 10\n"));
  prepare(h);
  ASSERT_TRUE(h.handle_source_file()) << h.out();
  const std::string out = h.out();
  EXPECT_NE(out.find("\" \"" + exact + "\" 10\n"), std::string::npos) << out;
  EXPECT_NE(out.find("#DEBUG " + shorter + " was announced with 10 bytes and delivered 5\n#SAVED "), std::string::npos)
      << out;
  EXPECT_NE(out.find("\" \"" + shorter + "\" 5\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\" \"" + longer + "\" 13\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("#ERROR"), std::string::npos) << out;
  EXPECT_EQ(read_file(object("short")).substr(64, 5), "01234");
}

TEST_F(BackintBackupStreaming, FailuresAreReportedWithTheirFileAndTheOthersGoOn) {
  const std::string good = tmp_.write("good", "data");
  Data_Probe missing(input("#FILE " + tmp_.file("nope") + "\n#FILE " + good + "\n"));
  prepare(missing);
  EXPECT_FALSE(missing.handle_source_file());
  EXPECT_NE(missing.out().find("#DEBUG Failed to open the file, failed to open '" + tmp_.file("nope") +
                               "' for reading: No such file or directory\n#ERROR \"" + tmp_.file("nope") + "\"\n"),
            std::string::npos)
      << missing.out();
  EXPECT_NE(missing.out().find("\" \"" + good + "\" 4\n"), std::string::npos) << missing.out();

  Data_Probe no_location(input("#FILE /x\n"));
  ASSERT_TRUE(no_location.handle_input_file());
  EXPECT_FALSE(no_location.handle_source_file());
  EXPECT_EQ(no_location.out(), "#DEBUG Failed to get location or directory\n#ERROR \"/tmp/in\"\n");
}
