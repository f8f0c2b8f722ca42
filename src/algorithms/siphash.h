// SipHash-1-3, the keyed hash that spreads client keys over shards and table
// slots, and the per-thread source of its 128-bit keys.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorn {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// SipHash-1-3 of the key's bytes followed by one 0xFF byte, so that no text is
// a prefix-collision of another when texts are hashed in sequence.
uint64_t siphash13_text(const SipKey& key, std::string_view text);

// The second digest that tells apart keys whose keyed SipHash digests agree
// (one pair in 2^64). Collisions of the SipHash digest cannot be steered
// without its key, so this one need only mix well: a multiply-xorshift over the
// key's 8-byte words, seeded from a second key pair.
[[gnu::always_inline]] inline uint64_t secondary_digest(const SipKey& key, std::string_view text) {
  uint64_t hash = key.k0 ^ (text.size() * 0x9E3779B97F4A7C15ULL);
  size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
    hash ^= hash >> 31;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, text.data() + at, text.size() - at);
  hash = (hash ^ tail ^ key.k1) * 0x94D049BB133111EBULL;
  return hash ^ (hash >> 29);
}

// The calling thread's current hash key; the thread draws its pair from the
// operating system's random source on first use, then every call increments
// the first half, so two maps created by one thread never share a key.
SipKey next_thread_hash_key();

}  // namespace vorn
