#include "agent/process/service_lister.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "fake_process.h"
#include "log_capture.h"

namespace {

using test_support::Fake_Process;

class Service_Lister_Test : public ::testing::Test {
 protected:
  // Unique per test process, so processes of concurrent test runs never match.
  std::string marker_ = "service-lister-" + std::to_string(::getpid()) + "-marker";
  Log_Capture log_;
};

TEST_F(Service_Lister_Test, ListsMatchingProcessesInPidOrderWithOwner) {
  Fake_Process a(marker_ + " alpha", {});
  Fake_Process b(marker_ + " beta", {});
  Fake_Process other("service-lister-unrelated", {});
  ASSERT_GT(a.pid(), 0);
  ASSERT_GT(b.pid(), 0);

  std::vector<Service_Info> services;
  ASSERT_EQ(0, Service_Lister::list_service(marker_.c_str(), services, false, "C"));
  ASSERT_EQ(2u, services.size());
  const Fake_Process& first = a.pid() < b.pid() ? a : b;
  const Fake_Process& second = a.pid() < b.pid() ? b : a;
  EXPECT_EQ(first.pid(), services[0].pid);
  EXPECT_EQ(second.pid(), services[1].pid);
  EXPECT_EQ(marker_ + (first.pid() == a.pid() ? " alpha 600" : " beta 600"), services[0].cmd);
  EXPECT_EQ(::getpwuid(::getuid())->pw_name, services[0].user);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Service_Lister_Test, AppendsAndHonoursFullMatch) {
  Fake_Process a(marker_ + " alpha", {});
  std::vector<Service_Info> services(1);
  ASSERT_EQ(0, Service_Lister::list_service((marker_ + " alpha").c_str(), services, true, "C"));
  EXPECT_EQ(1u, services.size()) << "a partial pattern must not match the whole line";
  ASSERT_EQ(0, Service_Lister::list_service((marker_ + " alpha.*").c_str(), services, true, "C"));
  ASSERT_EQ(2u, services.size());
  EXPECT_EQ(a.pid(), services[1].pid);
  ASSERT_EQ(0, Service_Lister::list_service(("^" + marker_ + " alpha 600$").c_str(), services, false, nullptr));
  EXPECT_EQ(3u, services.size());
}

TEST_F(Service_Lister_Test, EndedProcessIsNotListed) {
  auto gone = std::make_unique<Fake_Process>(marker_ + " gone", std::vector<std::string>{});
  gone.reset();
  std::vector<Service_Info> services;
  EXPECT_EQ(0, Service_Lister::list_service(marker_.c_str(), services, false, "C"));
  EXPECT_TRUE(services.empty());
}

TEST_F(Service_Lister_Test, RejectsBadPatternAndLocale) {
  std::vector<Service_Info> services;
  EXPECT_EQ(-1, Service_Lister::list_service("(unclosed", services, false, "C"));
  EXPECT_EQ(-1, Service_Lister::list_service("x", services, false, "no_such_locale.test"));
  EXPECT_EQ(-1, Service_Lister::list_service(nullptr, services, false, "C"));
  EXPECT_TRUE(services.empty());
  ASSERT_EQ(3u, log_.lines().size());
  EXPECT_EQ(0u, log_.lines()[0].find("Invalid process pattern '(unclosed', "));
  EXPECT_EQ(0u, log_.lines()[1].find("Invalid process pattern 'x', "));
  EXPECT_EQ("Missing process pattern\n", log_.lines()[2]);
}

}  // namespace
