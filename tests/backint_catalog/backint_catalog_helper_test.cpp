// The backint catalog client against the development backupd.

#include <gtest/gtest.h>

#include <regex>

#include "backupd_fixture.h"
#include "backint_catalog/backint_catalog_helper.h"
#include "log_capture.h"

using sap_hana::Backint_Backup_Job_Info;
using sap_hana::Backint_Catalog_helper;
using sap_hana::Backup_File_Info;
using sap_hana::Backup_File_Infos;

namespace {

const char* const kJob = "/d2/r/hana/backint/job";
const char* const kFile = "/d2/r/hana/backint/file";

Backint_Backup_Job_Info make_job(const std::string& uuid, std::uint64_t dbid) {
  Backint_Backup_Job_Info j;
  j.uuid = uuid;
  j.database_backup_id = dbid;
  j.host_uuid = "host-1";
  j.job_act_id = uuid;
  j.type = "complete";
  j.location = "/srv/pool";
  j.database = "DB1";
  j.compression = "zstd";
  j.compression_level = 4;
  j.sid = "H00";
  j.pool_uuid = "pool-1";
  j.landscape_id = "land scape";
  j.extended_attrs = json_value{{"backup_time", "2024-01-02T03:04:05.000Z"}};
  return j;
}

Backup_File_Info make_file(const std::string& ebid, const std::string& name) {
  Backup_File_Info f;
  f.filename = name;
  f.origin_path = "/usr/sap/H00/SYS/global/hdb/backint/DB_DB1/" + name;
  f.size = 1000;
  f.storage_size = 400;
  f.extern_backup_id = ebid;
  f.source_type = "pipe";
  f.pool_uuid = "pool-1";
  f.storage_path = "host-1/land/DB1/5/" + name;
  f.database_backup_id = 5;
  return f;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace

class BackintCatalogHelper : public Backupd_Test {
 protected:
  void SetUp() override {
    Backupd_Test::SetUp();
    ASSERT_TRUE(helper_.init(server_.json_session()));
  }
  Backint_Catalog_helper helper_;
};

TEST_F(BackintCatalogHelper, JobsAreAddedReadUpdatedAndRemoved) {
  Backint_Backup_Job_Info job = make_job("job-a", 5);
  ASSERT_TRUE(helper_.add_job(job));
  json_value reqs = server_.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0]["method"], "POST");
  EXPECT_EQ(reqs[0]["path"], kJob);
  json_value expected;
  job >> expected;
  expected["check_exist"] = false;
  EXPECT_EQ(reqs[0]["body"].dump(), expected.dump());  // same members, same order

  // The server answers an existing job (same landscape, backup id and
  // database): its UUID comes back to the caller.
  Backint_Backup_Job_Info again = make_job("other-uuid", 5);
  ASSERT_TRUE(helper_.check_and_add_job(again));
  EXPECT_EQ(again.uuid, "job-a");
  EXPECT_EQ(server_.requests()[1]["body"]["check_exist"], true);
  EXPECT_EQ(server_.jobs().size(), 1u);

  Backint_Backup_Job_Info by_uuid;
  ASSERT_TRUE(helper_.get_job("job-a", by_uuid));
  EXPECT_EQ(by_uuid.extended_attrs, job.extended_attrs);
  EXPECT_EQ(by_uuid.compression_level, 4);
  Backint_Backup_Job_Info by_backup;
  ASSERT_TRUE(helper_.get_job("land scape", 5, by_backup));
  EXPECT_EQ(by_backup.uuid, "job-a");
  EXPECT_EQ(server_.requests()[2]["query"], "job_uuid=job-a");
  EXPECT_EQ(server_.requests()[3]["query"], "landscape_id=land%20scape&database_backup_id=5");

  ASSERT_TRUE(helper_.update_job_database_backup_id("job-a", 6));
  json_value put = server_.requests()[4];
  EXPECT_EQ(put["method"], "PUT");
  EXPECT_EQ(put["body"]["uuid"], "job-a");
  EXPECT_EQ(put["body"]["database_backup_id"], 6);
  EXPECT_EQ(put["body"]["location"], "");
  EXPECT_EQ(put["body"]["compression_level"], 1);
  Backint_Backup_Job_Info updated;
  ASSERT_TRUE(helper_.get_job("job-a", updated));
  EXPECT_EQ(updated.database_backup_id, 6u);
  EXPECT_EQ(updated.location, "/srv/pool");  // the partial update kept the rest

  updated.type = "log";
  ASSERT_TRUE(helper_.update_job_req(updated));
  ASSERT_TRUE(helper_.get_job("job-a", updated));
  EXPECT_EQ(updated.type, "log");

  ASSERT_TRUE(helper_.remove_job("job-a"));
  EXPECT_EQ(server_.requests().back()["query"], "job_uuid=job-a");
  EXPECT_TRUE(server_.jobs().empty());
}

TEST_F(BackintCatalogHelper, FilesAreAddedListedFoundAndRemoved) {
  ASSERT_TRUE(helper_.add_job(make_job("job-f", 5)));
  ASSERT_TRUE(helper_.add_files("job-f", {make_file("e1", "databackup_0_1"), make_file("e2", "databackup_1_1")}));
  // The server keeps one record per EBID; a catalog written before it did
  // may hold two, seeded here.
  ASSERT_TRUE(server_.add_files(
      "job-f", json_value::array({{{"extern_backup_id", "e1"}, {"filename", "databackup_0_1_again"}}})));
  json_value post = server_.requests()[1];
  EXPECT_EQ(post["body"]["job_uuid"], "job-f");
  ASSERT_EQ(post["body"]["files"].size(), 2u);
  EXPECT_EQ(post["body"]["files"][1]["extern_backup_id"], "e2");
  EXPECT_EQ(post["body"]["files"][0].size(), 10u);

  Backup_File_Infos files;
  ASSERT_TRUE(helper_.get_job_files("job-f", files));
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[1].filename, "databackup_1_1");
  EXPECT_EQ(files[1].size, 1000u);
  EXPECT_EQ(files[1].location, "/srv/pool");  // the server filled it from the job
  EXPECT_FALSE(files[1].backup_time.empty());
  EXPECT_EQ(server_.requests().back()["query"], "uuid=job-f");

  // Two rows match the EBID: the last one is the answer.
  Backup_File_Info found;
  ASSERT_TRUE(helper_.get_file_by_ebid("e1", found));
  EXPECT_EQ(found.filename, "databackup_0_1_again");
  EXPECT_FALSE(helper_.get_file_by_ebid("nope", found));

  server_.clear_requests();
  std::uint64_t total = 0;
  Backup_File_Infos page(1);  // appended to, not cleared
  ASSERT_TRUE(helper_.get_files("", "", "", total, page, 2, 1));
  EXPECT_EQ(total, 3u);
  ASSERT_EQ(page.size(), 3u);
  EXPECT_EQ(page[1].filename, "databackup_1_1");
  ASSERT_TRUE(helper_.get_files("land scape", "DB1", "databackup_1_1", total, page, 10, 0));
  EXPECT_EQ(total, 1u);
  json_value reqs = server_.requests();
  EXPECT_EQ(reqs[0]["query"], "limit=2&offset=1");
  EXPECT_EQ(reqs[1]["query"], "limit=10&offset=0&landscape_id=land%20scape&database=DB1&filename=databackup_1_1");

  ASSERT_TRUE(helper_.remove_file("e2"));
  EXPECT_EQ(server_.requests().back()["query"], "extern_backup_id=e2");
  Log_Capture log;
  EXPECT_FALSE(helper_.remove_file("e2"));  // 404, retried
  EXPECT_EQ(count(log.text(), "Retry("), 3);
  EXPECT_NE(log.text().find("Failed to remove backint backup file, status 404\n"), std::string::npos);
}

TEST_F(BackintCatalogHelper, FailuresAreRetriedThreeTimes) {
  Log_Capture log;
  ASSERT_TRUE(server_.fault(4, 404, kJob));
  Backint_Backup_Job_Info job;
  EXPECT_FALSE(helper_.get_job("job-x", job));
  EXPECT_EQ(server_.requests().size(), 4u);
  const std::regex expected(
      "Retry\\(1\\) [^ ]*backint_catalog_helper\\.cpp:[0-9]+ at 1 second\\(s\\) later\\.\n"
      "Retry\\(2\\) [^ ]*backint_catalog_helper\\.cpp:[0-9]+ at [12] second\\(s\\) later\\.\n"
      "Retry\\(3\\) [^ ]*backint_catalog_helper\\.cpp:[0-9]+ at [234] second\\(s\\) later\\.\n"
      "Failed to get backint job, status 404, respond is '\\{\"error\":\"injected fault\"\\}'\n");
  EXPECT_TRUE(std::regex_match(log.text(), expected)) << log.text();

  // Three failures, then success: the fourth attempt counts.
  log.clear();
  server_.clear_requests();
  ASSERT_TRUE(server_.fault(3, 503, kJob));
  EXPECT_TRUE(helper_.add_job(make_job("job-y", 1)));
  EXPECT_EQ(server_.requests().size(), 4u);
  EXPECT_EQ(count(log.text(), "Retry("), 3);
  EXPECT_EQ(count(log.text(), "Failed"), 0);

  // Broken connections are retried on a fresh connection.
  log.clear();
  server_.clear_requests();
  ASSERT_TRUE(server_.fault(4, 0, kFile, "true"));
  EXPECT_FALSE(helper_.add_file("job-y", make_file("e", "f")));
  EXPECT_EQ(server_.requests().size(), 4u);
  EXPECT_EQ(count(log.text(), "Retry("), 3);
  EXPECT_NE(log.text().find("Failed to post request to add backint file, status 0\n"), std::string::npos);

  // A 200 whose body is not an object is retried where an object is wanted.
  log.clear();
  server_.clear_requests();
  ASSERT_TRUE(server_.fault_raw(4, 200, "not json", kJob));
  EXPECT_FALSE(helper_.get_job("job-y", job));
  EXPECT_EQ(server_.requests().size(), 4u);
  EXPECT_NE(log.text().find("Failed to get backint job, status 200, respond is 'not json'\n"), std::string::npos);
}

TEST_F(BackintCatalogHelper, AWrongShapedFileAnswerIsNotRetried) {
  Log_Capture log;
  json_value bad{{"count", 1}, {"status", 200}, {"prefix", kFile}, {"body", {{"rows", 5}, {"total", 1}}}};
  ASSERT_TRUE(server_.admin_post("faults", bad));
  std::uint64_t total = 42;
  Backup_File_Infos files;
  EXPECT_FALSE(helper_.get_file_req("uuid=x", total, files));
  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(log.text(), "Failed to get backint backup files, member \"rows\" is not an array\n");
  EXPECT_EQ(total, 42u);

  log.clear();
  json_value no_total{{"count", 1}, {"status", 200}, {"prefix", kFile}, {"body", {{"rows", json_value::array()}}}};
  ASSERT_TRUE(server_.admin_post("faults", no_total));
  EXPECT_FALSE(helper_.get_file_req("uuid=x", total, files));
  EXPECT_EQ(log.text(), "Failed to get backint backup files, member \"total\" is missing\n");
}

TEST_F(BackintCatalogHelper, AWrongAccessKeyIsRefusedAndHostsAreKeptApart) {
  ASSERT_TRUE(helper_.add_job(make_job("mine", 1)));

  Log_Capture log;
  const std::string wrong = "wrong-key";
  Backint_Catalog_helper intruder;
  ASSERT_TRUE(intruder.init(server_.json_session(&wrong)));
  EXPECT_FALSE(intruder.add_job(make_job("theirs", 1)));
  EXPECT_NE(log.text().find("Failed to post request to add backint job, status 401\n"), std::string::npos);
  EXPECT_EQ(log.text().find(wrong), std::string::npos);

  // A second host sees none of the first host's records.
  ASSERT_TRUE(server_.add_host("host-b", "key-b"));
  const std::string key_b = "key-b";
  Backint_Catalog_helper other;
  ASSERT_TRUE(other.init(server_.json_session(&key_b)));
  Backint_Backup_Job_Info job;
  EXPECT_FALSE(other.get_job("mine", job));
  EXPECT_NE(log.text().find("Failed to get backint job, status 404"), std::string::npos);
  ASSERT_TRUE(other.add_job(make_job("mine", 1)));
  EXPECT_EQ(server_.jobs().size(), 2u);
}

TEST_F(BackintCatalogHelper, BadArgumentsAreRefusedBeforeAnyRequest) {
  Log_Capture log;
  Backint_Backup_Job_Info job;
  Backup_File_Info file;
  Backup_File_Infos files;
  std::uint64_t total = 0;
  EXPECT_FALSE(helper_.get_job("", job));
  EXPECT_FALSE(helper_.update_job_database_backup_id("", 1));
  EXPECT_FALSE(helper_.remove_job(""));
  EXPECT_FALSE(helper_.add_files("", {file}));
  EXPECT_FALSE(helper_.get_job_files("", files));
  EXPECT_EQ(count(log.text(), ", job_uuid is NULL or \"\":\n"), 5);
  EXPECT_FALSE(helper_.get_job("", 5, job));
  EXPECT_EQ(count(log.text(), ", landscape_id is NULL or \"\":\n"), 1);
  EXPECT_FALSE(helper_.get_file_by_ebid("", file));
  EXPECT_FALSE(helper_.remove_file(""));
  EXPECT_EQ(count(log.text(), ", ebid is NULL or \"\":\n"), 2);
  EXPECT_FALSE(helper_.get_file_req("", total, files));
  EXPECT_EQ(count(log.text(), ", query_string is NULL or \"\":\n"), 1);
  EXPECT_EQ(count(log.text(), "Unexpected error in "), 9);
  EXPECT_EQ(log.text().find("Unexpected error in "), 0u);

  log.clear();
  EXPECT_FALSE(helper_.add_files("job", {}));
  EXPECT_EQ(log.text(), "Lack of file list\n");

  log.clear();
  Backint_Catalog_helper unready;
  EXPECT_FALSE(unready.init(JSON_HTTP_Session(HTTP_Session_Ptr(), 5, 300)));
  EXPECT_FALSE(unready.remove_job("job"));
  EXPECT_TRUE(std::regex_match(log.text(), std::regex("Unexpected error in "
                                                      "/builds/7/rpm/src/backup/hana/common/backint_catalog_helper:"
                                                      "[0-9]+, session_is NULL!\nFailed to remove backint backup "
                                                      "job, status 0\n")))
      << log.text();
  EXPECT_TRUE(server_.requests().empty());
}
