#include "algorithms/siphash.h"

#include <sys/random.h>
#include <time.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace vorn {
namespace {

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

uint64_t load_le64(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;  // x86-64 is little-endian
}

SipKey random_key() {
  SipKey key;
  unsigned char bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    filled += static_cast<size_t>(got);
  }
  if (filled < sizeof bytes) {
    // No random source: mix the clock and an address so keys still differ
    // between processes and threads.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t mix[2] = {static_cast<uint64_t>(ts.tv_nsec) ^ reinterpret_cast<uintptr_t>(&key),
                       static_cast<uint64_t>(ts.tv_sec) * 0x9E3779B97F4A7C15ULL};
    std::memcpy(bytes, mix, sizeof bytes);
  }
  std::memcpy(&key.k0, bytes, 8);
  std::memcpy(&key.k1, bytes + 8, 8);
  return key;
}

// The last 0 to 7 bytes of a text as the low bytes of a word, read without a
// copy through a buffer: two overlapping loads cover 4 to 7 bytes, three
// byte loads 1 to 3 (a byte read twice lands on itself).
uint64_t load_tail(const char* p, size_t count) {
  const auto byte = [p](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
  if (count >= 4) {
    uint32_t low, high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + count - 4, 4);
    return uint64_t{low} | (uint64_t{high} << (8 * (count - 4)));
  }
  if (count == 0) return 0;
  return byte(0) | (byte(count / 2) << (8 * (count / 2))) | (byte(count - 1) << (8 * (count - 1)));
}

}  // namespace

uint64_t siphash13_text(const SipKey& key, std::string_view text) {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const char* p = text.data();
  const size_t length = text.size() + 1;  // the trailing 0xFF byte
  size_t left = text.size();
  for (; left >= 8; left -= 8, p += 8) s.compress(load_le64(p));
  // The tail: the remaining bytes, then 0xFF; that may fill a whole word.
  uint64_t word = load_tail(p, left) | (uint64_t{0xFF} << (8 * left));
  if (left + 1 == 8) {
    s.compress(word);
    word = 0;
  }
  word |= static_cast<uint64_t>(length) << 56;
  s.compress(word);
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

SipKey next_thread_hash_key() {
  thread_local bool drawn = false;
  thread_local SipKey pair;
  if (!drawn) {
    pair = random_key();
    drawn = true;
  }
  SipKey current = pair;
  pair.k0 += 1;
  return current;
}

}  // namespace vorn
