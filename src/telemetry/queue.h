// A TelemetryQueue is the engine's bounded, write-only store of telemetry
// events: at most MAX_QUEUE_SIZE events and MAX_QUEUE_BYTES bytes of them (each
// event's record plus the heap storage of its texts), in push order, the oldest
// dropped first until a new event fits. So no request, however long its route or
// identity, makes the queue larger. An event that alone exceeds MAX_QUEUE_BYTES
// is dropped. The events sit in a double-ended queue behind the queue's own
// poisoning lock; a push costs one lock acquisition, the evictions it needs and
// one append. A disabled queue stores nothing and takes no lock. The lock is
// guarded at LockLevel::Leaf, so a fork never leaves it held. The backend
// URL is stored and never used: nothing is sent.
//
// push() is thread-safe. The events list is a shared handle so it could outlive
// one holder; here only the queue holds it.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/canonical.h"
#include "core/poisoning_mutex.h"

namespace vorn {

class TelemetryQueue {
 public:
  static constexpr size_t MAX_QUEUE_SIZE = 10000;
  // Ten thousand events with short texts take about 7 MiB.
  static constexpr size_t MAX_QUEUE_BYTES = size_t{8} << 20;

  // What one queued event costs in memory: its record and its texts' heap storage.
  static size_t footprint(const CanonicalTelemetryEvent& event);

  TelemetryQueue(std::string backend_url, bool enabled);

  // Stores the event, evicting the oldest when full. Thread-safe. Throws
  // FatalError when the lock was poisoned.
  void push(CanonicalTelemetryEvent event) const;

  bool enabled() const { return enabled_; }
  const std::string& backend_url() const { return backend_url_; }

  // Inspection for tests and diagnostics. Thread-safe.
  size_t size() const;
  size_t bytes() const;  // the sum of the queued events' footprints
  std::vector<CanonicalTelemetryEvent> snapshot() const;

 private:
  // Oldest first, with the sum of their footprints.
  class EventList {
   public:
    void push(CanonicalTelemetryEvent event);
    size_t size() const { return events_.size(); }
    size_t bytes() const { return bytes_; }
    std::vector<CanonicalTelemetryEvent> in_order() const;

   private:
    void drop_oldest();

    std::deque<CanonicalTelemetryEvent> events_;
    size_t bytes_ = 0;
  };

  using GuardedEvents = PoisoningMutex<EventList, LockLevel::Leaf>;

  std::shared_ptr<GuardedEvents> events_;
  std::string backend_url_;
  bool enabled_;
};

}  // namespace vorn
