#include <gtest/gtest.h>

#include <sstream>

#include "backint/backint_catalog_lookup.h"
#include "backint/backint_info.h"
#include "backupd_fixture.h"
#include "log_capture.h"

using namespace sap_hana;

namespace {

// The catalog lookup over a session to the development backupd, its
// protocol writing to memory.
class Lookup_Parts {
 public:
  explicit Lookup_Parts(const Backint_Info& info)
      : info_(info), lookup_(protocol_, catalog_, session_, info_.backupd_access_key) {
    protocol_.use_streams(nullptr, &out_);
  }
  bool init_session(const JSON_HTTP_Session& session) {
    session_ = session;
    return catalog_.init(session_);
  }
  std::string out() const { return out_.str(); }
  Backint_Catalog_Lookup& lookup() { return lookup_; }

 private:
  Backint_Info info_;
  std::ostringstream out_;
  Backint_Protocol protocol_;
  JSON_HTTP_Session session_;
  Backint_Catalog_helper catalog_;
  Backint_Catalog_Lookup lookup_;
};

class BackintLookup : public Backupd_Test {
 protected:
  void SetUp() override {
    Backupd_Test::SetUp();
    info_.backupd_host = "127.0.0.1";
    info_.backupd_port = server_.port();
    info_.backupd_access_key = server_.access_key().c_str();
    handler_.reset(new Lookup_Parts(info_));
    ASSERT_TRUE(handler_->init_session(server_.json_session()));
    catalog_.init(server_.json_session());
  }

  // A backint catalog job with one file.
  void add_local(const std::string& ebid, const std::string& name, std::uint64_t backup_id,
                 const std::string& landscape = "L1", const std::string& sid = "HDB") {
    Backint_Backup_Job_Info job;
    job.uuid = "job-" + ebid;
    job.landscape_id = landscape;
    job.database = "T1";
    job.location = "/pool/a";
    job.database_backup_id = backup_id;
    ASSERT_TRUE(catalog_.add_job(job));
    Backup_File_Info file;
    file.extern_backup_id = ebid;
    file.filename = name;
    file.origin_path = "/usr/sap/" + sid + "/SYS/global/hdb/backint/DB_T1/" + name;
    file.storage_path = "h/L1/T1/1/" + name;
    file.source_type = "pipe";
    file.size = 10;
    file.database_backup_id = backup_id;
    ASSERT_TRUE(catalog_.add_file(job.uuid, file));
  }

  json_value set_row(const std::string& ebid, const std::string& name, std::uint64_t backup_id) {
    return json_value{{"size", 20},
                      {"location", "/pool/b/dir/" + name},
                      {"database", "T1"},
                      {"extern_backup_id", ebid},
                      {"pool_uuid", ""},
                      {"origin_path", "/o/" + name},
                      {"storage_path", "dir/" + name},
                      {"backup_start_time", "2020-08-21T10:00:00.000Z"},
                      {"database_backup_id", backup_id},
                      {"filename", name}};
  }

  Backint_Info info_;
  std::unique_ptr<Lookup_Parts> handler_;
  Backint_Catalog_helper catalog_;
};

}  // namespace

TEST_F(BackintLookup, ByNameTheNewerBackupWinsAndTiesGoToTheBackupSets) {
  add_local("e-local-7", "data_0_1", 7);
  ASSERT_TRUE(server_.add_set_rows(json_value::array({set_row("e-sets-5", "data_0_1", 5)})));
  Backint_Catalog_Lookup::Catalog_Backup_File_Info info;
  ASSERT_TRUE(handler_->lookup().get_backup_file("T1", "data_0_1", "", {}, info).is_found());
  EXPECT_EQ(info.ebid, "e-local-7");
  EXPECT_EQ(info.path, "/pool/a");
  EXPECT_EQ(info.filename, "h/L1/T1/1/data_0_1");

  add_local("e-local-9", "data_0_2", 9);
  ASSERT_TRUE(server_.add_set_rows(json_value::array({set_row("e-sets-9", "data_0_2", 9)})));
  ASSERT_TRUE(handler_->lookup().get_backup_file("T1", "data_0_2", "", {}, info).is_found());
  EXPECT_EQ(info.ebid, "e-sets-9");
  EXPECT_EQ(info.path, "/pool/b/dir");
  EXPECT_EQ(info.filename, "data_0_2");
  EXPECT_EQ(info.backup_time, "2020-08-21T10:00:00.000Z");

  add_local("e-local-0", "data_0_3", 0);
  ASSERT_TRUE(handler_->lookup().get_backup_file("T1", "data_0_3", "", {}, info).is_found());
  EXPECT_EQ(info.ebid, "e-local-0");

  EXPECT_TRUE(handler_->lookup().get_backup_file("T1", "data_0_4", "", {}, info).is_not_found());
  EXPECT_EQ(handler_->out(), "");
}

TEST_F(BackintLookup, ByNameTheNewestOfSeveralRecordsOfOneNameWins) {
  add_local("e-old", "log_0_1", 3);
  add_local("e-new", "log_0_1", 8);
  add_local("e-mid", "log_0_1", 5);
  Backint_Catalog_Lookup::Catalog_Backup_File_Info info;
  ASSERT_TRUE(handler_->lookup().get_backup_file("T1", "log_0_1", "", {}, info).is_found());
  EXPECT_EQ(info.ebid, "e-new");
  EXPECT_EQ(handler_->out(), "");
}

TEST_F(BackintLookup, ByEbidTheBackintCatalogComesFirst) {
  add_local("e1", "data_0_1", 3);
  ASSERT_TRUE(server_.add_set_rows(json_value::array({set_row("e2", "data_0_1", 5)})));
  Backint_Catalog_Lookup::Catalog_Backup_File_Info info;
  ASSERT_TRUE(handler_->lookup().get_backup_file("e1", "", {}, info).is_found());
  EXPECT_EQ(info.ebid, "e1");
  ASSERT_TRUE(handler_->lookup().get_backup_file("e2", "", {}, info).is_found());
  EXPECT_EQ(info.ebid, "e2");
  EXPECT_EQ(info.size, 20u);
  EXPECT_TRUE(handler_->lookup().get_backup_file("e3", "", {}, info).is_not_found());

  // The backup-set query carries the fixed parameters after the caller's.
  json_value last = server_.requests().back();
  EXPECT_EQ(last["path"], "/d2/r/v2/sets/select");
  EXPECT_EQ(last["query"],
            "extern_backup_id=e3&module=hana&view=backupfile&resource_uuid=00000000-0000-0000-0000-000000000000");
}

TEST_F(BackintLookup, OnlyTheBackupsOfTheScopesSystemAreAnswered) {
  add_local("e-own", "data_0_1", 3);
  add_local("e-other", "data_0_1", 9, "L2", "HDC");
  add_local("e-same-sid-elsewhere", "data_0_1", 10, "L2", "HDB");
  add_local("e-copy", "data_0_1", 11, "L1", "HDC");  // a system copy keeps the landscape id
  json_value other = set_row("e-sets-other", "data_0_1", 12);
  other["origin_path"] = "/usr/sap/HDC/SYS/global/hdb/backint/DB_T1/data_0_1";
  ASSERT_TRUE(server_.add_set_rows(json_value::array({other, set_row("e-sets-own", "data_0_1", 2)})));
  const Backint_Catalog_Lookup::System_Scope own{"L1", "HDB"};
  Backint_Catalog_Lookup::Catalog_Backup_File_Info info;
  ASSERT_TRUE(handler_->lookup().get_backup_file("T1", "data_0_1", "", own, info).is_found());
  EXPECT_EQ(info.ebid, "e-own");
  ASSERT_TRUE(handler_->lookup().get_backup_file("e-own", "", own, info).is_found());
  for (const char* ebid : {"e-other", "e-same-sid-elsewhere", "e-copy", "e-sets-other"})
    EXPECT_TRUE(handler_->lookup().get_backup_file(ebid, "", own, info).is_not_found()) << ebid;
  std::uint64_t total = 0;
  Backint_Catalog_Lookup::Catalog_Backup_File_Infos list;
  ASSERT_TRUE(handler_->lookup().get_backup_files_from_local("T1", "data_0_1", own, total, list, 0, 10));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].ebid, "e-own");
  // Past another system's first backup-set row to this system's.
  ASSERT_TRUE(handler_->lookup().get_backup_file("T1", "data_0_1", "", {"L9", "HDB"}, info).is_found());
  EXPECT_EQ(info.ebid, "e-sets-own");
  EXPECT_EQ(handler_->out(), "");
}

TEST_F(BackintLookup, BackupSetRequestIsTriedFourTimes) {
  server_.clear_requests();
  ASSERT_TRUE(server_.fault(4, 503, "/d2/r/v2/sets/select"));
  std::uint64_t total = 0;
  Backint_Catalog_Lookup::Catalog_Backup_File_Infos list;
  Log_Capture log;
  EXPECT_FALSE(handler_->lookup().get_backup_files_from_backupd("T1", "x", "", {}, total, list, 0, 10));
  EXPECT_EQ(server_.requests().size(), 4u);
  std::string text = log.text();
  EXPECT_NE(text.find("Retry(1) "), std::string::npos);
  EXPECT_NE(text.find("Retry(3) "), std::string::npos);
  EXPECT_EQ(text.find("Retry(4) "), std::string::npos);
  EXPECT_EQ(handler_->out(), "#DEBUG Failed to get catalog backup files, status = 503\n");
}

TEST_F(BackintLookup, DroppedConnectionsAreRetriedToo) {
  ASSERT_TRUE(server_.fault(2, 0, "/d2/r/v2/sets/select", "silent"));
  ASSERT_TRUE(server_.add_set_rows(json_value::array({set_row("e2", "data_0_1", 5)})));
  std::uint64_t total = 0;
  Backint_Catalog_Lookup::Catalog_Backup_File_Infos list;
  Log_Capture log;
  ASSERT_TRUE(handler_->lookup().get_backup_files_from_backupd("", "data_0_1", "", {}, total, list, 0, 10));
  EXPECT_EQ(total, 1u);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].ebid, "e2");
}

TEST_F(BackintLookup, MalformedAnswerFailsAtOnce) {
  server_.clear_requests();
  json_value f{{"count", 1}, {"status", 200}, {"prefix", "/d2/r/v2/sets/select"}, {"body", {{"total", 1}}}};
  ASSERT_TRUE(server_.admin_post("faults", f));
  std::uint64_t total = 0;
  Backint_Catalog_Lookup::Catalog_Backup_File_Infos list;
  EXPECT_FALSE(handler_->lookup().get_backup_files_from_backupd("", "x", "", {}, total, list, 0, 10));
  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(handler_->out(), "#DEBUG Failed to get catalog backup files, member \"rows\" is missing\n");
}

TEST_F(BackintLookup, ALocationWithoutDirectoryFailsTheRequest) {
  json_value row = set_row("e9", "plain", 1);
  row["location"] = "plain";
  ASSERT_TRUE(server_.add_set_rows(json_value::array({row})));
  std::uint64_t total = 0;
  Backint_Catalog_Lookup::Catalog_Backup_File_Infos list;
  EXPECT_FALSE(handler_->lookup().get_backup_files_from_backupd("", "plain", "", {}, total, list, 0, 10));
  EXPECT_EQ(handler_->out(), "#DEBUG Failed to get catalog backup files: failed to get 'plain' directory\n");
  EXPECT_TRUE(list.empty());
}
