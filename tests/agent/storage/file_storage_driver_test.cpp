// What the file pool promises beyond the conformance suite: directories
// that several systems share, nothing left behind by a writer that is
// killed, and reads that never open anything but a regular file.
#include <dirent.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "agent/storage/client_io_ex.h"
#include "agent/storage/file_storage_driver.h"
#include "agent/storage/storage_fault_seam.h"
#include "storage_test_support.h"
#include "temp_dir.h"
#include "unprivileged.h"

using namespace storage_test;

namespace {

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Parameter false: named temporaries under NFS's lock rules, as on an NFS pool.
class File_Pool : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    pool_ = dir_.path() + "/pool";
    driver_.reset(new File_Storage_Driver(pool_));
    driver_->set_anonymous_temporaries(GetParam());
    if (!GetParam()) {
      ASSERT_TRUE(Storage_Fault_Seam::instance().configure("nfs_locks"));
    }
  }
  void TearDown() override { Storage_Fault_Seam::instance().configure(""); }

  bool put(const std::string& name, const std::string& data) {
    std::string error;
    std::unique_ptr<Storage_Driver::Writer> w = driver_->open_write(name, true, error);
    return w && w->write(data.data(), data.size()) && w->commit();
  }

  Temp_Dir dir_;
  std::string pool_;
  std::unique_ptr<File_Storage_Driver> driver_;
};

TEST_P(File_Pool, SharedDirectoriesAreGroupWritableAndKeepTheirGroup) {
  mode_t old_mask = ::umask(022);
  if (::geteuid() == 0) {
    // The pool root of another group, as the first system's backup leaves it.
    ASSERT_EQ(0, ::mkdir(pool_.c_str(), 0755));
    ASSERT_EQ(0, ::chown(pool_.c_str(), static_cast<uid_t>(-1), 4242));
    ASSERT_EQ(0, ::chmod(pool_.c_str(), 02775));
  }
  bool stored = put("host/landscape/T01/1/obj", "data");
  ::umask(old_mask);
  ASSERT_TRUE(stored);
  for (const char* d : {"/host", "/host/landscape", "/host/landscape/T01", "/host/landscape/T01/1"})
    EXPECT_EQ(02775u, mode_of(pool_ + d)) << d;
  EXPECT_EQ(0640u, mode_of(pool_ + "/host/landscape/T01/1/obj"));
  if (::geteuid() == 0) {
    struct stat st {};
    ASSERT_EQ(0, ::stat((pool_ + "/host/landscape/T01/1/obj").c_str(), &st));
    EXPECT_EQ(4242u, st.st_gid);
  }
}

TEST_P(File_Pool, WriterKilledMidStreamLeavesNothingThatStays) {
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    std::unique_ptr<Storage_Driver::Writer> w = driver_->open_write("job/obj", false, error);
    std::string block(1 << 20, 'x');
    if (!w || !w->write(block.data(), block.size())) ::_exit(1);
    if (::write(ready[1], "r", 1) != 1) ::_exit(1);
    for (;;) ::pause();  // mid-stream until killed
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  ::close(ready[0]);
  ASSERT_EQ(0, ::kill(child, SIGKILL));
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_TRUE(names_in(pool_ + "/job").empty());
  std::vector<std::string> left = names_in(pool_ + "/.tmp");
  if (GetParam()) {
    EXPECT_TRUE(left.empty());
  } else {
    // A named temporary survives the writer until the pool is next opened,
    // whether or not anyone writes into that directory again.
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(0u, left[0].find(".obj.tmp."));
  }
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect(pool_, Client_IO_Ex::Options()));
  EXPECT_TRUE(names_in(pool_ + "/.tmp").empty());
  EXPECT_TRUE(names_in(pool_ + "/job").empty());
}

TEST_P(File_Pool, CleanUpSparesTheTemporariesOfLiveWriters) {
  std::string error;
  std::unique_ptr<Storage_Driver::Writer> live = driver_->open_write("job/a", false, error);
  ASSERT_TRUE(live) << error;
  ASSERT_TRUE(live->write("live", 4));
  ASSERT_TRUE(put("job/b", "other"));
  ASSERT_TRUE(live->commit()) << live->error();
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names_in(pool_ + "/job"));

  // Replacing an object leaves nothing either.
  ASSERT_TRUE(put("job/a", "replaced"));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names_in(pool_ + "/job"));
}

TEST_P(File_Pool, ReadsOnlyRegularFilesAndNeverWaitsOnAPipe) {
  ASSERT_TRUE(put("d/obj", "data"));
  ASSERT_EQ(0, ::mkfifo((pool_ + "/d/fifo").c_str(), 0600));
  ASSERT_EQ(0, ::symlink((pool_ + "/d/obj").c_str(), (pool_ + "/d/link").c_str()));
  std::unique_ptr<Storage_Driver::Reader> reader;
  for (const char* name : {"fifo", "link"}) {
    Lookup_Status status = driver_->open_read(std::string("d/") + name, reader);
    EXPECT_TRUE(status.is_failed());
    EXPECT_EQ("'" + pool_ + "/d/" + name + "' is not a regular file", status.error());
  }
  Lookup_Status status = driver_->open_read("d", reader);
  EXPECT_FALSE(status.is_found());
  EXPECT_EQ("'" + pool_ + "/d' is a directory", status.error());
  EXPECT_FALSE(reader);

  // The storage client answers the same, and a restore never hangs on it.
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect(*driver_, Client_IO_Ex::Options()));
  String_Sink sink;
  EXPECT_FALSE(io.get_stream("d/fifo", sink, nullptr));
  EXPECT_EQ("'" + pool_ + "/d/fifo' is not a regular file", io.error());
}

INSTANTIATE_TEST_SUITE_P(, File_Pool, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& p) {
  return p.param ? "UnnamedTemporaries" : "NamedTemporaries";
});

}  // namespace

TEST(Client_IO_Restore, RegularFileIsNotRestoredUntilItsDirectoryIsSynced) {
  Temp_Dir dir;
  EXPECT_TRUE(run_unprivileged(dir.path(), [&] {
    Client_IO_Ex io;
    if (!io.connect(dir.file("pool"), Client_IO_Ex::Options())) return false;
    storage_test::String_Source source("restored bytes");
    if (!io.put_stream(source, "obj", nullptr)) return false;
    // Writable but not openable: the file is written, its directory entry cannot be made durable.
    const std::string sub = dir.file("sub");
    if (::mkdir(sub.c_str(), 0300) != 0) return false;
    const bool ok = io.get_file("obj", sub + "/out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 8192,
                                Client_IO_Ex::Progress_Callback());
    struct stat st {};
    return !ok && io.error() == "failed to sync the directory of '" + sub + "/out': Permission denied" &&
           ::stat((sub + "/out").c_str(), &st) == 0 && st.st_size == 0;
  }));
}
