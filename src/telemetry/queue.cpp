#include "telemetry/queue.h"

#include <utility>

namespace vorn {

void TelemetryQueue::EventRing::push(CanonicalTelemetryEvent event) {
  if (slots_.size() < MAX_QUEUE_SIZE) {
    slots_.push_back(std::move(event));
    return;
  }
  slots_[oldest_] = std::move(event);  // destroys the oldest event
  oldest_ = (oldest_ + 1) % MAX_QUEUE_SIZE;
}

std::vector<CanonicalTelemetryEvent> TelemetryQueue::EventRing::in_order() const {
  std::vector<CanonicalTelemetryEvent> events;
  events.reserve(slots_.size());
  for (size_t i = 0; i < slots_.size(); ++i) {
    events.push_back(slots_[(oldest_ + i) % slots_.size()]);
  }
  return events;
}

TelemetryQueue::TelemetryQueue(std::string backend_url, bool enabled)
    : events_(std::make_shared<PoisoningMutex<EventRing>>()),
      backend_url_(std::move(backend_url)),
      enabled_(enabled) {}

void TelemetryQueue::push(CanonicalTelemetryEvent event) const {
  if (!enabled_) return;
  events_->with_lock([&event](EventRing& events) { events.push(std::move(event)); });
}

size_t TelemetryQueue::size() const {
  return events_->with_lock([](const EventRing& events) { return events.size(); });
}

std::vector<CanonicalTelemetryEvent> TelemetryQueue::snapshot() const {
  return events_->with_lock([](const EventRing& events) { return events.in_order(); });
}

}  // namespace vorn
