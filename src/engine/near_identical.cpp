#include "near_identical.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "big_buffer.h"
#include "bytes.h"
#include "delta_writers.h"

namespace olk {

namespace {

/* A match off the current diagonal shorter than this costs a record and
 * a seek there and back for a few literal bytes saved, and matches that
 * short are mostly chance: not taken (on two builds of a large script,
 * shorter ones made the patch larger). */
constexpr uint64_t kMinOffDiagonalMatch = kHomeCopy;
constexpr uint32_t kEmpty = ~0u;
/* Bytes between two copies on one diagonal sent as differences at most. */
constexpr uint64_t kMaxChangedInPlace = 2 * kMaxDiffBytes;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

static_assert(kNearSeed == 16, "SameSeed() and SeedHash() read two words");

inline bool SameSeed(const uint8_t* a, const uint8_t* b) {
  return Load64(a) == Load64(b) && Load64(a + 8) == Load64(b + 8);
}

inline uint64_t SeedHash(const uint8_t* p) {
  const uint64_t a = Load64(p) * 0x9E3779B97F4A7C15ull;
  const uint64_t b = Load64(p + 8) * 0xC2B2AE3D27D4EB4Full;
  return (a ^ (b >> 31) ^ (b << 33)) * 0x165667B19E3779F9ull;
}

/* Length of the common prefix of a and b, at most `max`. */
inline uint64_t CommonPrefix(const uint8_t* a, const uint8_t* b, uint64_t max) {
  uint64_t i = 0;
  while (i + 8 <= max) {
    const uint64_t x = Load64(a + i) ^ Load64(b + i);
    if (x) return i + (__builtin_ctzll(x) >> 3);
    i += 8;
  }
  while (i < max && a[i] == b[i]) ++i;
  return i;
}

/* The first old position of each sampled seed, by hash (open addressing). */
class SeedTable {
 public:
  SeedTable(const uint8_t* old_data, uint64_t old_size) : old_(old_data) {
    const uint64_t samples = old_size >= kNearSeed ? (old_size - kNearSeed) / kNearStride + 1 : 0;
    unsigned bits = 10;
    while ((uint64_t(1) << bits) < samples + samples / 2) ++bits;
    shift_ = 64 - bits;
    mask_ = (size_t(1) << bits) - 1;
    slots_.assign(size_t(1) << bits, kEmpty);
    for (uint64_t at = 0; at + kNearSeed <= old_size; at += kNearStride) {
      for (size_t s = Slot(old_data + at);; s = (s + 1) & mask_) {
        if (slots_[s] == kEmpty) {
          slots_[s] = static_cast<uint32_t>(at);
          break;
        }
        if (SameSeed(old_data + slots_[s], old_data + at)) break; /* keep the first */
      }
    }
  }
  /* Find(): an old position whose seed equals the one at `p`, or kEmpty. */
  uint32_t Find(const uint8_t* p) const {
    for (size_t s = Slot(p); slots_[s] != kEmpty; s = (s + 1) & mask_)
      if (SameSeed(old_ + slots_[s], p)) return slots_[s];
    return kEmpty;
  }

 private:
  size_t Slot(const uint8_t* p) const { return static_cast<size_t>(SeedHash(p) >> shift_); }
  const uint8_t* old_;
  unsigned shift_ = 0;
  size_t mask_ = 0;
  BigVector<uint32_t> slots_;
};



/* DiagonalResumes(): whether the current diagonal agrees again within a
 * seed's length after `pos` and from there reaches `reach` in the new
 * file. Then the bytes at `pos` were overwritten in place, and a match
 * elsewhere that reaches no further is chance (in runs of one byte, a
 * table hit would otherwise pull the copy off its place at every change). */
bool DiagonalResumes(const uint8_t* old_data, uint64_t n, const uint8_t* new_data, uint64_t m, uint64_t pos,
                     int64_t diagonal, uint64_t reach) {
  for (uint64_t j = 1; j <= kNearSeed && pos + j + kNearSeed <= m; ++j) {
    const int64_t at = static_cast<int64_t>(pos + j) + diagonal;
    if (at < 0) continue;
    if (static_cast<uint64_t>(at) + kNearSeed > n) return false;
    if (!SameSeed(old_data + at, new_data + pos + j)) continue;
    const uint64_t o = static_cast<uint64_t>(at) + kNearSeed, p = pos + j + kNearSeed;
    return p + CommonPrefix(old_data + o, new_data + p, std::min(n - o, m - p)) >= reach;
  }
  return false;
}

struct Copy {
  uint64_t new_pos, old_pos, len;
};

/* Short matches for the literals: the table above finds only matches of
 * kNearStride + kNearSeed - 1 bytes or more, and a line edited in a script
 * is mostly pieces of other lines. Every kGapGram-byte piece of the
 * literals goes into a small table; one pass over the old file with a
 * rolling hash finds where each piece occurs, and keeps for each the
 * longest match (the first of equal ones). The literals are then parsed
 * greedily into those matches and what is left. Linear in the old size,
 * and the table stays small: the pass only runs when the literals are few. */
constexpr size_t kGapGram = 12;
constexpr uint64_t kMinGapMatch = 16; /* shorter ones cost more in records than they save */
constexpr uint32_t kMaxGapHits = 64;  /* matches checked for one piece: bounds the work on common ones */
/* The rolling hash: each byte shifts in kGapShift bits, so that the masked
 * hash depends on the last kGapGram bytes only. */
constexpr unsigned kGapShift = 5;
constexpr uint64_t kGapMask = (uint64_t(1) << (kGapShift * kGapGram)) - 1;

struct GearTable {
  uint64_t v[256];
  GearTable() {
    uint64_t x = 0x2545F4914F6CDD1Dull; /* splitmix64 from a fixed seed */
    for (uint64_t& e : v) {
      x += 0x9E3779B97F4A7C15ull;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      e = z ^ (z >> 31);
    }
  }
};

constexpr uint64_t kFilterMul = 0xC2B2AE3D27D4EB4Full;

/* NextInFilter(): rolls the hash `*h` over old[o..] and stops at the first
 * position whose hash passes the filter (n when none does). Kept apart so
 * that the loop, where the pass spends its time, keeps all in registers. */
__attribute__((noinline)) uint64_t NextInFilter(const uint8_t* old_data, uint64_t o, uint64_t n, const uint64_t* gear,
                                                const uint64_t* filter, unsigned filter_bits, uint64_t* h) {
  uint64_t x = *h;
  const unsigned shift = 64 - filter_bits;
  for (; o < n; ++o) {
    x = (x << kGapShift) ^ gear[old_data[o]];
    const uint64_t f = ((x & kGapMask) * kFilterMul) >> shift;
    if (filter[f / 64] >> (f % 64) & 1) break;
  }
  *h = x;
  return o;
}

void FindGapMatches(const uint8_t* old_data, uint64_t n, const uint8_t* new_data, uint64_t m,
                    std::vector<Copy>* copies) {
  static const GearTable gear;
  /* Every position of the literals where a whole piece fits, and the
   * distinct pieces, each with the list of its positions. */
  struct Gram {
    uint64_t begin, pos, end;      /* in the new file, and its run of literals */
    uint64_t old_pos = 0, len = 0; /* the longest match found */
    uint32_t next = kEmpty;        /* the next position of the same piece */
  };
  struct Piece {
    uint64_t hash;
    uint32_t first;
    uint32_t hits = 0;
  };
  std::vector<Gram> grams;
  {
    uint64_t at = 0;
    auto add_gap = [&](uint64_t begin, uint64_t end) {
      for (uint64_t p = begin; p + kGapGram <= end; ++p) grams.push_back(Gram{begin, p, end});
    };
    for (const Copy& c : *copies) {
      add_gap(at, c.new_pos);
      at = c.new_pos + c.len;
    }
    add_gap(at, m);
  }
  if (grams.empty() || n < kGapGram || grams.size() >= kEmpty) return;
  unsigned bits = 4;
  while ((size_t(1) << bits) < 2 * grams.size()) ++bits;
  const size_t mask = (size_t(1) << bits) - 1;
  auto slot = [&](uint64_t h) { return static_cast<size_t>((h * 0x9E3779B97F4A7C15ull) >> (64 - bits)); };
  std::vector<Piece> pieces;
  std::vector<uint32_t> slots(mask + 1, kEmpty); /* piece by hash */
  for (size_t i = 0; i < grams.size(); ++i) {
    uint64_t h = 0;
    for (size_t k = 0; k < kGapGram; ++k) h = (h << kGapShift) ^ gear.v[new_data[grams[i].pos + k]];
    h &= kGapMask;
    size_t s = slot(h);
    for (;; s = (s + 1) & mask) {
      if (slots[s] == kEmpty) {
        slots[s] = static_cast<uint32_t>(pieces.size());
        pieces.push_back(Piece{h, static_cast<uint32_t>(i)});
        break;
      }
      Piece& p = pieces[slots[s]];
      if (p.hash == h && std::memcmp(new_data + grams[p.first].pos, new_data + grams[i].pos, kGapGram) == 0) {
        grams[i].next = p.first; /* the list runs backwards; the order does not matter */
        p.first = static_cast<uint32_t>(i);
        break;
      }
    }
  }
  /* A filter over the hashes, so that most old positions cost one bit
   * test: a bit per slot (small enough for the fastest cache) and a count
   * of the pieces in it, so that a piece found kMaxGapHits times leaves. */
  unsigned filter_bits = 16;
  while ((size_t(1) << filter_bits) < 32 * pieces.size()) ++filter_bits;
  std::vector<uint64_t> filter_set((size_t(1) << filter_bits) / 64);
  std::vector<uint8_t> filter_count(size_t(1) << filter_bits);
  auto filter_slot = [&](uint64_t h) { return static_cast<size_t>((h * kFilterMul) >> (64 - filter_bits)); };
  for (const Piece& p : pieces) {
    const size_t f = filter_slot(p.hash);
    if (filter_count[f] < 255) ++filter_count[f];
    filter_set[f / 64] |= uint64_t(1) << (f % 64);
  }

  uint64_t h = 0;
  for (size_t k = 0; k + 1 < kGapGram; ++k) h = (h << kGapShift) ^ gear.v[old_data[k]];
  for (uint64_t o = kGapGram - 1;; ++o) {
    o = NextInFilter(old_data, o, n, gear.v, filter_set.data(), filter_bits, &h);
    if (o == n) break;
    const uint64_t hm = h & kGapMask;
    const size_t f = filter_slot(hm);
    const uint64_t start = o + 1 - kGapGram;
    for (size_t s = slot(hm); slots[s] != kEmpty; s = (s + 1) & mask) {
      Piece& p = pieces[slots[s]];
      if (p.hash != hm || p.hits >= kMaxGapHits) continue;
      if (std::memcmp(old_data + start, new_data + grams[p.first].pos, kGapGram) != 0) continue;
      if (++p.hits == kMaxGapHits && filter_count[f] < 255 && --filter_count[f] == 0)
        filter_set[f / 64] &= ~(uint64_t(1) << (f % 64));
      for (uint32_t i = p.first; i != kEmpty; i = grams[i].next) {
        Gram& g = grams[i];
        const uint64_t len = kGapGram + CommonPrefix(old_data + o + 1, new_data + g.pos + kGapGram,
                                                     std::min(n - start, g.end - g.pos) - kGapGram);
        if (len > g.len) {
          g.len = len;
          g.old_pos = start;
        }
      }
      break;
    }
  }

  /* Parse each run of literals greedily; a match also grows backwards
   * over the literals before it. */
  std::vector<Copy> found;
  uint64_t done = 0; /* new position up to which the literals are decided */
  for (size_t i = 0; i < grams.size(); ++i) {
    const Gram& g = grams[i];
    if (g.pos < done || g.len < kMinGapMatch) continue;
    const uint64_t floor = std::max(done, g.begin);
    uint64_t back = 0;
    while (g.pos - back > floor && back < g.old_pos && old_data[g.old_pos - back - 1] == new_data[g.pos - back - 1])
      ++back;
    found.push_back(Copy{g.pos - back, g.old_pos - back, g.len + back});
    done = g.pos + g.len;
  }
  if (found.empty()) return;
  copies->insert(copies->end(), found.begin(), found.end());
  std::sort(copies->begin(), copies->end(), [](const Copy& a, const Copy& b) { return a.new_pos < b.new_pos; });
}

}  // namespace

bool ComputeNearIdenticalDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                               DeltaStreams* out) {
  if (old_size < kNearMinOldSize || old_size > kMaxDeltaOldSize || new_size < kNearSeed) return false;
  try {
    const SeedTable table(old_data, old_size);
    const uint64_t n = old_size, m = new_size;
    const uint64_t budget = NearIdenticalBudget(m);
    std::vector<Copy> copies;
    uint64_t literals = 0; /* sent so far, before lit_start */
    uint64_t pos = 0, lit_start = 0;
    int64_t diagonal = 0;
    auto cost = [&](uint64_t pending) { return literals + pending + kNearRecordCost * copies.size(); };
    while (pos + kNearSeed <= m) {
      uint64_t match = kEmpty;
      const int64_t on_diagonal = static_cast<int64_t>(pos) + diagonal;
      if (on_diagonal >= 0 && static_cast<uint64_t>(on_diagonal) + kNearSeed <= n &&
          SameSeed(old_data + on_diagonal, new_data + pos)) {
        match = static_cast<uint64_t>(on_diagonal);
      } else {
        const uint32_t found = table.Find(new_data + pos);
        if (found != kEmpty) match = found;
      }
      uint64_t back = 0, len = 0;
      if (match != kEmpty) {
        while (back < pos - lit_start && back < match && old_data[match - back - 1] == new_data[pos - back - 1]) ++back;
        len = kNearSeed + CommonPrefix(old_data + match + kNearSeed, new_data + pos + kNearSeed,
                                       std::min(n - match, m - pos) - kNearSeed);
        if (static_cast<int64_t>(match) != on_diagonal &&
            (back + len < kMinOffDiagonalMatch || DiagonalResumes(old_data, n, new_data, m, pos, diagonal, pos + len)))
          match = kEmpty;
      }
      if (match == kEmpty) {
        ++pos;
        /* Back-growth of a later match can only take back a few of these
         * bytes (any longer match would have been found by its seeds). */
        if (cost(pos - lit_start) > budget + kNearStride + kNearSeed) return false;
        continue;
      }
      literals += pos - back - lit_start;
      copies.push_back(Copy{pos - back, match - back, back + len});
      diagonal = static_cast<int64_t>(match) - static_cast<int64_t>(pos);
      pos += len;
      lit_start = pos;
      if (cost(0) > budget) return false;
    }
    literals += m - lit_start;
    if (cost(0) > budget) return false;
    FindGapMatches(old_data, n, new_data, m, &copies);

    /* Two copies on one diagonal with a few bytes between them that
     * changed in place (a version number) become one copy, the bytes sent
     * as differences: a record fewer, as the suffix-array delta sends them. */
    std::vector<Copy> merged;
    std::vector<Copy> changed; /* new_pos, len: the bytes between merged copies */
    for (const Copy& c : copies) {
      if (!merged.empty()) {
        Copy& last = merged.back();
        const uint64_t gap = c.new_pos - (last.new_pos + last.len);
        if (gap <= kMaxChangedInPlace && c.old_pos >= last.old_pos + last.len &&
            c.old_pos - (last.old_pos + last.len) == gap) {
          if (gap) changed.push_back(Copy{last.new_pos + last.len, 0, gap});
          last.len = c.new_pos + c.len - last.new_pos;
          literals -= gap;
          continue;
        }
      }
      merged.push_back(c);
    }

    out->control.clear();
    out->diff.clear();
    out->extra.clear();
    out->records = 0;
    out->extra.reserve(static_cast<size_t>(literals));
    RecordWriter records(out);
    SparseWriter diff(&out->diff);
    size_t next_changed = 0;
    uint64_t at = 0, old_at = 0, copy = 0; /* the pending record */
    for (const Copy& c : merged) {
      records.Put(old_at, copy, c.new_pos - at);
      out->extra.insert(out->extra.end(), new_data + at, new_data + c.new_pos);
      const uint64_t end = c.new_pos + c.len;
      const uint8_t* const old_of = old_data + c.old_pos - c.new_pos; /* old byte for a new position */
      uint64_t i = c.new_pos;
      for (; next_changed < changed.size() && changed[next_changed].new_pos < end; ++next_changed) {
        const Copy& ch = changed[next_changed];
        if (ch.new_pos > i) {
          diff.Same(ch.new_pos - i);
          i = ch.new_pos;
        }
        while (i < ch.new_pos + ch.len) {
          if (new_data[i] == old_of[i]) {
            diff.Same(1);
            ++i;
          } else {
            const size_t w = static_cast<size_t>(std::min<uint64_t>(kMaxDiffBytes, end - i));
            diff.Word(new_data + i, old_of + i, w);
            i += w;
          }
        }
      }
      diff.Same(end - i);
      at = end;
      old_at = c.old_pos;
      copy = c.len;
    }
    records.Put(old_at, copy, m - at);
    out->extra.insert(out->extra.end(), new_data + at, new_data + m);
    diff.Finish();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace olk
