/* Little-endian fields and LEB128 varints, as used by the patch data, and
 * sums of sizes that the patch data declares. */
#ifndef OLKENG_BYTES_H
#define OLKENG_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace olk {

/* SatAdd(), SatMul(): sums and products of declared sizes that stick at
 * the largest value instead of wrapping around, so that a hostile size
 * makes a check fail instead of passing it with a small number. */
inline uint64_t SatAdd(uint64_t a, uint64_t b) { return a > ~0ull - b ? ~0ull : a + b; }
inline uint64_t SatMul(uint64_t a, uint64_t b) { return b != 0 && a > ~0ull / b ? ~0ull : a * b; }

inline void PutU8(std::vector<uint8_t>* out, uint8_t v) { out->push_back(v); }

inline void PutLE(std::vector<uint8_t>* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void PutBytes(std::vector<uint8_t>* out, const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  out->insert(out->end(), b, b + n);
}

inline void PutVarint(std::vector<uint8_t>* out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<uint8_t>(v));
}

inline uint64_t ZigZag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t UnZigZag(uint64_t v) {
  return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) { return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16; }
inline uint64_t Le64(const uint8_t* p) { return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

inline uint64_t GetLE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

/* Bounds-checked reader over a byte span. Every getter fails (returns
 * false) once the span is exhausted and leaves the reader failed. */
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  bool U8(uint8_t* v) {
    if (!Need(1)) return false;
    *v = *p_++;
    return true;
  }
  bool LE(uint64_t* v, int bytes) {
    if (!Need(static_cast<size_t>(bytes))) return false;
    *v = GetLE(p_, bytes);
    p_ += bytes;
    return true;
  }
  /* Varint(): an LEB128 number of at most 64 bits. */
  bool Varint(uint64_t* v) {
    *v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b;
      if (!U8(&b)) return false;
      if (shift == 63 && b > 1) return ok_ = false;
      *v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return true;
    }
    return ok_ = false;
  }
  size_t Consumed(const uint8_t* start) const { return static_cast<size_t>(p_ - start); }
  bool Bytes(void* dst, size_t n) {
    if (!Need(n)) return false;
    std::memcpy(dst, p_, n);
    p_ += n;
    return true;
  }
  bool Str(std::string* s, size_t n) {
    if (!Need(n)) return false;
    s->assign(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }
  size_t Remaining() const { return static_cast<size_t>(end_ - p_); }
  bool ok() const { return ok_; }

 private:
  bool Need(size_t n) {
    if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  const uint8_t* p_;
  const uint8_t* end_;
  bool ok_ = true;
};

}  // namespace olk

#endif
