// SipHash-1-3, the keyed hash that spreads client keys over shards and table
// slots, and the per-thread source of its 128-bit keys.
#pragma once

#include <cstdint>
#include <string_view>

namespace vorn {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// SipHash-1-3 of the key's bytes followed by one 0xFF byte, so that no text is
// a prefix-collision of another when texts are hashed in sequence.
uint64_t siphash13_text(const SipKey& key, std::string_view text);

// The calling thread's current hash key; the thread draws its pair from the
// operating system's random source on first use, then every call increments
// the first half, so two maps created by one thread never share a key.
SipKey next_thread_hash_key();

}  // namespace vorn
