#include <ace/ACE.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "agent/storage/client_io_ex.h"
#include "backint/restore_handler.h"
#include "backupd_fixture.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "read_file.h"

using namespace sap_hana;

namespace {

// The restore handler on in-memory streams, its protected pieces exposed.
class Restore_Probe : public Backint_Restore_Handler {
 public:
  explicit Restore_Probe(const std::string& input = "", const Backint_Info& info = Backint_Info())
      : Backint_Restore_Handler(info), in_(input) {
    protocol_.use_streams(&in_, &out_);
  }
  std::string out() const { return out_.str(); }
  void clear_out() { out_.str(""); }

  Backint_Catalog_Lookup& lookup() { return catalog_; }
  using Backint_Restore_Handler::check_destination_pipe;
  using Backint_Restore_Handler::ebid_source_;
  using Backint_Restore_Handler::handle_input_file;
  using Backint_Restore_Handler::init_session;
  using Backint_Restore_Handler::mdc_;
  using Backint_Restore_Handler::null_source_;
  using Backint_Restore_Handler::write_data;

 private:
  std::istringstream in_;
  std::ostringstream out_;
};

// Sets ACE's debug flag while it lives.
class Debug_Mode {
 public:
  Debug_Mode() : old_(ACE::debug()) { ACE::debug(true); }
  ~Debug_Mode() { ACE::debug(old_); }

 private:
  bool old_;
};

}  // namespace

TEST(BackintRestorePipeName, SidAndDatabaseFromTheBackintDirectory) {
  Restore_Probe h;
  std::string sid, db;
  ASSERT_TRUE(h.parse_pipename("/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/COMPLETE_databackup_3_1", sid, db));
  EXPECT_EQ(sid, "ABC");
  EXPECT_EQ(db, "T01");

  // Without the "DB_" prefix the directory names the database only on a
  // multi-container system; a single-container system's database is the SID.
  h.mdc_ = true;
  ASSERT_TRUE(h.parse_pipename("/usr/sap/ABC/SYS/global/hdb/backint/SYSTEMDB/log_backup_0_0_0_0", sid, db));
  EXPECT_EQ(db, "SYSTEMDB");
  h.mdc_ = false;
  ASSERT_TRUE(h.parse_pipename("/usr/sap/ABC/SYS/global/hdb/backint/ABC/data_0_1", sid, db));
  EXPECT_EQ(sid, "ABC");
  EXPECT_EQ(db, "ABC");
  ASSERT_TRUE(h.parse_pipename("/usr/sap/ABC/SYS/global/hdb/backint/SYSTEMDB/x", sid, db));
  EXPECT_EQ(db, "ABC");

  // "<database>@<SID>" in the fourth piece wins over the directory.
  ASSERT_TRUE(h.parse_pipename("/usr/sap/T02@XYZ/SYS/global/hdb/backint/DB_T01/x", sid, db));
  EXPECT_EQ(sid, "XYZ");
  EXPECT_EQ(db, "T02");
  EXPECT_EQ(h.out(), "");
}

TEST(BackintRestorePipeName, MalformedNamesAreRefusedWithADebugLine) {
  Restore_Probe h;
  std::string sid = "keep", db = "keep";
  EXPECT_FALSE(h.parse_pipename("", sid, db));
  EXPECT_FALSE(h.parse_pipename("/usr/sap", sid, db));
  EXPECT_FALSE(h.parse_pipename("relative_name", sid, db));
  EXPECT_EQ(h.out(),
            "#DEBUG Failed to parse pipe name from empty pipe name\n"
            "#DEBUG Invalid pipe name\n"
            "#DEBUG Invalid pipe name\n");
  EXPECT_EQ(sid, "keep");
  EXPECT_EQ(db, "keep");
}

TEST(BackintRestoreDestination, OnlyWritableNamedPipesPass) {
  Temp_Dir dir;
  Restore_Probe h;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(h.check_destination_pipe(fifo));
  EXPECT_EQ(h.out(), "");

  const std::string readonly = dir.file("readonly");
  ASSERT_EQ(::mkfifo(readonly.c_str(), 0600), 0);
  ASSERT_EQ(::chmod(readonly.c_str(), 0444), 0);
  EXPECT_FALSE(h.check_destination_pipe(readonly));
  const std::string regular = dir.write("regular", "x");
  EXPECT_FALSE(h.check_destination_pipe(regular));
  EXPECT_FALSE(h.check_destination_pipe(dir.file("missing")));
  EXPECT_EQ(h.out(), "#DEBUG Destination file " + readonly + " has no write permission\n" + "#DEBUG Destination pipe " +
                         regular + " does not exist\n" + "#DEBUG Destination pipe " + dir.file("missing") +
                         " does not exist\n");

  Log_Capture log;
  h.clear_out();
  EXPECT_FALSE(h.check_destination_pipe(""));
  EXPECT_EQ(h.out(), "");
  EXPECT_NE(log.text().find("file is NULL or \"\""), std::string::npos) << log.text();
}

TEST(BackintRestoreInput, EntriesKeepTheirKindAndOrder) {
  Restore_Probe h(
      "#SOFTWAREID \"backint 1.50\" \"HANA\"\n"
      "#NULL \"/p/DB_T01/log_backup_0_0_0_0\" \"/q/DB_T02/log_backup_0_0_0_0\"\n"
      "#EBID \"0123456789abcdef0123456789abcdef\" \"/p/DB_T01/data_0_1\"\n"
      "#EBID fedcba9876543210fedcba9876543210 /p/DB_T01/data_3_1 /q/DB_T02/data_3_1\n"
      "#EBID onlyebid\n"
      "#NULL \"/p/DB_T01/unclosed\n"
      "#PIPE /p/x\n");
  ASSERT_TRUE(h.handle_input_file());
  ASSERT_EQ(h.ebid_source_.size(), 2u);
  EXPECT_EQ(h.ebid_source_[0].id, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(h.ebid_source_[0].filename, "/p/DB_T01/data_0_1");
  EXPECT_EQ(h.ebid_source_[0].destname, "/p/DB_T01/data_0_1");
  EXPECT_EQ(h.ebid_source_[1].id, "fedcba9876543210fedcba9876543210");
  EXPECT_EQ(h.ebid_source_[1].destname, "/q/DB_T02/data_3_1");
  ASSERT_EQ(h.null_source_.size(), 1u);
  EXPECT_EQ(h.null_source_[0].id, "");
  EXPECT_EQ(h.null_source_[0].destname, "/q/DB_T02/log_backup_0_0_0_0");
  // Never waited for as a pipe named "\"/p/...".
  EXPECT_EQ(h.out(), "#DEBUG Failed to read the input line of /p/DB_T01/unclosed\n#ERROR \"/p/DB_T01/unclosed\"\n");

  Restore_Probe empty("#SOFTWAREID \"backint 1.50\" \"HANA\"\n#EBID onlyebid\n");
  EXPECT_FALSE(empty.handle_input_file());
  EXPECT_EQ(empty.out(), "#DEBUG Input file is empty\n#ERROR \"NULL\"\n");
}

class BackintRestoreTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    data_.reserve(3 << 20);
    for (std::size_t i = 0; i < (3u << 20); ++i) data_.push_back(static_cast<char>((i * 2654435761u) >> 13));
    const std::string source = dir_.write("source", data_);
    Client_IO_Ex io;
    Client_IO_Base::Options options;
    options.compression_method = COMPR_ZSTD;
    ASSERT_TRUE(io.connect(pool(), options));
    ASSERT_TRUE(io.put_file(source, "HXA/data_0_1", false, O_CLOEXEC, 0, nullptr)) << io.error();
  }
  std::string pool() const { return dir_.path() + "/pool"; }

  Temp_Dir dir_;
  std::string data_;
};

TEST_F(BackintRestoreTransfer, CompressedObjectComesBackByteForByte) {
  Restore_Probe h;
  Client_IO_Base::Options options;  // COMPR_NONE: the object's header decides
  const std::string dest = dir_.file("restored");
  ASSERT_TRUE(h.write_data(pool(), "HXA/data_0_1", dest, options)) << h.out();
  EXPECT_EQ(options.compression_method, COMPR_AUTO);
  EXPECT_TRUE(read_file(dest) == data_);
  EXPECT_EQ(h.out(), "");

  // In debug mode the source is named.
  Debug_Mode debug;
  ASSERT_TRUE(h.write_data(pool(), "HXA/data_0_1", dest, options)) << h.out();
  EXPECT_EQ(h.out(), "#DEBUG Source file info: " + pool() + "/HXA/data_0_1\n");
  EXPECT_TRUE(read_file(dest) == data_);
}

TEST_F(BackintRestoreTransfer, CorruptedObjectFailsAndLeavesNoFile) {
  // Flip one payload byte of the stored object.
  const std::string object = pool() + "/HXA/data_0_1";
  {
    std::fstream f(object, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(200);
    char c = 0;
    f.read(&c, 1);
    c = static_cast<char>(c ^ 0x5a);
    f.seekp(200);
    f.write(&c, 1);
  }
  Restore_Probe h;
  Client_IO_Base::Options options;
  const std::string dest = dir_.file("restored");
  EXPECT_FALSE(h.write_data(pool(), "HXA/data_0_1", dest, options));
  EXPECT_EQ(h.out().rfind("#DEBUG Failed to write data to " + dest + ", ", 0), 0u) << h.out();
  EXPECT_EQ(read_file(dest), "");
}

TEST_F(BackintRestoreTransfer, MissingPiecesAreNamed) {
  Restore_Probe h;
  Client_IO_Base::Options options;
  EXPECT_FALSE(h.write_data("", "HXA/data_0_1", "/x", options));
  EXPECT_FALSE(h.write_data(pool(), "", "/x", options));
  EXPECT_FALSE(h.write_data(pool(), "HXA/data_0_1", "", options));
  EXPECT_FALSE(h.write_data(pool(), "HXA/absent", dir_.file("out"), options));
  const std::string out = h.out();
  EXPECT_EQ(out.substr(0, out.find("#DEBUG Failed to write data to")),
            "#DEBUG Lack of location\n#DEBUG Lack of dataset\n#DEBUG Lack of destination file\n");
  EXPECT_NE(out.find("#DEBUG Failed to write data to " + dir_.file("out") + ", "), std::string::npos);
}

// Which catalog answers a lookup by name.
class BackintRestoreByName : public Backupd_Test {
 protected:
  void SetUp() override {
    Backupd_Test::SetUp();
    info_.backupd_host = "127.0.0.1";
    info_.backupd_port = server_.port();
    info_.backupd_access_key.assign(server_.access_key().data(), server_.access_key().size());
  }
  // A backint catalog record of `name` with HANA backup id `id`.
  void add_local(const std::string& name, std::uint64_t id, const std::string& ebid) {
    Backint_Catalog_helper helper;
    ASSERT_TRUE(helper.init(server_.json_session()));
    Backint_Backup_Job_Info job;
    job.uuid = "job-" + ebid;
    job.database = "T01";
    job.location = "/pool/local";
    job.database_backup_id = id;
    ASSERT_TRUE(helper.add_job(job));
    Backup_File_Info file;
    file.filename = name;
    file.extern_backup_id = ebid;
    file.storage_path = "HXA/" + name;
    file.source_type = "pipe";
    file.database_backup_id = id;
    ASSERT_TRUE(helper.add_files(job.uuid, Backup_File_Infos{file}));
  }
  void add_set(const std::string& name, std::uint64_t id, const std::string& ebid) {
    json_value row{{"size", 10},
                   {"location", "/pool/sets/" + name},
                   {"database", "T01"},
                   {"extern_backup_id", ebid},
                   {"pool_uuid", ""},
                   {"origin_path", "/usr/sap/HXA/x/" + name},
                   {"storage_path", "sets/" + name},
                   {"backup_start_time", "2026-01-01T00:00:00.000Z"},
                   {"database_backup_id", id}};
    ASSERT_TRUE(server_.add_set_rows(json_value::array({row})));
  }
  std::string found_ebid(const std::string& name) {
    Restore_Probe h("", info_);
    EXPECT_TRUE(h.init_session());
    Backint_Handler::Catalog_Backup_File_Info info;
    if (!h.lookup().get_backup_file("T01", name, "", {}, info).is_found()) return "none";
    return info.ebid;
  }

  Backint_Info info_;
};

TEST_F(BackintRestoreByName, NewerBackupWinsAndTiesGoToTheBackupSets) {
  add_local("data_newer_local", 7, "local7");
  add_set("data_newer_local", 5, "set5");
  EXPECT_EQ(found_ebid("data_newer_local"), "local7");

  add_local("data_tie", 6, "local6");
  add_set("data_tie", 6, "set6");
  EXPECT_EQ(found_ebid("data_tie"), "set6");

  add_local("data_local_only", 0, "local0");
  EXPECT_EQ(found_ebid("data_local_only"), "local0");

  add_set("data_set_only", 3, "set3");
  EXPECT_EQ(found_ebid("data_set_only"), "set3");

  EXPECT_EQ(found_ebid("data_nowhere"), "none");
}
