// The records in which the engine states what it decided, and the word
// vocabularies they carry. Plain data: every record owns all of its texts and
// copying a record copies every text (deep copy). Vocabulary words (decision,
// reason, mode, event type) are views of the fixed, immutable word tables
// below, which live for the whole process, so copying a view is as good as a
// deep copy and costs no allocation. Not synchronised; a record is owned by one
// holder at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "algorithms/algorithm_result.h"

namespace vorn {

enum class Mode : uint8_t { Active = 0, Shadow = 1, Disabled = 2 };
enum class DecisionKind : uint8_t { Allow = 0, Block = 1, WouldBlock = 2 };

// Fixed table lookups from code to word; nothing parses words back. Inline:
// every check names its reason.
std::string_view mode_word(Mode mode);
std::string_view decision_word(DecisionKind kind);
inline std::string_view reason_word(LimitReason reason) {
  switch (reason) {
    case LimitReason::WithinLimit:
      return "within_limit";
    case LimitReason::LimitExceeded:
      return "limit_exceeded";
    case LimitReason::TokenExhausted:
      return "token_exhausted";
  }
  return "within_limit";
}

inline constexpr std::string_view kDecisionEventType = "decision";
inline constexpr uint16_t kStatusAllowed = 200;
inline constexpr uint16_t kStatusBlocked = 429;

struct CanonicalDecision {
  std::string_view decision;  // a DecisionKind word
  std::string_view reason;    // a LimitReason word
  std::string algorithm;      // the configured algorithm text, verbatim
  std::string route;
  std::optional<std::string> identity;  // absent when the check had none
  std::string_view mode;                // a Mode word
  std::optional<std::string> ip;        // always present in this system
  std::optional<std::string> region;    // never filled
  std::optional<uint64_t> remaining;    // absent in disabled mode
  std::optional<uint64_t> reset_after_ms;
  std::optional<uint64_t> retry_after_ms;
  std::optional<uint64_t> latency_ms;  // always present, never negative
  std::optional<uint64_t> limit;       // never filled
  std::optional<double> score;         // never filled
  std::optional<double> confidence;    // never filled
  uint64_t timestamp = 0;              // Unix seconds at the building of the record
};

struct CanonicalRequestMetadata {
  std::string route;
  std::string ip;
  std::string_view mode;                  // a Mode word
  std::optional<std::string> user_agent;  // never filled
  std::optional<std::string> method;      // never filled
  std::optional<std::string> identity;
  std::optional<uint64_t> latency_ms;   // always present
  std::optional<uint16_t> status_code;  // always present: 200 or 429
};

struct CanonicalTelemetryEvent {
  std::string_view event_type;         // always "decision"
  std::optional<std::string> api_key;  // present in every event created here
  std::optional<std::string> source;   // never filled
  CanonicalDecision decision;
  CanonicalRequestMetadata metadata;
  uint64_t timestamp = 0;  // equals decision.timestamp
};

}  // namespace vorn
