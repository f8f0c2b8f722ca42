// The two ways a shared-memory zone fails a caller. A ZoneError is a zone that
// cannot be created, attached or trusted (missing, damaged, foreign, another
// layout, too small, a lock that never came free); its message names the zone
// and the problem. An InvalidZoneName is a name no zone may have. Neither is a
// fatal failure: an engine that met one stays usable.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vorn {

class ZoneError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace zone {
// A ZoneError that says the engine's own settings cannot be used with the
// zone (a size the place cannot back, a sliding window too long for it, more
// live configurations than its table holds), as opposed to a zone in trouble.
class ZoneRefusal : public ZoneError {
 public:
  using ZoneError::ZoneError;
};

// A ZoneError of one shard only: its lock is kept by a live process past the
// timeout. The rest of the zone can still be used.
class ShardStuck : public ZoneError {
 public:
  using ZoneError::ZoneError;
};
}  // namespace zone

class InvalidZoneName : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// "zone '<name>': <problem>", the form of every ZoneError message.
inline std::string zone_message(std::string_view zone, std::string_view problem) {
  std::string message = "zone '";
  message.append(zone).append("': ").append(problem);
  return message;
}

// The problem of a ZoneError about `zone`: its message without the prefix.
inline std::string zone_problem(const ZoneError& error, std::string_view zone) {
  std::string text = error.what();
  const std::string prefix = zone_message(zone, "");
  if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
  return text;
}

[[noreturn]] inline void throw_zone_error(std::string_view zone, std::string_view problem) {
  throw ZoneError(zone_message(zone, problem));
}

// The same message, as a ZoneRefusal.
[[noreturn]] inline void throw_zone_refusal(std::string_view zone, std::string_view problem) {
  throw zone::ZoneRefusal(zone_message(zone, problem));
}

}  // namespace vorn
