#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "agent/base/file_utils.h"
#include "job/backint_preparer.h"
#include "log_capture.h"

using namespace sap_hana;

namespace {

// Needs the sandbox: /usr/sap is a private tmpfs and the build is installed
// at /opt/corvane/strovix3.
class BackintPreparer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("HANA_SANDBOX") == nullptr) GTEST_SKIP() << "needs tests/sandbox/run";
  }
  void TearDown() override {
    if (std::getenv("HANA_SANDBOX") != nullptr) std::system("rm -rf /usr/sap/ZPR");
  }
  Log_Capture log_;
};

}  // namespace

TEST_F(BackintPreparer, CreatesTheMissingDirectoriesAndTheLinkThenKeepsIt) {
  Backint_Preparer p("ZPR");
  ASSERT_TRUE(p.prepare()) << log_.text();
  char text[4096] = {};
  ASSERT_GT(::readlink("/usr/sap/ZPR/SYS/global/hdb/opt/hana-backint", text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "/opt/corvane/strovix3/bin/hana-backint");
  struct stat st;
  ASSERT_EQ(::stat("/usr/sap/ZPR/SYS/global/hdb/opt", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_TRUE(Backint_Preparer("ZPR").prepare());
  EXPECT_EQ(log_.text(), "");
}

TEST_F(BackintPreparer, NeverReplacesAnotherLinkOrFile) {
  ASSERT_EQ(mkdir_p("/usr/sap/ZPR/SYS/global/hdb/opt", 0755), 0);
  const char* target = "/usr/sap/ZPR/SYS/global/hdb/opt/hana-backint";
  // The same program through a relative path still is another link text.
  ASSERT_EQ(::symlink("../../../../../../opt/corvane/strovix3/bin/hana-backint", target), 0);
  EXPECT_FALSE(Backint_Preparer("ZPR").prepare());
  EXPECT_EQ(log_.text(), std::string("Symbolic link backint '") + target +
                             "' is exists, linking to ../../../../../../opt/corvane/strovix3/bin/hana-backint\n");
  ASSERT_EQ(::unlink(target), 0);
  ASSERT_EQ(mkdir_p(target, 0755), 0);
  log_.clear();
  EXPECT_FALSE(Backint_Preparer("ZPR").prepare());
  EXPECT_EQ(log_.text(), std::string("Target file ") + target + " is exist\n");
  log_.clear();
  EXPECT_FALSE(Backint_Preparer("").prepare());
  EXPECT_EQ(log_.text(), "Source or target is empty\n");
}
