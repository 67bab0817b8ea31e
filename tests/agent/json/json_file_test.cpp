#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "agent/base/directory_iterator.h"
#include "agent/json/json_access.h"
#include "agent/json/json_file.h"
#include "agent/json/yajl_handler.h"
#include "temp_dir.h"
#include "unprivileged.h"

namespace {
std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

TEST(JsonFile, DumpKeepsMemberOrderAndMode) {
  Temp_Dir dir;
  json_value v = json_value::object();
  v["zeta"] = 1;
  v["alpha"] = "two";
  const std::string path = dir.file("conf");
  ASSERT_TRUE(dump_json(path, v, 0640, -1));
  EXPECT_EQ(read_all(path), "{\"zeta\":1,\"alpha\":\"two\"}\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  json_value back;
  ASSERT_TRUE(load_json(path, back));
  EXPECT_EQ(back.begin().key(), "zeta");
}

TEST(JsonFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
  Temp_Dir dir;
  const std::string path = dir.write("conf", "{\"old\":true}\n");
  json_value big = json_value::object();
  big["data"] = std::string(1 << 20, 'x');

  // A file size limit makes the write fail half way.
  struct rlimit old_limit, limit;
  getrlimit(RLIMIT_FSIZE, &old_limit);
  limit = old_limit;
  limit.rlim_cur = 4096;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &limit);
  bool ok = dump_json(path, big);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(ok);
  EXPECT_EQ(read_all(path), "{\"old\":true}\n");
  int entries = iterate_directory(dir.path(), [](const std::string&, const struct dirent&) { return true; });
  EXPECT_EQ(entries, 1);
}

TEST(JsonFile, MalformedOrMissingFilesAreErrors) {
  Temp_Dir dir;
  json_value v = 5;
  std::string error;
  EXPECT_FALSE(load_json(dir.write("bad", "{\"a\":"), v, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(v, 5);
  EXPECT_FALSE(load_json(dir.file("missing"), v, &error));
  EXPECT_FALSE(dump_json(dir.file("no/such/dir/file"), v));
}

TEST(JsonFile, BothParsersRefuseNestingBeyondTheLimit) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  json_value v = 5;
  std::string error;
  EXPECT_EQ(Json_Parse::TOO_DEEP, parse_json(deep, v, &error));
  EXPECT_EQ("nested deeper than 100 levels", error);
  EXPECT_EQ(v, 5);
  const std::string fits = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(loads_json(fits, v));
  YAJL_Handler yajl;
  EXPECT_EQ(1, yajl.parse(deep.data(), deep.size(), error));
  EXPECT_EQ("JSON nested deeper than 100 levels", error);
  YAJL_Handler fine;
  EXPECT_EQ(0, fine.parse(fits.data(), fits.size(), error));
}

TEST(JsonAccess, OptionalRequiredAndWrongKinds) {
  json_value o = json_value::parse(R"({"s":"x","n":70000,"neg":-1,"b":true,"a":[1]})");
  std::string s = "keep";
  EXPECT_FALSE(object_get(o, "missing", s));
  EXPECT_EQ(s, "keep");
  EXPECT_TRUE(object_get(o, "s", s));
  EXPECT_EQ(s, "x");
  std::uint16_t port = 1;
  EXPECT_THROW(object_get(o, "n", port), Json_Member_Error);
  std::uint64_t u = 0;
  EXPECT_THROW(object_get(o, "neg", u), Json_Member_Error);
  EXPECT_THROW(object_get(o, "s", u), Json_Member_Error);
  try {
    object_get_str_or_throw(o, "rows");
    FAIL();
  } catch (const Json_Member_Error& e) {
    EXPECT_STREQ(e.what(), "member \"rows\" is missing");
  }
  bool b = false;
  std::string s2;
  EXPECT_NO_THROW(extract_or_throw(o)("b", b)("s", s2));
  EXPECT_TRUE(b);
  EXPECT_THROW(extract_or_throw(o)("b", b)("a", s2), Json_Member_Error);
}

TEST(JsonFile, AtomicWriteFailsWhenItsDirectoryCannotBeSynced) {
  Temp_Dir dir;
  // A directory its writer may add to but not open: the rename happens,
  // the directory sync cannot, and "written" must not be claimed.
  EXPECT_TRUE(run_unprivileged(dir.path(), [&] {
    const std::string sub = dir.file("sub");
    return ::mkdir(sub.c_str(), 0300) == 0 && !write_file_atomic(sub + "/conf", "{}", 0600) && errno == EACCES;
  }));
}
