// Where an engine keeps its per-client state when not in its own process, and
// how it answers when that place cannot be used. A plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// How a zone engine answers while its zone cannot be used.
enum class FailurePolicy : uint8_t {
  Local,  // from an in-process limiter of the same configuration
  Allow,  // every request admitted
  Deny,   // every request refused
};

// "local", "allow" or "deny"; nullopt for any other text.
std::optional<FailurePolicy> failure_policy_from_name(std::string_view name);
std::string_view failure_policy_name(FailurePolicy policy);

// The shared-memory zone `name`, created with `size_bytes` (or the default,
// which shrinks to what the zone's place has room for) when it is new, in
// `directory` (else the user's runtime directory, else a directory of the
// user's own under /dev/shm).
struct ZonePlacement {
  std::string name;
  std::optional<uint64_t> size_bytes;
  std::optional<std::string> directory;
  FailurePolicy on_error = FailurePolicy::Local;
};

}  // namespace vorn
