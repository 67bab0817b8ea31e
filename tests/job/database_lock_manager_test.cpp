#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "job/database_lock_manager.h"

using namespace sap_hana;

TEST(DatabaseLockManager, OneMutexPerDatabaseAndKind) {
  Database_Lock_Manager* m = Database_Lock_Manager::instance();
  ACE_Thread_Mutex* update = m->get_update_lock("HDB", "T01");
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(update, m->get_update_lock("HDB", "T01"));
  EXPECT_NE(update, m->get_control_lock("HDB", "T01"));
  EXPECT_NE(update, m->get_update_lock("HDB", "SYSTEMDB"));
  // The key joins SID and database with "@": no two pairs may meet.
  EXPECT_NE(m->get_update_lock("HD", "BT01"), m->get_update_lock("HDB", "T01"));
  EXPECT_EQ(m->get_update_lock("", "T01"), nullptr);
  EXPECT_EQ(m->get_control_lock("HDB", ""), nullptr);
}

TEST(DatabaseLockManager, ConcurrentFirstRequestsShareOneMutex) {
  std::vector<ACE_Thread_Mutex*> got(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i)
    threads.emplace_back([&got, i] { got[i] = Database_Lock_Manager::instance()->get_update_lock("RACE", "T01"); });
  for (auto& t : threads) t.join();
  for (auto* p : got) EXPECT_EQ(p, got[0]);
}
