/* Content hashing: XXH3-128 of whole files and of the patch data. */
#ifndef OLKENG_HASH_H
#define OLKENG_HASH_H

#include <cstddef>
#include <cstdint>

#include "olkeng/engine.h"

namespace olk {

/* Streaming XXH3-128 with seed 0. */
class Hasher {
 public:
  Hasher();
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  /* Update(): adds `n` bytes. */
  void Update(const void* data, size_t n);
  /* Digest(): the hash of everything added so far (canonical bytes). */
  Hash128 Digest() const;
  /* ok(): false when the state could not be allocated. */
  bool ok() const { return state_ != nullptr; }

 private:
  void* state_;
};

/* HashBytes(): one-shot XXH3-128 of a buffer. */
Hash128 HashBytes(const void* data, size_t n);

}  // namespace olk

#endif
