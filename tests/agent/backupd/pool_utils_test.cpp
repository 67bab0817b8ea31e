// The pool lookup against the development backupd, and how a pool's
// defaults reach the storage options.
#include <gtest/gtest.h>

#include "agent/http/json_restful_client.h"
#include "agent/backupd/pool_utils.h"
#include "backupd_fixture.h"
#include "log_capture.h"

namespace {

const char* const pool_uuid = "5f0c2a8e-1111-4222-8333-444455556666";

class Pool_Lookup : public Backupd_Test {
 protected:
  void SetUp() override {
    Backupd_Test::SetUp();
    json_value pool = {{"uuid", pool_uuid},     {"name", "fast"},         {"url", "file:///pools/fast"},
                       {"compression", "zstd"}, {"compression_level", 5}, {"server_side_dedup", true}};
    ASSERT_TRUE(server_.add_pool(pool));
    server_.clear_requests();
  }

  int lookup(const std::string& uuid, Pool_Info& info) {
    JSON_RESTful_Client client(server_.json_session());
    return get_pool_info(client, uuid, info);
  }

  std::size_t pool_requests() {
    std::size_t n = 0;
    for (const json_value& r : server_.requests()) {
      if (r.value("path", "").rfind("/d2/r/v2/pools/", 0) == 0) ++n;
    }
    return n;
  }
};

TEST_F(Pool_Lookup, KnownPoolFillsTheRecordFromOneRequest) {
  Pool_Info info;
  ASSERT_EQ(1, lookup(pool_uuid, info));
  EXPECT_EQ(pool_uuid, info.uuid);
  EXPECT_EQ("fast", info.name);
  EXPECT_EQ("file:///pools/fast", info.url);
  EXPECT_EQ(COMPR_ZSTD, info.compression);
  EXPECT_EQ(5, info.compression_level);
  EXPECT_TRUE(info.server_side_dedup);
  json_value requests = server_.requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("GET", requests[0]["method"]);
  EXPECT_EQ(std::string("/d2/r/v2/pools/") + pool_uuid, requests[0]["path"]);
}

TEST_F(Pool_Lookup, UnknownPoolFailsWithoutRetry) {
  Log_Capture log;
  Pool_Info info;
  info.name = "unchanged";
  EXPECT_EQ(0, lookup("9e9e9e9e-0000-4000-8000-000000000001", info));
  EXPECT_EQ("unchanged", info.name);
  EXPECT_EQ(1u, pool_requests());
  EXPECT_EQ("Pool 9e9e9e9e-0000-4000-8000-000000000001 does not exist\n", log.text());
}

TEST_F(Pool_Lookup, ServerErrorsAreRetriedThreeTimes) {
  Log_Capture log;
  ASSERT_TRUE(server_.fault(2, 503, "/d2/r/v2/pools/"));
  Pool_Info info;
  EXPECT_EQ(1, lookup(pool_uuid, info));
  EXPECT_EQ(3u, pool_requests());
  EXPECT_NE(std::string::npos, log.text().find("Retry(2) "));

  ASSERT_TRUE(server_.fault(10, 503, "/d2/r/v2/pools/"));
  server_.clear_requests();
  log.clear();
  EXPECT_EQ(0, lookup(pool_uuid, info));
  EXPECT_EQ(4u, pool_requests());
  EXPECT_NE(std::string::npos,
            log.text().find(std::string("Failed to get pool ") + pool_uuid + " info, status = 503\n"));
}

TEST_F(Pool_Lookup, MalformedPoolAnswerFailsAtOnce) {
  Log_Capture log;
  ASSERT_TRUE(server_.fault_raw(1, 200, "not json", "/d2/r/v2/pools/"));
  Pool_Info info;
  EXPECT_EQ(0, lookup(pool_uuid, info));
  EXPECT_EQ(1u, pool_requests());
  EXPECT_EQ(std::string("Failed to parse pool ") + pool_uuid + " info, the pool is not a JSON object\n", log.text());
}

TEST_F(Pool_Lookup, EmptyOrZeroPoolIsNeverAskedFor) {
  Pool_Info info;
  EXPECT_EQ(0, lookup("", info));
  EXPECT_EQ(0, lookup(zero_uuid(), info));
  EXPECT_EQ(0, lookup("00000000000000000000000000000000", info));
  EXPECT_EQ(0u, pool_requests());
}

TEST(Pool_Lookup_Offline, ClientWithoutSessionFailsAtOnce) {
  Log_Capture log;
  JSON_RESTful_Client client{JSON_HTTP_Session()};
  Pool_Info info;
  EXPECT_EQ(0, get_pool_info(client, pool_uuid, nullptr, info, true, nullptr, 0, -1, true, nullptr, nullptr, false));
  EXPECT_EQ(std::string("Failed to get pool ") + pool_uuid + " info: no session to backupd\n", log.text());
}

TEST(Pool_Record, RequiredMembersAreNamedWhenMissing) {
  Pool_Info info;
  std::string why;
  EXPECT_FALSE(info.from_json(json_value{{"uuid", "u"}, {"name", "n"}}, why));
  EXPECT_EQ("member \"url\" is missing", why);
  EXPECT_FALSE(
      info.from_json(json_value{{"uuid", "u"}, {"name", "n"}, {"url", "/p"}, {"compression_level", "9"}}, why));
  EXPECT_EQ("member \"compression_level\" is not an integer", why);
  EXPECT_TRUE(info.url.empty());
  ASSERT_TRUE(info.from_json(json_value{{"uuid", "u"}, {"name", "n"}, {"url", "/p"}, {"compression", "brotli"}}, why));
  EXPECT_EQ(COMPR_NONE, info.compression);
}

TEST(Pool_Options, PoolDefaultsReachTheStorageOptions) {
  Pool_Info info;
  info.uuid = pool_uuid;
  info.compression = COMPR_LZOP;
  info.compression_level = 7;
  info.server_side_dedup = true;
  Client_IO_Base::Options options;
  ASSERT_EQ(1, set_options_by_pool(options, info));
  EXPECT_EQ(COMPR_LZOP, options.compression_method);
  EXPECT_EQ(7, options.compression_level);
  EXPECT_TRUE(options.server_side_dedup);
  secure_string value;
  ASSERT_TRUE(options.get_extra_option("pool_uuid", value));
  EXPECT_EQ(pool_uuid, std::string(value.c_str()));

  info.compression = static_cast<Compression_Method>(9);
  Client_IO_Base::Options untouched;
  EXPECT_EQ(0, set_options_by_pool(untouched, info));
  EXPECT_EQ(COMPR_NONE, untouched.compression_method);
}

TEST(Pool_Uuid, ZeroUuidInBothSpellings) {
  EXPECT_EQ("00000000-0000-0000-0000-000000000000", zero_uuid());
  EXPECT_TRUE(is_zero_uuid(zero_uuid()));
  EXPECT_TRUE(is_zero_uuid("00000000000000000000000000000000"));
  EXPECT_FALSE(is_zero_uuid(""));
  EXPECT_FALSE(is_zero_uuid("0"));
  EXPECT_FALSE(is_zero_uuid("00000000-0000-0000-0000-000000000001"));
  EXPECT_FALSE(is_zero_uuid("000000000000000000000000000000000"));
}

}  // namespace
