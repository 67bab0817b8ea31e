// Transfer windows: how they are read and written in job options, which
// limit applies when, and that a transfer keeps to it. Time only passes on a
// fake clock; nothing sleeps.
#include <gtest/gtest.h>

#include "agent/storage/client_io_ex.h"
#include "agent/storage/file_storage_driver.h"
#include "agent/io/rate_limit_filter.h"
#include "agent/io/rate_limits.h"
#include "log_capture.h"
#include "storage_test_support.h"

using namespace storage_test;

namespace {

constexpr std::uint64_t MiB = 1u << 20;
constexpr double second = 1e9;

TEST(Rate_Limits_Options, WindowAcrossMidnightBecomesTwoEntries) {
  Rate_Limits limits;
  json_value io_ctl = {{"dest_rate_limits", R"([{"start_time":82800,"end_time":3600,"max_bytes_per_second":100}])"},
                       {"src_rate_limits", R"([{"start_time":0,"end_time":600,"max_bytes_per_second":7}])"}};
  ASSERT_TRUE(limits.from_json_in_object(io_ctl));
  EXPECT_EQ((Rate_Limits::List{{82800, 86399, 100}, {0, 3600, 100}}), limits.dest());
  EXPECT_EQ((Rate_Limits::List{{0, 600, 7}}), limits.src());
}

TEST(Rate_Limits_Options, BadTextsAreLoggedAndKeepWhatWasRead) {
  Log_Capture log;
  Rate_Limits limits;
  json_value io_ctl = {{"dest_rate_limits",
                        "[{\"start_time\":1,\"end_time\":2,\"max_bytes_per_second\":3},"
                        "{\"start_time\":5,\"max_bytes_per_second\":3}]"},
                       {"src_rate_limits", "{oops"}};
  EXPECT_FALSE(limits.from_json_in_object(io_ctl));
  EXPECT_EQ((Rate_Limits::List{{1, 2, 3}}), limits.dest());
  EXPECT_TRUE(limits.src().empty());
  EXPECT_EQ(
      "Failed to parse rate control entries: member \"end_time\" is missing.\n"
      "Failed to load rate control entries string '{oops'.\n",
      log.text());
}

TEST(Rate_Limits_Options, WrittenListsReadBackEqual) {
  Rate_Limits limits;
  limits.dest() = {{0, 3599, 1000}, {3600, 86399, 0}};
  json_value io_ctl = {{"max_seconds_retry", 600}};
  limits.to_json_in_object(io_ctl, false);
  EXPECT_EQ(
      R"({"max_seconds_retry":600,"dest_rate_limits":"[{\"start_time\":0,\"end_time\":3599,\"max_bytes_per_second\":1000},)"
      R"({\"start_time\":3600,\"end_time\":86399,\"max_bytes_per_second\":0}]","src_rate_limits":"[]"})",
      io_ctl.dump());
  Rate_Limits back;
  ASSERT_TRUE(back.from_json_in_object(io_ctl));
  EXPECT_TRUE(back == limits);

  json_value skipped = json_value::object();
  Rate_Limits().to_json_in_object(skipped, true);
  EXPECT_EQ("{}", skipped.dump());
}

TEST(Rate_Limits_Windows, SmallestCoveringLimitOfBothListsApplies) {
  Rate_Limits limits;
  limits.dest() = {{0, 3599, 500}, {3600, 7199, 0}};
  limits.src() = {{1800, 5399, 300}};
  EXPECT_EQ(500u, limits.limit_at(0));
  EXPECT_EQ(500u, limits.limit_at(1799));
  EXPECT_EQ(300u, limits.limit_at(1800));
  EXPECT_EQ(300u, limits.limit_at(3600));  // a zero entry means no limit of its own
  EXPECT_EQ(0u, limits.limit_at(5400));
  EXPECT_EQ(0u, limits.limit_at(86399));
}

TEST(Rate_Limits_Pacing, TransferTakesAsLongAsTheLimitDemands) {
  Rate_Limits limits;
  limits.dest() = {{0, 86399, 1 * MiB}};
  Fake_Clock clock(100);
  String_Sink sink;
  Rate_Limit_Filter filter(sink, limits, clock);
  std::string block(4 * MiB, 'x');
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(filter.write(block.data(), block.size()));
  EXPECT_EQ(12 * MiB, sink.text.size());
  EXPECT_NEAR(12 * second, static_cast<double>(clock.slept_ns()), 1e3);
}

TEST(Rate_Limits_Pacing, NewWindowStartsAfreshAtItsBoundary) {
  Rate_Limits limits;
  limits.dest() = {{0, 3599, 1 * MiB}, {3600, 86399, 4 * MiB}};
  Fake_Clock clock(3590);  // 10 s of the slow window left
  String_Sink sink;
  Rate_Limit_Filter filter(sink, limits, clock);
  std::string data(20 * MiB, 'x');
  ASSERT_TRUE(filter.write(data.data(), data.size()));
  // 10 MiB in the slow window's 10 s, then 10 MiB at 4 MiB/s; the switch
  // is noticed within one slice (1/8 s of the slow rate).
  EXPECT_NEAR(12.5 * second, static_cast<double>(clock.slept_ns()), 0.2 * second);
}

TEST(Rate_Limits_Pacing, UnlimitedWindowNeverSleeps) {
  Rate_Limits limits;
  limits.src() = {{0, 100, 1}};
  Fake_Clock clock(200);
  String_Sink sink;
  Rate_Limit_Filter filter(sink, limits, clock);
  std::string data(8 * MiB, 'x');
  ASSERT_TRUE(filter.write(data.data(), data.size()));
  EXPECT_EQ(0u, clock.slept_ns());
}

TEST(Rate_Limits_Pacing, StorageClientHonoursTheOptionsBothWays) {
  Temp_Dir dir;
  Fake_Clock clock(0);
  Client_IO_Ex io;
  io.set_clock(clock);
  Client_IO_Ex::Options options;
  options.rate_limits.dest() = {{0, 86399, 2 * MiB}};
  ASSERT_TRUE(io.connect(dir.path(), options));
  String_Source source(make_data(8 * MiB));
  ASSERT_TRUE(io.put_stream(source, "obj", nullptr)) << io.error();
  EXPECT_NEAR(4 * second, static_cast<double>(clock.slept_ns()), 0.01 * second);

  String_Sink sink;
  ASSERT_TRUE(io.get_stream("obj", sink, nullptr)) << io.error();
  EXPECT_NEAR(8 * second, static_cast<double>(clock.slept_ns()), 0.02 * second);
}

}  // namespace
