#include <gtest/gtest.h>

#include <sstream>

#include "backint/delete_handler.h"
#include "backupd_fixture.h"
#include "log_capture.h"

using namespace sap_hana;

namespace {

class Delete_Probe : public Backint_Delete_Handler {
 public:
  explicit Delete_Probe(const std::string& input, const Backint_Info& info = Backint_Info())
      : Backint_Delete_Handler(info), in_(input) {
    protocol_.use_streams(&in_, &out_);
  }
  std::string out() const { return out_.str(); }

  using Backint_Delete_Handler::delete_ebid_file;
  using Backint_Delete_Handler::ebid_source_;
  using Backint_Delete_Handler::handle_input_file;
  using Backint_Delete_Handler::init_session;

 private:
  std::istringstream in_;
  std::ostringstream out_;
};

}  // namespace

TEST(BackintDeleteInput, OnlyEbidLinesWithANameCount) {
  Delete_Probe h(
      "#SOFTWAREID \"backint 1.50\" \"HANA\"\n"
      "#EBID \"aaaa\" \"/p/DB_T01/data_0_1\"\n"
      "#EBID bbbb \"/p/DB_T01/name  with  blanks\" /p/DB_T01/not_part_of_it\n"
      "#NULL /p/DB_T01/data_3_1\n"
      "#EBID cccc\n");
  ASSERT_TRUE(h.handle_input_file());
  ASSERT_EQ(h.ebid_source_.size(), 2u);
  EXPECT_EQ(h.ebid_source_[0].id, "aaaa");
  EXPECT_EQ(h.ebid_source_[0].filename, "/p/DB_T01/data_0_1");
  EXPECT_EQ(h.ebid_source_[1].id, "bbbb");
  EXPECT_EQ(h.ebid_source_[1].filename, "/p/DB_T01/name  with  blanks");

  Delete_Probe empty("#SOFTWAREID \"backint 1.50\" \"HANA\"\n#EBID cccc\n#NULL /x\n");
  EXPECT_FALSE(empty.handle_input_file());
  EXPECT_EQ(empty.out(), "#DEBUG Input file is empty\n#ERROR \"NULL\"\n");
}

class BackintDelete : public Backupd_Test {
 protected:
  void SetUp() override {
    Backupd_Test::SetUp();
    info_.backupd_host = "127.0.0.1";
    info_.backupd_port = server_.port();
    info_.backupd_access_key.assign(server_.access_key().data(), server_.access_key().size());
    Backint_Catalog_helper helper;
    ASSERT_TRUE(helper.init(server_.json_session()));
    Backint_Backup_Job_Info job;
    job.uuid = "job-1";
    job.location = "/pool";
    ASSERT_TRUE(helper.add_job(job));
    Backup_File_Infos files(2);
    files[0].filename = "data_0_1";
    files[0].extern_backup_id = "ebid_local_1";
    files[0].storage_path = "HXA/data_0_1";
    files[1].filename = "quote\"d";
    files[1].extern_backup_id = "ebid_local_2";
    files[1].storage_path = "HXA/quote\"d";
    ASSERT_TRUE(helper.add_files(job.uuid, files));
    json_value row{{"size", 1},
                   {"location", "/pool/sets/data_3_1"},
                   {"database", "T01"},
                   {"extern_backup_id", "ebid_set"},
                   {"pool_uuid", ""},
                   {"origin_path", "/p/data_3_1"},
                   {"storage_path", "sets/data_3_1"},
                   {"backup_start_time", "2026-01-01T00:00:00.000Z"},
                   {"database_backup_id", 3}};
    ASSERT_TRUE(server_.add_set_rows(json_value::array({row})));
  }
  std::string run(const std::string& input) {
    Delete_Probe h(input, info_);
    EXPECT_TRUE(h.init_session());
    EXPECT_TRUE(h.handle_input_file());
    EXPECT_TRUE(h.delete_ebid_file());
    return h.out();
  }
  std::vector<std::string> local_ebids() {
    std::vector<std::string> out;
    for (const json_value& f : server_.files()) out.push_back(f["extern_backup_id"].get<std::string>());
    return out;
  }

  Backint_Info info_;
};

TEST_F(BackintDelete, RemovesBackintRecordsOnlyAndAnswersEveryEntry) {
  const std::string out =
      run("#EBID \"ebid_local_1\" \"/p/DB_T01/data_0_1\"\n"
          "#EBID ebid_set /p/DB_T01/data_3_1\n"
          "#EBID ebid_local_2 \"/p/other_name\"\n"
          "#EBID unknown /p/DB_T01/data_9_1\n"
          "#EBID \"ebid_local_2\" \"/p/quote\\\"d\"\n");
  EXPECT_EQ(out,
            "#DELETED \"ebid_local_1\" \"/p/DB_T01/data_0_1\"\n"
            "#DELETED \"ebid_set\" \"/p/DB_T01/data_3_1\"\n"
            "#NOTFOUND \"ebid_local_2\" \"/p/other_name\"\n"
            "#NOTFOUND \"unknown\" \"/p/DB_T01/data_9_1\"\n"
            "#DELETED \"ebid_local_2\" \"/p/quote\\\"d\"\n");
  EXPECT_TRUE(local_ebids().empty());
  int deletes = 0;
  for (const json_value& r : server_.requests())
    if (r["method"] == "DELETE") ++deletes;
  EXPECT_EQ(deletes, 2);  // the backup-set entry is never removed
}

TEST_F(BackintDelete, FailedRemovalIsAnErrorNotADeletion) {
  // Only the removal fails (all four tries); the lookups go through.
  ASSERT_TRUE(server_.admin_post(
      "faults",
      json_value{{"count", 4}, {"status", 500}, {"prefix", "/d2/r/hana/backint/file"}, {"method", "DELETE"}}));
  Log_Capture log;
  const std::string out = run("#EBID ebid_local_1 /p/DB_T01/data_0_1\n#EBID ebid_set /p/DB_T01/data_3_1\n");
  EXPECT_EQ(out,
            "#DEBUG Failed to remove backup file ebid_local_1 from backint catalog\n"
            "#ERROR \"/p/DB_T01/data_0_1\"\n"
            "#DELETED \"ebid_set\" \"/p/DB_T01/data_3_1\"\n");
  EXPECT_EQ(local_ebids(), (std::vector<std::string>{"ebid_local_1", "ebid_local_2"}));
  EXPECT_NE(log.text().find("Failed to remove backint backup file, status 500"), std::string::npos) << log.text();
}
