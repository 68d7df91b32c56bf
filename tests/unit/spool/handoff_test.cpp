#include "spool/handoff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/message_types.h"
#include "support/fake_clock.h"
#include "support/fakes.h"

namespace drv {
namespace {

// kAttempting: a connection attempt runs, so the link counts as connected but none stands.
enum class Link { kAbsent, kDown, kUp, kQueueFull, kAttempting };

struct RouteCase {
  const char* name;
  Link link;
  bool not_send_to_disk;
  bool event;              // HandOffEvent, else SendOrSpool(mtLinkState, ...)
  uint32_t queued_type;    // 0: nothing queued
  uint32_t spooled_type;   // 0: no spool file
};

class HandOffRoutes : public ::testing::TestWithParam<RouteCase> {
 protected:
  test::FakeClock clock;
  test::TempDir dir;
  test::RecordingReporter reporter;
  test::FakeServerLink link;
  Settings settings;
};

TEST_P(HandOffRoutes, QueueWhileTheLinkTakesItElseSpool) {
  const RouteCase& c = GetParam();
  link.connected = c.link == Link::kUp || c.link == Link::kQueueFull || c.link == Link::kAttempting;
  link.attempting = c.link == Link::kAttempting;
  link.queue_full = c.link == Link::kQueueFull;
  settings.NotSendToDiskK8 = c.not_send_to_disk;
  SpoolFolder spool(clock, dir.Path() + "/", reporter, [](int32_t) {});
  SpoolKeeper keeper(clock, reporter, spool);
  HandOff hand_off(c.link == Link::kAbsent ? nullptr : &link, keeper, settings);

  TEventRecord record;
  record.ObjectNumber = 322345;
  record.EventCodeLength = 2;
  const std::vector<uint8_t> link_state(11, 0x1F);
  std::vector<uint8_t> payload;
  if (c.event) {
    const auto bytes = record.Bytes();
    payload.assign(bytes.begin(), bytes.end());
    hand_off.HandOffEvent(record);
  } else {
    payload = link_state;
    hand_off.SendOrSpool(mtLinkState, link_state);
  }

  std::vector<test::FakeServerLink::Message> expected_queue;
  if (c.queued_type != 0) expected_queue.push_back({c.queued_type, payload});
  EXPECT_EQ(link.Messages(), expected_queue);

  const auto names = dir.Names();
  if (c.spooled_type == 0) {
    EXPECT_TRUE(names.empty());
  } else {
    ASSERT_EQ(names.size(), 1u);
    const auto file = spool.ReadSpoolFile(dir.Path(names[0]));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->type, c.spooled_type);
    EXPECT_EQ(file->payload, payload);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Routes, HandOffRoutes,
    ::testing::Values(RouteCase{"EventLinkUp", Link::kUp, false, true, mtEvent, 0},
                      RouteCase{"EventLinkDown", Link::kDown, false, true, 0, mtStoredEvent},
                      RouteCase{"EventNoLink", Link::kAbsent, false, true, 0, mtStoredEvent},
                      RouteCase{"EventQueueFull", Link::kQueueFull, false, true, 0, mtStoredEvent},
                      RouteCase{"EventDownNotToDisk", Link::kDown, true, true, 0, mtStoredEvent},
                      RouteCase{"EventWhileAttempting", Link::kAttempting, false, true, 0, mtStoredEvent},
                      RouteCase{"StateWhileAttempting", Link::kAttempting, false, false, 0, mtLinkState},
                      RouteCase{"StateLinkUp", Link::kUp, false, false, mtLinkState, 0},
                      RouteCase{"StateUpNotToDisk", Link::kUp, true, false, mtLinkState, 0},
                      RouteCase{"StateLinkDown", Link::kDown, false, false, 0, mtLinkState},
                      RouteCase{"StateNoLink", Link::kAbsent, false, false, 0, mtLinkState},
                      RouteCase{"StateQueueFull", Link::kQueueFull, false, false, 0, mtLinkState},
                      RouteCase{"StateDownNotToDisk", Link::kDown, true, false, 0, 0},
                      RouteCase{"StateQueueFullNotToDisk", Link::kQueueFull, true, false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drv
