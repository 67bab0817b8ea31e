// Injected storage faults: whatever fails, no partial object appears, an
// existing object survives, and a damaged object never passes as good data.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "agent/storage/client_io_ex.h"
#include "faulty_storage_driver.h"
#include "agent/storage/file_storage_driver.h"
#include "agent/storage/object_envelope.h"
#include "storage_test_support.h"

using namespace storage_test;

namespace {

constexpr std::size_t MiB = 1u << 20;

class Storage_Faults : public ::testing::TestWithParam<Compression_Method> {
 protected:
  void SetUp() override {
    pool_ = dir_.path() + "/pool";
    file_.reset(new File_Storage_Driver(pool_));
    faulty_.reset(new Faulty_Storage_Driver(*file_));
    options_.compression_method = GetParam();
    options_.overwrite = true;
    ASSERT_TRUE(io_.connect(*faulty_, options_));
  }

  bool put(const std::string& name, const std::string& data) {
    String_Source source(data);
    return io_.put_stream(source, name, nullptr);
  }

  bool get(const std::string& name, std::string& out) {
    String_Sink sink;
    bool ok = io_.get_stream(name, sink, nullptr);
    out = sink.text;
    return ok;
  }

  // Names in the pool and in its directory of temporaries.
  std::vector<std::string> pool_names() {
    std::vector<std::string> names;
    for (const std::string& dir : {pool_, pool_ + "/.tmp"}) {
      if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
          std::string n = e->d_name;
          if (n != "." && n != ".." && n != ".tmp") names.push_back(n);
        }
        closedir(d);
      }
    }
    return names;
  }

  Temp_Dir dir_;
  std::string pool_;
  std::unique_ptr<File_Storage_Driver> file_;
  std::unique_ptr<Faulty_Storage_Driver> faulty_;
  Client_IO_Ex::Options options_;
  Client_IO_Ex io_;
};

TEST_P(Storage_Faults, FailedWritesLeaveNoObjectAndKeepTheOldOne) {
  std::string old_data = make_data(3 * MiB, 1), new_data = make_data(10 * MiB, 2);
  ASSERT_TRUE(put("obj", old_data)) << io_.error();

  faulty_->faults().fail_write_after = 2 * MiB;
  EXPECT_FALSE(put("obj", new_data));
  EXPECT_EQ("failed to write 'obj': Input/output error", io_.error());
  EXPECT_FALSE(put("other", new_data));

  faulty_->faults() = Faulty_Storage_Driver::Faults();
  faulty_->faults().no_space_after = 5 * MiB;
  EXPECT_FALSE(put("obj", new_data));
  EXPECT_EQ("failed to write 'obj': No space left on device", io_.error());

  faulty_->faults() = Faulty_Storage_Driver::Faults();
  faulty_->faults().fail_sync = true;
  EXPECT_FALSE(put("obj", new_data));
  EXPECT_EQ("failed to sync 'obj': Input/output error", io_.error());

  // An exception on the transfer thread fails the transfer; it does not end the process.
  faulty_->faults() = Faulty_Storage_Driver::Faults();
  faulty_->faults().throw_after = MiB;
  EXPECT_FALSE(put("obj", new_data));
  EXPECT_EQ("the transfer thread failed: std::bad_alloc", io_.error());

  faulty_->faults() = Faulty_Storage_Driver::Faults();
  std::string out;
  ASSERT_TRUE(get("obj", out)) << io_.error();
  EXPECT_TRUE(out == old_data);
  std::uint64_t size = 0;
  EXPECT_TRUE(io_.size("other", size).is_not_found());
  // No temporary file survives any of the failures.
  EXPECT_EQ(std::vector<std::string>{"obj"}, pool_names());
}

TEST_P(Storage_Faults, CorruptedPayloadFailsTheRead) {
  std::string data = make_data(6 * MiB);
  ASSERT_TRUE(put("obj", data));
  faulty_->faults().corrupt_read_at = Object_Envelope::header_size + 1000;
  std::string out;
  EXPECT_FALSE(get("obj", out));
  if (GetParam() == COMPR_NONE) {
    EXPECT_EQ("checksum mismatch in 'obj': the stored object is corrupted", io_.error());
  } else {
    // A decoder may notice first; either way the object is named.
    const std::string& e = io_.error();
    EXPECT_TRUE(e.rfind("'obj': ", 0) == 0 || e == "checksum mismatch in 'obj': the stored object is corrupted") << e;
  }
}

TEST_P(Storage_Faults, CorruptedChecksumIsRefusedBeforeAnyData) {
  std::string data = make_data(5 * MiB);
  ASSERT_TRUE(put("obj", data));
  std::uint64_t stored = 0;
  ASSERT_TRUE(file_->stat("obj", stored).is_found());
  faulty_->faults().corrupt_read_at = static_cast<std::int64_t>(stored) - 64 + 25;  // inside the checksum
  std::string out;
  EXPECT_FALSE(get("obj", out));
  // The trailer's own checksum gives it away before the data streams out.
  EXPECT_EQ("'obj': stored object is damaged (trailer checksum mismatch)", io_.error());
  EXPECT_EQ(0u, out.size());
}

TEST_P(Storage_Faults, DamagedEnvelopeIsRefusedBeforeAnyData) {
  ASSERT_TRUE(put("obj", make_data(MiB)));
  faulty_->faults().corrupt_read_at = 0;
  std::string out;
  EXPECT_FALSE(get("obj", out));
  EXPECT_EQ("'obj': not a stored object (bad header)", io_.error());
  EXPECT_TRUE(out.empty());
  std::uint64_t size = 0;
  EXPECT_TRUE(io_.size("obj", size).is_failed());

  faulty_->faults() = Faulty_Storage_Driver::Faults();
  std::string path = pool_ + "/obj";
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  ASSERT_EQ(0, truncate(path.c_str(), st.st_size - 100));
  EXPECT_FALSE(get("obj", out));
  EXPECT_EQ("'obj': stored object is truncated or damaged (bad trailer)", io_.error());
  EXPECT_TRUE(io_.size("obj", size).is_failed());

  ASSERT_EQ(0, truncate(path.c_str(), 10));
  EXPECT_FALSE(get("obj", out));
  EXPECT_EQ("'obj': stored object is truncated or damaged (too short)", io_.error());
}

TEST_P(Storage_Faults, FlippedEnvelopeByteIsRefusedBeforeAnyData) {
  io_.object_id("0123456789abcdef0123456789abcdef");
  const std::string data = make_data(MiB);
  ASSERT_TRUE(put("obj", data)) << io_.error();
  struct stat st {};
  ASSERT_EQ(0, stat((pool_ + "/obj").c_str(), &st));
  const std::uint64_t trailer = static_cast<std::uint64_t>(st.st_size) - Object_Envelope::trailer_size;
  // Version, compression, level, id length, id, the header's own checksum.
  for (std::uint64_t at : {8, 12, 16, 20, 30, 60}) {
    faulty_->faults().corrupt_read_at = static_cast<long long>(at);
    std::string out;
    EXPECT_FALSE(get("obj", out)) << at;
    EXPECT_TRUE(out.empty()) << at;
    if (at != 8) {
      EXPECT_EQ("'obj': stored object is damaged (header checksum mismatch)", io_.error()) << at;
    }
  }
  for (std::uint64_t at : {trailer + 8, trailer + 60}) {
    faulty_->faults().corrupt_read_at = static_cast<long long>(at);
    std::string out;
    EXPECT_FALSE(get("obj", out));
    EXPECT_EQ("'obj': stored object is damaged (trailer checksum mismatch)", io_.error());
    EXPECT_TRUE(out.empty());
  }
  faulty_->faults() = Faulty_Storage_Driver::Faults();
  std::string out;
  EXPECT_TRUE(get("obj", out)) << io_.error();
  EXPECT_EQ(data, out);
}

// A failed commit may leave a later write's bytes under a name that the
// catalog still ties to an earlier id: that id must not restore them.
TEST_P(Storage_Faults, ObjectIdDecidesWhatANameRestores) {
  io_.object_id("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
  ASSERT_TRUE(put("obj", make_data(MiB, 1))) << io_.error();
  io_.object_id("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
  const std::string second = make_data(MiB, 2);
  ASSERT_TRUE(put("obj", second)) << io_.error();

  std::string out;
  io_.object_id("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
  EXPECT_FALSE(get("obj", out));
  EXPECT_EQ("'obj' holds object bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb, not aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", io_.error());
  EXPECT_TRUE(out.empty());
  // The id belonged to that call alone.
  EXPECT_TRUE(get("obj", out)) << io_.error();
  io_.object_id("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
  EXPECT_TRUE(get("obj", out)) << io_.error();
  EXPECT_EQ(second, out);

  // Nor remove them: only the write that made an object removes it by its id.
  EXPECT_TRUE(io_.remove_object("obj", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa").is_not_found());
  EXPECT_TRUE(io_.remove_object("obj", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb").is_found()) << io_.error();
  EXPECT_TRUE(pool_names().empty());

  io_.object_id(std::string(Object_Envelope::max_object_id + 1, 'c'));
  EXPECT_FALSE(put("other", second));
  EXPECT_EQ("object id '" + std::string(33, 'c') + "' is longer than 32 bytes", io_.error());
}

TEST_P(Storage_Faults, CorruptedObjectLeavesNoRegularFileBehind) {
  ASSERT_TRUE(put("obj", make_data(5 * MiB)));
  faulty_->faults().corrupt_read_at = Object_Envelope::header_size + 1000;
  std::string target = dir_.path() + "/restored";
  EXPECT_FALSE(io_.get_file("obj", target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 8192, nullptr));
  struct stat st {};
  ASSERT_EQ(0, stat(target.c_str(), &st));
  EXPECT_EQ(0, st.st_size);

  faulty_->faults() = Faulty_Storage_Driver::Faults();
  ASSERT_TRUE(io_.get_file("obj", target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 8192, nullptr)) << io_.error();
  ASSERT_EQ(0, stat(target.c_str(), &st));
  EXPECT_EQ(static_cast<off_t>(5 * MiB), st.st_size);
}

TEST_P(Storage_Faults, PipeReaderLeavingEarlyFailsTheRestoreWithoutKillingUs) {
  ASSERT_TRUE(put("obj", make_data(12 * MiB)));
  std::string pipe = dir_.path() + "/pipe";
  ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
  std::thread reader([&] {
    int fd = open(pipe.c_str(), O_RDONLY);
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    (void)n;
    close(fd);
  });
  EXPECT_FALSE(io_.get_file("obj", pipe, O_WRONLY | O_CLOEXEC, 8192, nullptr));
  reader.join();
  EXPECT_EQ("failed to write '" + pipe + "': Broken pipe", io_.error());
}

INSTANTIATE_TEST_SUITE_P(, Storage_Faults, ::testing::Values(COMPR_NONE, COMPR_ZSTD, COMPR_LZOP),
                         [](const auto& info) { return std::string(compression_value_to_name(info.param)); });

TEST(Storage_Client, RefusesWhatItCannotDo) {
  Client_IO_Ex io;
  Client_IO_Ex::Options options;
  String_Source source("x");
  EXPECT_FALSE(io.put_stream(source, "obj", nullptr));
  EXPECT_EQ("not connected to a storage location", io.error());
  EXPECT_FALSE(io.connect("s3://bucket/pool", options));
  EXPECT_EQ("unsupported storage location 's3://bucket/pool'", io.error());
  EXPECT_FALSE(io.connect("relative/pool", options));

  Temp_Dir dir;
  ASSERT_TRUE(io.connect("file://" + dir.path(), options));
  EXPECT_FALSE(io.put_file(dir.path(), "obj", false, O_CLOEXEC, 8192, nullptr));
  EXPECT_EQ("'" + dir.path() + "' is a directory", io.error());
  EXPECT_FALSE(io.put_file(dir.path() + "/none", "obj", false, O_CLOEXEC, 8192, nullptr));
  EXPECT_EQ("failed to open '" + dir.path() + "/none' for reading: No such file or directory", io.error());
  EXPECT_FALSE(io.put_file(dir.write("src", "data"), "obj", true, O_CLOEXEC, 8192, nullptr));
  EXPECT_EQ("resuming a transfer is not supported", io.error());
  ASSERT_TRUE(io.put_file(dir.file("src"), "obj", false, O_CLOEXEC, 8192, nullptr)) << io.error();
  std::uint64_t size = 0;
  EXPECT_TRUE(io.size("obj", size).is_found());
  EXPECT_EQ(4u, size);
}

}  // namespace

namespace {

TEST(Storage_Client, MissingObjectStillReleasesAWaitingPipeReader) {
  Temp_Dir dir;
  Client_IO_Ex io;
  ASSERT_TRUE(io.connect(dir.path() + "/pool", Client_IO_Ex::Options()));
  std::string pipe = dir.path() + "/pipe";
  ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
  ssize_t got = -1;
  std::thread reader([&] {
    int fd = open(pipe.c_str(), O_RDONLY);
    char c;
    got = read(fd, &c, 1);
    close(fd);
  });
  EXPECT_FALSE(io.get_file("missing", pipe, O_WRONLY | O_CLOEXEC, 8192, nullptr));
  // Should the call have failed without opening the pipe, free the reader so
  // that the test fails on the message below instead of hanging.
  int unblock = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
  if (unblock >= 0) close(unblock);
  reader.join();
  EXPECT_EQ(0, got);
  EXPECT_EQ("failed to open '" + dir.path() + "/pool/missing': No such file or directory", io.error());

  // A regular file is not created for an object that does not exist.
  std::string file = dir.path() + "/file";
  EXPECT_FALSE(io.get_file("missing", file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 8192, nullptr));
  EXPECT_NE(0, access(file.c_str(), F_OK));
}

}  // namespace
