#include "telemetry/queue.h"

#include <optional>
#include <utility>

namespace vorn {
namespace {

// The heap bytes of a text: none while it fits the string's inline buffer.
size_t heap_bytes(const std::string& text) {
  static const size_t inline_capacity = std::string().capacity();
  return text.capacity() > inline_capacity ? text.capacity() + 1 : 0;
}

size_t heap_bytes(const std::optional<std::string>& text) { return text ? heap_bytes(*text) : 0; }

}  // namespace

size_t TelemetryQueue::footprint(const CanonicalTelemetryEvent& event) {
  const CanonicalDecision& decision = event.decision;
  const CanonicalRequestMetadata& metadata = event.metadata;
  return sizeof(CanonicalTelemetryEvent) + heap_bytes(event.api_key) + heap_bytes(event.source) +
         heap_bytes(decision.algorithm) + heap_bytes(decision.route) +
         heap_bytes(decision.identity) + heap_bytes(decision.ip) + heap_bytes(decision.region) +
         heap_bytes(metadata.route) + heap_bytes(metadata.ip) + heap_bytes(metadata.user_agent) +
         heap_bytes(metadata.method) + heap_bytes(metadata.identity);
}

void TelemetryQueue::EventList::push(CanonicalTelemetryEvent event) {
  const size_t size = footprint(event);
  if (size > MAX_QUEUE_BYTES) return;  // could never fit: dropped like an evicted event
  while (!events_.empty() &&
         (events_.size() >= MAX_QUEUE_SIZE || bytes_ + size > MAX_QUEUE_BYTES)) {
    drop_oldest();
  }
  events_.push_back(std::move(event));
  bytes_ += size;
}

void TelemetryQueue::EventList::drop_oldest() {
  bytes_ -= footprint(events_.front());
  events_.pop_front();
}

std::vector<CanonicalTelemetryEvent> TelemetryQueue::EventList::in_order() const {
  return std::vector<CanonicalTelemetryEvent>(events_.begin(), events_.end());
}

TelemetryQueue::TelemetryQueue(std::string backend_url, bool enabled)
    : events_(std::make_shared<GuardedEvents>()),
      backend_url_(std::move(backend_url)),
      enabled_(enabled) {}

void TelemetryQueue::push(CanonicalTelemetryEvent event) const {
  if (!enabled_) return;
  events_->with_lock([&event](EventList& events) { events.push(std::move(event)); });
}

size_t TelemetryQueue::size() const {
  return events_->with_lock([](const EventList& events) { return events.size(); });
}

size_t TelemetryQueue::bytes() const {
  return events_->with_lock([](const EventList& events) { return events.bytes(); });
}

std::vector<CanonicalTelemetryEvent> TelemetryQueue::snapshot() const {
  return events_->with_lock([](const EventList& events) { return events.in_order(); });
}

}  // namespace vorn
