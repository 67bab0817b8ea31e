// The retry decorator against the development backupd: which answers are
// retried, the exact waits (through a recording sleeper) and their log lines.
#include <gtest/gtest.h>

#include <vector>

#include "agent/http/retrying_json_session.h"
#include "backupd_fixture.h"
#include "log_capture.h"

namespace {

const char* const kPath = "/d2/r/v2/pools/p1";

class Retrying_Session : public Backupd_Test {
 protected:
  Retrying_JSON_Session session(Retry_Policy policy) {
    policy.jitter = false;
    policy.file = "caller.cpp";
    policy.line = 7;
    return Retrying_JSON_Session(
        server_.json_session(), policy,
        [this](unsigned s) {
          waits_.push_back(s);
          now_ += s;
        },
        [this] { return now_; });
  }

  bool get(Retry_Policy policy = Retry_Policy()) {
    int status = 0;
    json_value result;
    bool ok = session(policy).exchange(HTTP_GET, kPath, nullptr, status, result);
    status_ = status;
    return ok;
  }

  std::vector<unsigned> waits_;
  double now_ = 100;
  int status_ = -1;
};

TEST_F(Retrying_Session, ServerErrorsAreRetriedWithTheBackoffWaits) {
  ASSERT_TRUE(server_.add_pool(json_value{{"uuid", "p1"}, {"name", "n"}, {"url", "/p"}}));
  ASSERT_TRUE(server_.fault(2, 503, kPath));
  server_.clear_requests();
  Log_Capture log;
  EXPECT_TRUE(get());
  EXPECT_EQ(status_, 200);
  EXPECT_EQ(server_.requests().size(), 3u);
  EXPECT_EQ(waits_, (std::vector<unsigned>{1, 2}));
  EXPECT_EQ(log.text(),
            "Retry(1) caller.cpp:7 at 1 second(s) later.\n"
            "Retry(2) caller.cpp:7 at 2 second(s) later.\n");

  // Exhausted: three retries, the last answer's status is kept.
  waits_.clear();
  ASSERT_TRUE(server_.fault(10, 500, kPath));
  EXPECT_FALSE(get());
  EXPECT_EQ(status_, 500);
  EXPECT_EQ(waits_, (std::vector<unsigned>{1, 2, 4}));
}

TEST_F(Retrying_Session, ClientErrorsAreFinalUnlessThePolicyRetriesThem) {
  Log_Capture log;
  EXPECT_FALSE(get());  // unknown pool: 404
  EXPECT_EQ(status_, 404);
  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_TRUE(waits_.empty());
  EXPECT_EQ(log.text(), "");

  Retry_Policy policy;
  policy.retry_client_errors = true;
  server_.clear_requests();
  EXPECT_FALSE(get(policy));
  EXPECT_EQ(server_.requests().size(), 4u);
  EXPECT_EQ(waits_, (std::vector<unsigned>{1, 2, 4}));
}

TEST_F(Retrying_Session, DroppedConnectionsAndNonObjectsAreRetried) {
  ASSERT_TRUE(server_.fault(1, 0, kPath, "true"));
  EXPECT_FALSE(get(Retry_Policy{0}));
  EXPECT_EQ(status_, 0);

  Retry_Policy want;
  want.want_object = true;
  ASSERT_TRUE(server_.fault_raw(1, 200, "[1]", kPath));
  ASSERT_TRUE(server_.add_pool(json_value{{"uuid", "p1"}, {"name", "n"}, {"url", "/p"}}));
  EXPECT_TRUE(get(want));
  EXPECT_EQ(waits_, (std::vector<unsigned>{1}));
}

TEST_F(Retrying_Session, NoRetryStartsPastTheTimeLimit) {
  ASSERT_TRUE(server_.fault(10, 503, kPath));
  Retry_Policy policy;
  policy.time_limit = 2;
  server_.clear_requests();
  EXPECT_FALSE(get(policy));
  // 1 s fits into the 2 s limit; the next 2 s would end past it.
  EXPECT_EQ(waits_, (std::vector<unsigned>{1}));
  EXPECT_EQ(server_.requests().size(), 2u);
}

}  // namespace
