#include "hash.h"

#include <cstdio>
#include <cstring>

#include <xxhash.h>

namespace olk {

bool Hash128::operator==(const Hash128& o) const { return std::memcmp(bytes, o.bytes, 16) == 0; }

std::string Hash128::Hex() const {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(32, '0');
  for (int i = 0; i < 16; ++i) {
    s[2 * i] = kDigits[bytes[i] >> 4];
    s[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return s;
}

static Hash128 FromXxh(XXH128_hash_t h) {
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, h);
  Hash128 out;
  std::memcpy(out.bytes, c.digest, 16);
  return out;
}

Hasher::Hasher() : state_(XXH3_createState()) {
  if (state_) XXH3_128bits_reset(static_cast<XXH3_state_t*>(state_));
}

Hasher::~Hasher() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }

void Hasher::Update(const void* data, size_t n) {
  if (state_ && n) XXH3_128bits_update(static_cast<XXH3_state_t*>(state_), data, n);
}

Hash128 Hasher::Digest() const {
  if (!state_) return Hash128();
  return FromXxh(XXH3_128bits_digest(static_cast<XXH3_state_t*>(state_)));
}

Hash128 HashBytes(const void* data, size_t n) { return FromXxh(XXH3_128bits(data, n)); }

}  // namespace olk
