// A TelemetryQueue is the engine's bounded, write-only store of telemetry
// events: at most MAX_QUEUE_SIZE events, in push order, the oldest dropped first
// when a push finds the queue full. The events sit in a ring buffer behind the
// queue's own poisoning lock, so a push costs one lock acquisition, at most one
// eviction and one append whatever the fill. A disabled queue stores nothing and
// takes no lock. The backend URL is stored and never used: nothing is sent.
//
// push() is thread-safe. The events list is a shared handle so it could outlive
// one holder; here only the queue holds it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/canonical.h"
#include "core/poisoning_mutex.h"

namespace vorn {

class TelemetryQueue {
 public:
  static constexpr size_t MAX_QUEUE_SIZE = 10000;

  TelemetryQueue(std::string backend_url, bool enabled);

  // Stores the event, evicting the oldest when full. Thread-safe. Throws
  // FatalError when the lock was poisoned.
  void push(CanonicalTelemetryEvent event) const;

  bool enabled() const { return enabled_; }
  const std::string& backend_url() const { return backend_url_; }

  // Inspection for tests and diagnostics. Thread-safe.
  size_t size() const;
  std::vector<CanonicalTelemetryEvent> snapshot() const;

 private:
  // Oldest-first ring: grows by appending until full, then each push
  // overwrites the oldest slot and advances the head.
  class EventRing {
   public:
    void push(CanonicalTelemetryEvent event);
    size_t size() const { return slots_.size(); }
    std::vector<CanonicalTelemetryEvent> in_order() const;

   private:
    std::vector<CanonicalTelemetryEvent> slots_;
    size_t oldest_ = 0;  // index of the oldest event once full
  };

  std::shared_ptr<PoisoningMutex<EventRing>> events_;
  std::string backend_url_;
  bool enabled_;
};

}  // namespace vorn
