#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "agent/base/file_utils.h"
#include "agent/job/default_backup_job_source.h"
#include "job/backup_source_collector.h"
#include "log_capture.h"

using namespace sap_hana;

namespace {

// Needs the sandbox: the systems' global.ini live below a private /usr/sap.
class BackupSourceCollector : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
    for (const char* sid : {"ZMC", "ZSC"}) {
      const std::string dir = std::string("/usr/sap/") + sid + "/SYS/global/hdb/custom/config";
      ASSERT_EQ(mkdir_p(dir.c_str(), 0755), 0);
      std::ofstream(dir + "/global.ini") << "[multidb]\nmode = " << (sid[1] == 'M' ? "multidb" : "singledb") << "\n";
    }
  }
  void TearDown() override {
    if (std::getenv("HANA_SANDBOX") != nullptr) std::system("rm -rf /usr/sap/ZMC /usr/sap/ZSC");
  }

  static std::string collected(const char* sid, const std::vector<std::string>& entries, bool* ok = nullptr) {
    Default_Backup_Job_Source source;
    source.entries() = entries;
    Backup_Source_Collector collector(sid);
    bool result = collector.collect(source);
    if (ok != nullptr) *ok = result;
    std::string out;
    for (const auto& e : collector.get()) out += e.instance + "/" + e.database + (e.systemdb ? "*" : "") + " ";
    return out;
  }

  Log_Capture log_;
};

}  // namespace

TEST_F(BackupSourceCollector, EntriesNameInstancesAndDatabases) {
  const std::vector<std::string> entries = {"hana/HDB00/SYSTEMDB", "hana/HDB00/T01",     "hana/HDB00", "hana",
                                            "hana/HDB00/T01/x",    "hana//HDB01/T%30%32"};
  EXPECT_EQ(collected("ZMC", entries), "HDB00/SYSTEMDB* HDB00/T01 HDB00/ HDB00/ HDB01/T02 ");
  EXPECT_EQ(log_.text(), "Failed to handle source entry hana\n");
  // A single-container system has one database, its system database.
  EXPECT_EQ(collected("ZSC", {"hana/HDB00/ZSC", "hana/HDB00/T01"}), "HDB00/ZSC* HDB00/T01* ");
}

TEST_F(BackupSourceCollector, AnEntryOfAnotherKindFailsTheCollection) {
  bool ok = true;
  EXPECT_EQ(collected("ZMC", {"hana/HDB00/T01", "file/x", "hana/HDB00/SYSTEMDB"}, &ok), "HDB00/T01 ");
  EXPECT_FALSE(ok);
  EXPECT_EQ(log_.text(), "Failed to collect file/x for HANA\n");
}
