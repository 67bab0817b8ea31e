#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/base/exponential_backoff_iterator.h"
#include "agent/base/file_utils.h"
#include "agent/base/natoi.h"
#include "agent/base/path_conf.h"
#include "agent/base/snprintf_t.h"
#include "agent/base/string_sprintf.h"
#include "agent/base/time_parse.h"
#include "agent/base/uri.h"
#include "agent/base/uuid_string.h"
#include "agent/base/loose_version.h"
#include "temp_dir.h"

TEST(Natoi, ReadsLeadingDigitsAndStopsAtTheFirstOther) {
  EXPECT_EQ(natoi<std::uint64_t>("12345abc"), 12345u);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(natoi<std::int32_t>("+42"), 42);
  EXPECT_EQ(natoi<std::int32_t>("-42"), -42);
}

TEST(Natoi, NoDigitsOrMinusOnUnsignedIsEinvalZero) {
  EXPECT_EQ(natoi<std::uint64_t>("abc"), 0u);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(natoi<std::uint64_t>("-5"), 0u);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(natoi<std::int32_t>(""), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(natoi<std::int32_t>("+"), 0);
  EXPECT_EQ(errno, EINVAL);
}

TEST(Natoi, OverflowGivesTheMaximumWithErange) {
  EXPECT_EQ(natoi<std::uint64_t>("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(natoi<std::uint64_t>("18446744073709551616"), UINT64_MAX);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(natoi<std::int32_t>("2147483647"), INT32_MAX);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(natoi<std::int32_t>("2147483648"), INT32_MAX);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(natoi<std::int32_t>("-2147483648"), INT32_MIN);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(natoi<std::int32_t>("-2147483649"), INT32_MIN);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(natoi<std::uint16_t>("65536"), UINT16_MAX);
  EXPECT_EQ(errno, ERANGE);
}

TEST(SnprintfT, LongTextMovesToTheHeapUncut) {
  std::string long_text(5000, 'x');
  snprintf_t<16> shortf("%s-%d", "ab", 7);
  EXPECT_STREQ(shortf.c_str(), "ab-7");
  snprintf_t<16> longf("<%s>", long_text.c_str());
  EXPECT_EQ(longf.length(), 5002u);
  EXPECT_EQ(std::string(longf.c_str()), "<" + long_text + ">");
  snprintf_t<4> exact("%s", "abc");
  EXPECT_STREQ(exact.c_str(), "abc");
  EXPECT_EQ(string_sprintf("%s=%u", long_text.c_str(), 3u).size(), 5002u);
}

TEST(PathConf, JoinsNamesAndFixesTheComponent) {
  Path_Conf p("/var/opt/corvane/strovix3/$COMPONENT/hana", false, "access-key", 0750);
  EXPECT_EQ(p.fix("agent").str(), "/var/opt/corvane/strovix3/agent/hana/access-key");
  Path_Conf c("/base/$COMPONENT/", true, "catalog", 0750);
  EXPECT_EQ(c.append("A@B-C@D").fix().str(), "/base/agent/catalog/A@B-C@D");
}

TEST(FileUtils, DirnameVariants) {
  char buf[8];
  EXPECT_STREQ(dirname_r("/a/b", buf, sizeof buf), "/a");
  EXPECT_STREQ(dirname_r("/a", buf, sizeof buf), "/");
  EXPECT_STREQ(dirname_r("name", buf, sizeof buf), ".");
  EXPECT_EQ(dirname_r("/abcdefghij/x", buf, sizeof buf), nullptr);
  EXPECT_EQ(dirname_string("/usr/sap/HDB/x"), "/usr/sap/HDB");
}

TEST(FileUtils, MakeDirectoriesGivesExactModesToWhatItMade) {
  Temp_Dir dir;
  std::vector<std::string> made;
  mode_t old_mask = ::umask(027);
  int rc = make_directories(dir.file("a/b/"), 02775, made);
  ::umask(old_mask);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(made, (std::vector<std::string>{dir.file("a"), dir.file("a/b")}));
  struct stat st {};
  ASSERT_EQ(0, ::stat(dir.file("a/b").c_str(), &st));
  EXPECT_EQ(02775u, st.st_mode & 07777);
  ASSERT_EQ(0, make_directories(dir.file("a/b"), 0700, made));
  EXPECT_TRUE(made.empty());
  dir.write("file", "x");
  EXPECT_EQ(-1, make_directories(dir.file("file/c"), 0700, made));
  EXPECT_EQ(ENOTDIR, errno);
}

TEST(FileUtils, ChownNeverFollowsALink) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a group needs root";
  gid_t daemon_gid = 0;
  ASSERT_TRUE(lookup_group("daemon", daemon_gid));
  Temp_Dir dir;
  ASSERT_EQ(0, mkdir_p(dir.file("tree/sub").c_str(), 0755));
  ASSERT_EQ(0, mkdir_p(dir.file("outside/inner").c_str(), 0755));
  dir.write("tree/sub/f", "x");
  dir.write("secret", "x");
  ASSERT_EQ(0, ::symlink(dir.file("secret").c_str(), dir.file("tree/file-link").c_str()));
  ASSERT_EQ(0, ::symlink(dir.file("outside").c_str(), dir.file("tree/dir-link").c_str()));
  ASSERT_EQ(0, ::symlink(dir.file("outside").c_str(), dir.file("top-link").c_str()));

  auto gid = [&](const char* name) {
    struct stat st {};
    return ::lstat(dir.file(name).c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
  };
  ASSERT_EQ(1, chown_r(dir.file("tree").c_str(), nullptr, "daemon", 1));
  for (const char* changed : {"tree", "tree/sub", "tree/sub/f", "tree/file-link", "tree/dir-link"})
    EXPECT_EQ(daemon_gid, gid(changed)) << changed;
  ASSERT_EQ(1, chown_r(dir.file("top-link").c_str(), nullptr, "daemon", 1));
  EXPECT_EQ(daemon_gid, gid("top-link"));
  for (const char* untouched : {"secret", "outside", "outside/inner"}) EXPECT_EQ(0u, gid(untouched)) << untouched;
}

TEST(ExponentialBackoff, DoublesUpToTheCapAndEnds) {
  Exponential_Backoff_Iterator it(1, 5, 5, false), end;
  unsigned waits[5];
  for (int i = 0; i < 5; ++i) {
    ASSERT_NE(it, end);
    waits[i] = *it;
    ++it;
  }
  EXPECT_EQ(it, end);
  EXPECT_EQ(waits[0], 1u);
  EXPECT_EQ(waits[1], 2u);
  EXPECT_EQ(waits[2], 4u);
  EXPECT_EQ(waits[3], 5u);
  EXPECT_EQ(waits[4], 5u);
  EXPECT_EQ(it.cumulation(), 17u);
}

TEST(ExponentialBackoff, JitterStaysWithinHalfAndFull) {
  Exponential_Backoff_Iterator it(1, 4294967295u, 5, true), end;
  for (int i = 0; i < 50; ++i, ++it) {
    ASSERT_NE(it, end);
    unsigned full = i == 0 ? 1 : i == 1 ? 2 : i == 2 ? 4 : 5;
    EXPECT_GE(*it, full / 2);
    EXPECT_LE(*it, full);
  }
}

TEST(TimeParse, HanaAndIso8601Forms) {
  time_t t = 0;
  ASSERT_TRUE(local_to_posix_time("2020-08-21T10:00:00.000Z", "%Y-%m-%dT%H:%M:%S%z", t));
  EXPECT_EQ(t, 1598004000);
  ASSERT_TRUE(local_to_posix_time("2020-08-21T12:00:00+0200", "%Y-%m-%dT%H:%M:%S%z", t));
  EXPECT_EQ(t, 1598004000);
  EXPECT_FALSE(local_to_posix_time("2020-08-21", "%Y-%m-%dT%H:%M:%S%z", t));
  ASSERT_TRUE(iso8601_to_posix_time("2020-08-21T10:00:00Z", t));
  EXPECT_EQ(t, 1598004000);
  ASSERT_TRUE(iso8601_to_posix_time("2020-08-21 12:30:00.123+02:30", t));
  EXPECT_EQ(t, 1598004000);
  EXPECT_FALSE(iso8601_to_posix_time("yesterday", t));
  EXPECT_FALSE(iso8601_to_posix_time("2020-08-21T10:00:00 junk", t));
}

TEST(URI, PathOfEntriesAndUrlsDecodedOrNot) {
  EXPECT_EQ(URI::path("hana/HDB00/SYSTEMDB", true), "hana/HDB00/SYSTEMDB");
  EXPECT_EQ(URI::path("file://host/a%20b/c?x=1#f", true), "/a b/c");
  EXPECT_EQ(URI::path("file://host/a%20b/c", false), "/a%20b/c");
  EXPECT_EQ(URI::path("hana/T%4", true), "hana/T%4");  // a broken escape stays as it is
  EXPECT_EQ(URI::path("a/b://c", true), "a/b://c");    // no scheme: a plain path
  std::vector<std::string> segments;
  URI::path_segments("/hana//HDB00/", segments, false);
  EXPECT_EQ(segments, (std::vector<std::string>{"hana", "HDB00"}));
  URI::path_segments("/hana//HDB00/", segments, true);
  EXPECT_EQ(segments, (std::vector<std::string>{"", "hana", "", "HDB00", ""}));
}

TEST(LooseVersion, NumbersCompareAsNumbersAndPrefixesFirst) {
  EXPECT_LT(Loose_Version("1.00.99.00"), Loose_Version("1.00.100"));
  EXPECT_LT(Loose_Version("1.00.122.05.1481577062"), Loose_Version("2.00.059.00.1644229038"));
  EXPECT_EQ(Loose_Version("2.00.059"), Loose_Version("2.0.59"));
  EXPECT_LT(Loose_Version("1.00"), Loose_Version("1.00.1"));
  EXPECT_LT(Loose_Version("7.2"), Loose_Version("7.2b"));
  EXPECT_LT(Loose_Version("7.9"), Loose_Version("7.10"));
  EXPECT_LT(Loose_Version(""), Loose_Version("0"));
  EXPECT_FALSE(Loose_Version("99999999999999999999999") < Loose_Version("99999999999999999999998"));
}

TEST(UuidString, RandomVersion4LowerCase) {
  std::string a = uuid_string();
  std::string b = uuid_string();
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), 36u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef-"), std::string::npos);
  EXPECT_EQ(a[14], '4');
  EXPECT_NE(std::string("89ab").find(a[19]), std::string::npos);
}
