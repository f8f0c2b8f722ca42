#include "telemetry/queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vorn {
namespace {

CanonicalTelemetryEvent event_numbered(uint64_t n) {
  CanonicalTelemetryEvent event;
  event.event_type = "decision";
  event.timestamp = n;
  event.decision.route = "/r" + std::to_string(n);
  return event;
}

TEST(TelemetryQueue, DisabledQueueStoresNothing) {
  TelemetryQueue queue("http://x", false);
  for (uint64_t i = 0; i < 20000; ++i) queue.push(event_numbered(i));
  EXPECT_EQ(queue.size(), 0u);
}

TEST(TelemetryQueue, EvictsOldestFirstAndKeepsPushOrder) {
  TelemetryQueue queue("", true);
  for (uint64_t i = 0; i < TelemetryQueue::MAX_QUEUE_SIZE; ++i) queue.push(event_numbered(i));
  EXPECT_EQ(queue.size(), 10000u);
  queue.push(event_numbered(10000));
  auto events = queue.snapshot();
  ASSERT_EQ(events.size(), 10000u);
  EXPECT_EQ(events.front().timestamp, 1u);  // the first pushed is gone
  EXPECT_EQ(events.back().timestamp, 10000u);
  EXPECT_EQ(events.back().decision.route, "/r10000");
  for (uint64_t i = 10001; i < 25000; ++i) queue.push(event_numbered(i));
  events = queue.snapshot();
  ASSERT_EQ(events.size(), 10000u);
  for (size_t i = 0; i < events.size(); ++i) ASSERT_EQ(events[i].timestamp, 15000 + i) << i;
}

CanonicalTelemetryEvent event_with_route(uint64_t n, size_t route_bytes) {
  CanonicalTelemetryEvent event = event_numbered(n);
  event.decision.route = std::string(route_bytes, 'r');
  event.metadata.route = event.decision.route;
  return event;
}

TEST(TelemetryQueue, LongTextsAreBoundedInBytesOldestFirst) {
  TelemetryQueue queue("", true);
  for (uint64_t i = 0; i < 1000; ++i) {
    queue.push(event_with_route(i, 60000));
    ASSERT_LE(queue.bytes(), TelemetryQueue::MAX_QUEUE_BYTES) << i;
  }
  const auto events = queue.snapshot();
  const size_t each = TelemetryQueue::footprint(events.front());
  EXPECT_GT(each, 120000u);
  // As many of the newest as fit, in push order.
  ASSERT_EQ(events.size(), TelemetryQueue::MAX_QUEUE_BYTES / each);
  for (size_t i = 0; i < events.size(); ++i) {
    ASSERT_EQ(events[i].timestamp, 1000 - events.size() + i) << i;
  }
  // Short events then refill it up to the count bound.
  for (uint64_t i = 0; i < 20000; ++i) queue.push(event_numbered(i));
  EXPECT_EQ(queue.size(), TelemetryQueue::MAX_QUEUE_SIZE);
  EXPECT_LE(queue.bytes(), TelemetryQueue::MAX_QUEUE_BYTES);
}

TEST(TelemetryQueue, AnEventLargerThanTheWholeBoundIsDroppedAlone) {
  TelemetryQueue queue("", true);
  queue.push(event_numbered(1));
  queue.push(event_with_route(2, TelemetryQueue::MAX_QUEUE_BYTES));
  const auto events = queue.snapshot();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events.front().timestamp, 1u);
}

TEST(TelemetryQueue, ConcurrentPushesNeverExceedTheBound) {
  TelemetryQueue queue("http://x", true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; i < 4000; ++i) queue.push(event_numbered(t * 100000 + i));
    });
  }
  for (auto& thread : threads) thread.join();
  auto events = queue.snapshot();
  EXPECT_EQ(events.size(), 10000u);
  // Each thread's surviving events stay in that thread's push order.
  uint64_t last[4] = {0, 0, 0, 0};
  for (const auto& event : events) {
    const uint64_t thread = event.timestamp / 100000;
    EXPECT_GE(event.timestamp, last[thread]);
    last[thread] = event.timestamp;
  }
}

}  // namespace
}  // namespace vorn
