// A FatalError is an internal failure that no caller can recover from inside the
// call in progress: the wall clock reads earlier than the Unix epoch, or a lock
// was poisoned by an earlier such failure. It unwinds the call (releasing every
// RAII lock on the way) and each host binding translates it exactly once, at its
// call boundary. Ordinary refusals are never FatalErrors.
#pragma once

#include <stdexcept>
#include <string>

namespace vorn {

class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The prefix every fatal message carries, followed by a rendering of the error.
inline constexpr char kUnwrapFailedPrefix[] = "called `Result::unwrap()` on an `Err` value: ";

[[noreturn]] inline void throw_unwrap_failure(const std::string& error_rendering) {
  throw FatalError(kUnwrapFailedPrefix + error_rendering);
}

}  // namespace vorn
