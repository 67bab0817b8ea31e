#include "backint/backint_stream_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "backint/backint_local_config.h"
#include "backint/backint_protocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace sap_hana {
namespace {

TEST(BackintStreamPool, RunsEveryTaskAtMostLimitAtOnceAndRethrowsAfterAll) {
  Backint_Stream_Pool pool(3);
  std::mutex mutex;
  std::condition_variable cv;
  int active = 0, most = 0, done = 0;
  for (int i = 0; i < 10; ++i) {
    pool.submit([&, i] {
      std::unique_lock<std::mutex> lock(mutex);
      ++active;
      most = std::max(most, active);
      cv.notify_all();
      // The first three meet: the pool really runs three at once.
      if (i < 3) cv.wait_for(lock, std::chrono::seconds(10), [&] { return most >= 3; });
      --active;
      ++done;
      if (i == 4) throw std::runtime_error("task 4");
    });
  }
  EXPECT_THROW(pool.wait(), std::runtime_error);
  EXPECT_EQ(done, 10);
  EXPECT_EQ(most, 3);
  EXPECT_EQ(pool.finished(), 10u);
  EXPECT_EQ(pool.running(), 0u);

  EXPECT_EQ(Backint_Stream_Pool(0).limit(), 1u);
  EXPECT_EQ(Backint_Stream_Pool(100).limit(), 32u);
}

TEST(BackintStreamPool, GrowTakesUpEveryQueuedTaskBeyondTheLimit) {
  Backint_Stream_Pool pool(1);
  std::mutex mutex;
  std::condition_variable cv;
  int active = 0;
  bool release = false;
  for (int i = 0; i < 3; ++i) {
    pool.submit([&] {
      std::unique_lock<std::mutex> lock(mutex);
      ++active;
      cv.notify_all();
      cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return active == 1; }));
  }
  EXPECT_EQ(pool.queued(), 2u);
  EXPECT_EQ(pool.grow(), 2u);
  std::unique_lock<std::mutex> lock(mutex);
  EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return active == 3; }));
  release = true;
  cv.notify_all();
  lock.unlock();
  pool.wait();
  EXPECT_EQ(pool.grow(), 0u);
}

TEST(BackintLocalConfig, AnOutOfRangePipeTimeoutKeepsItsValue) {
  char path[] = "/tmp/hana-conf-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = R"({"backint": {"max_streams": 4, "pipe_timeout": 18446744073709551615}})";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  std::ostringstream out;
  Backint_Protocol protocol;
  protocol.use_streams(nullptr, &out);
  Backint_Local_Config config(protocol, path);
  std::size_t streams = 8, timeout = 180;
  config.stream_settings(streams, timeout);
  ::unlink(path);
  EXPECT_EQ(streams, 4u);
  EXPECT_EQ(timeout, 180u);
  EXPECT_NE(out.str().find("#DEBUG pipe_timeout 18446744073709551615 in '" + std::string(path) +
                           "' is not within 1..86400\n"),
            std::string::npos)
      << out.str();
}

}  // namespace
}  // namespace sap_hana
