#include "app/service_notify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_clock.h"

namespace drv {
namespace {

using Messages = std::vector<std::string>;

TEST(ServiceNotifyPlan, StatusOnlyWhenItChanges) {
  test::FakeClock clock;
  ServiceNotifyPlan plan(clock, 0, {});
  EXPECT_EQ(plan.Tick("a"), Messages{"STATUS=a"});
  EXPECT_EQ(plan.Tick("a"), Messages{});
  EXPECT_EQ(plan.Tick("b"), Messages{"STATUS=b"});
  EXPECT_EQ(plan.PingIntervalMs(), 0u);
}

TEST(ServiceNotifyPlan, PingsEveryHalfWatchdogPeriod) {
  test::FakeClock clock;
  ServiceNotifyPlan plan(clock, 10'000'000, [] { return true; });
  EXPECT_EQ(plan.PingIntervalMs(), 5000u);
  EXPECT_EQ(plan.Tick("s"), (Messages{"STATUS=s", "WATCHDOG=1"}));
  clock.Advance(4999);
  EXPECT_EQ(plan.Tick("s"), Messages{});
  clock.Advance(1);
  EXPECT_EQ(plan.Tick("s"), Messages{"WATCHDOG=1"});
  // A main loop that stalled for a long time pings once when it runs again, not a burst.
  clock.Advance(60000);
  EXPECT_EQ(plan.Tick("s"), Messages{"WATCHDOG=1"});
  EXPECT_EQ(plan.Tick("s"), Messages{});
}

TEST(ServiceNotifyPlan, NoPingWhileTheLinkThreadIsStuck) {
  test::FakeClock clock;
  bool alive = true;
  ServiceNotifyPlan plan(clock, 2'000'000, [&] { return alive; });
  EXPECT_EQ(plan.Tick("s"), (Messages{"STATUS=s", "WATCHDOG=1"}));
  alive = false;
  for (int i = 0; i < 5; ++i) {
    clock.Advance(1000);
    EXPECT_EQ(plan.Tick("s"), Messages{});
    EXPECT_TRUE(plan.link_stalled());
  }
  alive = true;
  clock.Advance(100);
  EXPECT_EQ(plan.Tick("s"), Messages{"WATCHDOG=1"});
  EXPECT_FALSE(plan.link_stalled());
}

struct StatusCase {
  const char* name;
  LinkStates links;
  const char* backlog;
  const char* text;
};

class StatusText : public testing::TestWithParam<StatusCase> {};

TEST_P(StatusText, Reads) {
  EXPECT_EQ(ServiceStatusText(GetParam().links, GetParam().backlog), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusText,
    testing::Values(
        StatusCase{"AllUp", {true, true, true, true}, "Очередь на отправку пуста",
                   "сервер: связь есть, станция: связь есть, порт: открыт; Очередь на отправку пуста"},
        StatusCase{"AllDown", {true, false, false, false}, "",
                   "сервер: нет связи, станция: нет связи, порт: закрыт"},
        StatusCase{"NoServerLink", {false, false, true, true}, "Очередь: файлов 4 (старейший 0:00:10)",
                   "сервер: отключён, станция: связь есть, порт: открыт; Очередь: файлов 4 (старейший 0:00:10)"}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drv
