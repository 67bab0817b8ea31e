// Every storage driver must pass these: round trips of every size through
// every compression method, pipes on both ends, and the guarantee that a
// failed transfer never leaves a partial object nor destroys an existing one.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "agent/storage/client_io_ex.h"
#include "faulty_storage_driver.h"
#include "agent/storage/file_storage_driver.h"
#include "storage_test_support.h"
#include "read_file.h"

using namespace storage_test;

namespace {

enum class Driver_Kind { file, faulty };

constexpr std::size_t MiB = 1u << 20;

// Every name in a directory tree, hidden ones included: a leftover temporary
// file counts as a trace of a failed transfer (the pool's directory of
// temporaries itself does not).
void all_names(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (n != ".tmp") names.push_back(n);
    if (e->d_type == DT_DIR) all_names(dir + "/" + n, names);
  }
  closedir(d);
}

class Storage_Conformance : public ::testing::TestWithParam<std::tuple<Driver_Kind, Compression_Method>> {
 protected:
  void SetUp() override {
    pool_ = dir_.path() + "/pool";
    file_driver_.reset(new File_Storage_Driver(pool_));
    faulty_.reset(new Faulty_Storage_Driver(*file_driver_));
    options_.compression_method = std::get<1>(GetParam());
    options_.compression_level = 3;
    connect();
  }

  void connect() {
    Storage_Driver& driver =
        std::get<0>(GetParam()) == Driver_Kind::file ? static_cast<Storage_Driver&>(*file_driver_) : *faulty_;
    ASSERT_TRUE(io_.connect(driver, options_));
  }

  bool put(const std::string& name, const std::string& data) {
    String_Source source(data);
    return io_.put_stream(source, name, nullptr);
  }

  std::string get(const std::string& name) {
    String_Sink sink;
    EXPECT_TRUE(io_.get_stream(name, sink, nullptr)) << io_.error();
    EXPECT_TRUE(sink.finished);
    return sink.text;
  }

  std::vector<std::string> traces() {
    std::vector<std::string> names;
    all_names(pool_, names);
    return names;
  }

  Temp_Dir dir_;
  std::string pool_;
  std::unique_ptr<File_Storage_Driver> file_driver_;
  std::unique_ptr<Faulty_Storage_Driver> faulty_;
  Client_IO_Ex::Options options_;
  Client_IO_Ex io_;
};

TEST_P(Storage_Conformance, RoundTripsObjectsOfEverySizeByteForByte) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1000}, 4 * MiB, 8 * MiB + 12345}) {
    SCOPED_TRACE(size);
    std::string data = make_data(size, static_cast<unsigned>(size));
    std::string name = "h/l/db/" + std::to_string(size);
    ASSERT_TRUE(put(name, data)) << io_.error();
    EXPECT_EQ(size, io_.original_size());
    std::uint64_t stored = 0;
    EXPECT_TRUE(file_driver_->stat(name, stored).is_found());
    EXPECT_EQ(io_.storage_size(), stored);
    if (options_.compression_method != COMPR_NONE && size >= 4 * MiB) {
      EXPECT_LT(io_.storage_size(), size);
    }
    std::uint64_t data_size = 0;
    EXPECT_TRUE(io_.size(name, data_size).is_found());
    EXPECT_EQ(size, data_size);
    EXPECT_TRUE(get(name) == data);
    EXPECT_EQ(size, io_.original_size());
  }
}

TEST_P(Storage_Conformance, StoresFromAndRestoresIntoNamedPipes) {
  std::string data = make_data(9 * MiB + 7);
  std::string in_pipe = dir_.path() + "/in", out_pipe = dir_.path() + "/out";
  ASSERT_EQ(0, mkfifo(in_pipe.c_str(), 0600));
  ASSERT_EQ(0, mkfifo(out_pipe.c_str(), 0600));

  std::thread writer([&] {
    int fd = open(in_pipe.c_str(), O_WRONLY);
    for (std::size_t off = 0; off < data.size();) {
      ssize_t n = write(fd, data.data() + off, std::min<std::size_t>(100000, data.size() - off));
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    close(fd);
  });
  bool stored = io_.put_file(in_pipe, "obj", false, O_CLOEXEC, 8192, nullptr);
  writer.join();
  ASSERT_TRUE(stored) << io_.error();
  EXPECT_EQ(data.size(), io_.original_size());

  std::string restored;
  std::thread reader([&] { restored = read_file(out_pipe); });
  bool ok = io_.get_file("obj", out_pipe, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 8192, nullptr);
  reader.join();
  ASSERT_TRUE(ok) << io_.error();
  EXPECT_TRUE(restored == data);
}

TEST_P(Storage_Conformance, SourceDyingMidStreamLeavesNoObject) {
  String_Source source(make_data(12 * MiB), MiB, 5 * MiB);
  EXPECT_FALSE(io_.put_stream(source, "a/obj", nullptr));
  EXPECT_EQ("source died", io_.error());
  std::uint64_t size = 0;
  EXPECT_TRUE(io_.size("a/obj", size).is_not_found());
  EXPECT_EQ(std::vector<std::string>{"a"}, traces());
}

TEST_P(Storage_Conformance, CancelledTransferLeavesNoObject) {
  String_Source source(make_data(12 * MiB));
  EXPECT_FALSE(io_.put_stream(source, "obj", [](std::uint64_t moved) { return moved < 4 * MiB; }));
  EXPECT_EQ("transfer cancelled", io_.error());
  EXPECT_TRUE(traces().empty());
}

TEST_P(Storage_Conformance, ExistingObjectIsNotReplacedWithoutOverwrite) {
  ASSERT_TRUE(put("obj", "first"));
  EXPECT_FALSE(put("obj", "second"));
  EXPECT_EQ("object '" + pool_ + "/obj' already exists", io_.error());
  EXPECT_EQ("first", get("obj"));

  options_.overwrite = true;
  connect();
  ASSERT_TRUE(put("obj", "second")) << io_.error();
  EXPECT_EQ("second", get("obj"));
  EXPECT_EQ(std::vector<std::string>{"obj"}, traces());
}

TEST_P(Storage_Conformance, ListsAndRemovesObjectsAndEmptyDirectories) {
  ASSERT_TRUE(put("d/y", "1"));
  ASSERT_TRUE(put("d/x", "2"));
  std::vector<std::string> entries;
  ASSERT_TRUE(io_.get_dir("d", entries, 0));
  EXPECT_EQ((std::vector<std::string>{"x", "y"}), entries);
  ASSERT_TRUE(io_.get_dir("", entries, 0));
  EXPECT_EQ(std::vector<std::string>{"d"}, entries);

  ASSERT_TRUE(io_.remove("d/x"));
  EXPECT_FALSE(io_.remove("d"));
  EXPECT_EQ("failed to remove '" + pool_ + "/d': Directory not empty", io_.error());
  ASSERT_TRUE(io_.remove("d/y"));
  ASSERT_TRUE(io_.remove("d"));
  std::uint64_t size = 0;
  EXPECT_TRUE(io_.size("d/x", size).is_not_found());
  EXPECT_FALSE(io_.get_dir("d", entries, 0));
  EXPECT_EQ("failed to list '" + pool_ + "/d': No such file or directory", io_.error());
}

TEST_P(Storage_Conformance, MissingObjectsAndUnsafeNamesAreRefused) {
  String_Sink sink;
  EXPECT_FALSE(io_.get_stream("nope", sink, nullptr));
  EXPECT_EQ("failed to open '" + pool_ + "/nope': No such file or directory", io_.error());
  std::uint64_t size = 0;
  EXPECT_TRUE(io_.size("nope", size).is_not_found());
  for (const char* name : {"../x", "a/../../x", "", "/", "a/./b"}) {
    EXPECT_FALSE(put(name, "data")) << name;
    EXPECT_EQ(std::string("invalid object name '") + name + "'", io_.error());
  }
  EXPECT_TRUE(traces().empty());
  // Leading and doubled slashes name the same object.
  ASSERT_TRUE(put("//a//b", "x"));
  EXPECT_EQ("x", get("a/b"));
}

INSTANTIATE_TEST_SUITE_P(, Storage_Conformance,
                         ::testing::Combine(::testing::Values(Driver_Kind::file, Driver_Kind::faulty),
                                            ::testing::Values(COMPR_NONE, COMPR_ZSTD, COMPR_LZOP)),
                         [](const auto& info) {
                           std::string driver = std::get<0>(info.param) == Driver_Kind::file ? "File" : "Faulty";
                           return driver + compression_value_to_name(std::get<1>(info.param));
                         });

}  // namespace
