// What a synced key is called in Redis: the first 16 bytes of the SHA-256 of
// the client key's UTF-8, in unpadded base64url (22 characters). Both host
// packages name a client's Redis state the same way, so every engine of one
// limit, in any process or host, meets on one key; the key itself (an API key,
// say) is never stored. Pure functions, thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

using Sha256 = std::array<uint8_t, 32>;

Sha256 sha256(std::string_view bytes);

inline constexpr size_t kKeyDigestBytes = 16;
using KeyDigest = std::array<uint8_t, kKeyDigestBytes>;

KeyDigest key_digest(std::string_view key);
// The 22-character name of `digest`.
std::string key_digest_text(const KeyDigest& digest);

}  // namespace vorn
