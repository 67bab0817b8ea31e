#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "agent/storage/client_io_ex.h"
#include "agent/base/file_utils.h"
#include "backint/inquire_handler.h"
#include "backupd_fixture.h"
#include "log_capture.h"
#include "temp_dir.h"

using namespace sap_hana;

namespace {

class Inquire_Probe : public Backint_Inquire_Handler {
 public:
  explicit Inquire_Probe(const std::string& input, const Backint_Info& info = Backint_Info())
      : Backint_Inquire_Handler(info), in_(input) {
    protocol_.use_streams(&in_, &out_);
  }
  std::string out() const { return out_.str(); }

  using Backint_Inquire_Handler::ebid_source_;
  using Backint_Inquire_Handler::handle_input_file;
  using Backint_Inquire_Handler::init_session;
  using Backint_Inquire_Handler::inquire_all;
  using Backint_Inquire_Handler::inquire_all_;
  using Backint_Inquire_Handler::inquire_ebid_file;
  using Backint_Inquire_Handler::inquire_null_file;
  using Backint_Inquire_Handler::landscape_id_;
  using Backint_Inquire_Handler::null_source_;

 private:
  std::istringstream in_;
  std::ostringstream out_;
};

}  // namespace

TEST(BackintInquireInput, KeywordsNamesAndTheInquiryOfEverything) {
  Inquire_Probe h(
      "#SOFTWAREID \"backint 1.50\" \"HANA\"\n"
      "#EBID \"aaaa\" \"/p/DB_T01/data_0_1\" \"/p/DB_T01/data_0_1\"\n"
      "#NULL \"/p/DB_T01/two  blanks\"\n"
      "#OTHER /p/DB_T01/data_3_1\n"
      "#OTHER\n"
      "#EBID bbbb\n"
      "#NULL \"/p/DB_T01/open\n");
  ASSERT_TRUE(h.handle_input_file());
  EXPECT_FALSE(h.inquire_all_);
  ASSERT_EQ(h.ebid_source_.size(), 2u);
  EXPECT_EQ(h.ebid_source_[0].id, "aaaa");
  EXPECT_EQ(h.ebid_source_[0].filename, "/p/DB_T01/data_0_1");
  EXPECT_EQ(h.ebid_source_[1].id, "bbbb");
  EXPECT_EQ(h.ebid_source_[1].filename, "");
  ASSERT_EQ(h.null_source_.size(), 2u);
  EXPECT_EQ(h.null_source_[0].filename, "/p/DB_T01/two  blanks");
  EXPECT_EQ(h.null_source_[1].filename, "/p/DB_T01/data_3_1");
  EXPECT_EQ(h.out(), "#DEBUG Failed to read the input line of /p/DB_T01/open\n#ERROR \"/p/DB_T01/open\"\n");

  Inquire_Probe all("#SOFTWAREID \"backint 1.50\" \"HANA\"\n#NULL\n");
  ASSERT_TRUE(all.handle_input_file());
  EXPECT_TRUE(all.inquire_all_);
  EXPECT_TRUE(all.null_source_.empty());

  Inquire_Probe empty("#SOFTWAREID \"backint 1.50\" \"HANA\"\n#EBID\n#OTHER\n");
  EXPECT_FALSE(empty.handle_input_file());
  EXPECT_EQ(empty.out(), "#DEBUG Input file is empty\n#ERROR \"NULL\"\n");
}

static std::string base_name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class BackintInquire : public Backupd_Test {
 protected:
  void SetUp() override {
    Backupd_Test::SetUp();
    info_.backupd_host = "127.0.0.1";
    info_.backupd_port = server_.port();
    info_.backupd_access_key.assign(server_.access_key().data(), server_.access_key().size());
  }
  // `count` backint catalog records "data_<i>" of landscape "L1"; objects
  // exist for those not in `missing`.
  void add_local(int count, const std::vector<int>& missing = {}) {
    Backint_Catalog_helper helper;
    ASSERT_TRUE(helper.init(server_.json_session()));
    Backint_Backup_Job_Info job;
    job.uuid = "job-1";
    job.location = pool();
    job.landscape_id = "L1";
    ASSERT_TRUE(helper.add_job(job));
    Backup_File_Infos files;
    Client_IO_Ex io;
    ASSERT_TRUE(io.connect(pool(), Client_IO_Base::Options()));
    for (int i = 0; i < count; ++i) {
      Backup_File_Info f;
      f.filename = "data_" + std::to_string(i);
      f.origin_path = dir_.path() + "/pipes/" + f.filename;
      f.extern_backup_id = "ebid" + std::to_string(i);
      f.storage_path = "HXA/" + f.filename;
      f.backup_time = "2026-03-04T05:06:07.000Z";
      files.push_back(f);
      if (std::find(missing.begin(), missing.end(), i) != missing.end()) continue;
      const std::string src = dir_.write("src", "object " + std::to_string(i));
      ASSERT_TRUE(io.put_file(src, f.storage_path, false, 0, 0, nullptr)) << io.error();
    }
    ASSERT_TRUE(helper.add_files(job.uuid, files));
  }
  std::string pool() const { return dir_.path() + "/pool"; }

  Temp_Dir dir_;
  Backint_Info info_;
};

TEST_F(BackintInquire, ByEbidTheStoredNameMustBeginWithTheAskedOne) {
  add_local(2);
  const std::string input =
      "#SOFTWAREID \"backint 1.50\" \"HANA\"\n"
      "#EBID \"ebid0\" \"/p/DB_T01/data_0\"\n"
      "#EBID ebid1 /p/DB_T01/other_name\n"
      "#EBID unknown /p/DB_T01/data_1\n"
      "#EBID \"ebid1\"\n"
      "#EBID \"unknown\"\n";
  Inquire_Probe v150(input, info_);
  ASSERT_TRUE(v150.init_session());
  ASSERT_TRUE(v150.handle_input_file());
  ASSERT_TRUE(v150.inquire_ebid_file());
  // Asked without a name, a backup is answered under the one it was saved from.
  EXPECT_EQ(v150.out(),
            "#BACKUP \"ebid0\" \"/p/DB_T01/data_0\" \"2026-03-04T05:06:07.000Z\"\n"
            "#NOTFOUND \"ebid1\" \"/p/DB_T01/other_name\"\n"
            "#NOTFOUND \"unknown\" \"/p/DB_T01/data_1\"\n"
            "#BACKUP \"ebid1\" \"" +
                dir_.path() +
                "/pipes/data_1\" \"2026-03-04T05:06:07.000Z\"\n"
                "#NOTFOUND \"unknown\"\n");

  // Backint 1.04 has no date on #BACKUP lines.
  std::string old = input;
  old.replace(old.find("1.50"), 4, "1.04");
  Inquire_Probe v104(old, info_);
  ASSERT_TRUE(v104.init_session());
  ASSERT_TRUE(v104.handle_input_file());
  ASSERT_TRUE(v104.inquire_ebid_file());
  EXPECT_EQ(v104.out().substr(0, v104.out().find('\n') + 1), "#BACKUP \"ebid0\" \"/p/DB_T01/data_0\"\n");
}

TEST_F(BackintInquire, EverythingIsPagedAndOnlyExistingObjectsAreListed) {
  add_local(12, {4});
  Inquire_Probe h("#SOFTWAREID \"backint 1.50\" \"HANA\"\n#NULL\n", info_);
  ASSERT_TRUE(h.init_session());
  ASSERT_TRUE(h.handle_input_file());
  h.landscape_id_ = "L1";
  server_.clear_requests();
  ASSERT_TRUE(h.inquire_all());
  std::string expected;
  for (int i = 0; i < 12; ++i) {
    if (i == 4) continue;
    expected += "#BACKUP \"ebid" + std::to_string(i) + "\" \"" + dir_.path() + "/pipes/data_" + std::to_string(i) +
                "\" \"2026-03-04T05:06:07.000Z\"\n";
  }
  EXPECT_EQ(h.out(), expected);
  std::vector<std::string> offsets;
  for (const json_value& r : server_.requests()) {
    EXPECT_EQ(r["path"], "/d2/r/hana/backint/file");
    for (const json_value& p : r["params"])
      if (p[0] == "offset") offsets.push_back(p[1].get<std::string>());
  }
  EXPECT_EQ(offsets, (std::vector<std::string>{"0", "10", "20"}));
  // The directory of every listed file is made for HANA's pipes.
  EXPECT_TRUE(is_directory((dir_.path() + "/pipes").c_str()));
}

TEST_F(BackintInquire, ObjectInAPoolThatCannotBeReadIsAnErrorNotAMissingBackup) {
  add_local(2);
  // A pool that loops on itself cannot be searched (ELOOP), even by root.
  ASSERT_EQ(0, ::rename(pool().c_str(), (pool() + ".old").c_str()));
  ASSERT_EQ(0, ::symlink(pool().c_str(), pool().c_str()));
  auto error = [this](const std::string& ebid, const std::string& file) {
    return "#DEBUG Failed to read backup file " + ebid + " in its pool, failed to open '" + pool() + "/HXA/" +
           base_name_of(file) + "': Too many levels of symbolic links\n#ERROR \"" + file + "\"\n";
  };
  Inquire_Probe by_name("#NULL /p/DB_T01/data_0\n#NULL /p/DB_T01/data_1\n", info_);
  ASSERT_TRUE(by_name.init_session());
  ASSERT_TRUE(by_name.handle_input_file());
  EXPECT_FALSE(by_name.inquire_null_file());
  // No hana.conf is the defaults, without a word.
  EXPECT_EQ(by_name.out(), error("ebid0", "/p/DB_T01/data_0") + error("ebid1", "/p/DB_T01/data_1"));

  Inquire_Probe all("#NULL\n", info_);
  ASSERT_TRUE(all.init_session());
  ASSERT_TRUE(all.handle_input_file());
  all.landscape_id_ = "L1";
  EXPECT_FALSE(all.inquire_all());
  EXPECT_EQ(all.out(), error("ebid0", dir_.path() + "/pipes/data_0") + error("ebid1", dir_.path() + "/pipes/data_1"));
}

TEST_F(BackintInquire, EverythingOfAnEmptyLandscapeIsNotFound) {
  add_local(3);
  Inquire_Probe h("#NULL\n", info_);
  ASSERT_TRUE(h.init_session());
  ASSERT_TRUE(h.handle_input_file());
  h.landscape_id_ = "other-landscape";
  ASSERT_TRUE(h.inquire_all());
  EXPECT_EQ(h.out(), "#NOTFOUND\n");
}

TEST_F(BackintInquire, FailedPageOfEverythingFailsTheStep) {
  ASSERT_TRUE(server_.fault(4, 503, "/d2/r/hana/backint/file"));
  Log_Capture log;
  Inquire_Probe h("#NULL\n", info_);
  ASSERT_TRUE(h.init_session());
  ASSERT_TRUE(h.handle_input_file());
  h.landscape_id_ = "L1";
  EXPECT_FALSE(h.inquire_all());
  EXPECT_EQ(h.out(), "#DEBUG Failed to inquire all backup set\n#ERROR \"NULL\"\n");
}
