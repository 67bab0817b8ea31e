#include "backint/backint_stream_pool.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sap_hana
