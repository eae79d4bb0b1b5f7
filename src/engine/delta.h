/*
 * Binary delta of one file against its old version.
 *
 * The encoder finds, with a suffix array of the old file, long matches for
 * every stretch of the new file and grows each match in both directions as
 * long as at least half of the bytes still agree. A grown match is sent as
 * the difference between new and old: runs of unchanged bytes and, where
 * they differ, the arithmetic difference of a little-endian word, so that
 * an executable's shifted addresses cost a few repeated small numbers
 * whatever carries the shift causes; what no match covers is sent as
 * literal bytes.
 *
 * Three streams come out: the control stream (one record per match), the
 * difference stream and the literal ("extra") stream. Their encoding into
 * a payload is in payload.h.
 */
#ifndef OLKENG_DELTA_H
#define OLKENG_DELTA_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "olkeng/result.h"

namespace olk {

class CoreBudget;
class File;
struct ExecutablePair;

struct DeltaStreams {
  std::vector<uint8_t> control; /* records: zigzag seek, copy length, extra length (varints) */
  std::vector<uint8_t> diff;    /* sparse word differences: (unchanged bytes, n, n bytes of a signed difference)... */
  std::vector<uint8_t> extra;   /* literal bytes */
  uint64_t records = 0;
  bool executable = false; /* made with an ExecutablePair: the executable form */
};

/* In the control stream, each record's seek counts from the old position
 * after the last record that copied at least this many bytes (0 at the
 * start). */
constexpr uint64_t kHomeCopy = 64;

/* The difference stream holds, between runs of unchanged bytes, signed
 * differences of little-endian words of this many bytes (fewer at the end
 * of a copy), so that a shifted 32-bit address or displacement costs the
 * same whatever carries its change causes. */
constexpr size_t kMaxDiffBytes = 4;

/* The largest old file the delta encoder takes (its suffix array is
 * indexed with 32-bit integers). The builder gives larger files, and
 * those from BuildOptions::block_match_from on, to the block matcher
 * (block_matcher.h). */
constexpr uint64_t kMaxDeltaOldSize = (1ull << 31) - 16;

/* ComputeDelta():
 * Computes the three streams that turn `old_data` into `new_data`. Uses
 * extra cores from `budget` when it grants them; the result does not
 * depend on how many it grants. With `exe` (both files are x86 images),
 * the copies start from the old bytes with their references predicted
 * (x86_refs.h), and the control stream begins with the new image's
 * layout: the executable form of a delta.
 * @return false when memory runs out or `old_size` is too large. */
bool ComputeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                  CoreBudget* budget, DeltaStreams* out, const ExecutablePair* exe = nullptr);

/* Where decoded bytes go: the applier hashes and writes them. */
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual Result Put(const uint8_t* data, size_t n) = 0;
};

/* Reads the old file at random places through a small cache of fixed-size
 * blocks, so that memory does not grow with the size of the file. */
class OldFileCache {
 public:
  static constexpr size_t kBlockSize = 64 * 1024;
  static constexpr size_t kBlocks = 64; /* 4 MiB at most */
  /* An executable delta's shape: its copies jump about the old file more
   * often than the cache holds, so its blocks are small (a 94 MB DLL read
   * 480 MB in 64 KiB blocks, 111 MB in 16 KiB), and few, since it also
   * keeps the old file's relocations. */
  static constexpr size_t kExecutableBlockSize = 16 * 1024;
  static constexpr size_t kExecutableBlocks = 16;

  /* `blocks`: how many blocks it keeps at most, of `block_size` bytes. */
  OldFileCache(File* file, uint64_t size, size_t blocks = kBlocks, size_t block_size = kBlockSize);
  ~OldFileCache();
  OldFileCache(const OldFileCache&) = delete;
  OldFileCache& operator=(const OldFileCache&) = delete;

  /* Reset(): the cache of another file, or of another shape. It keeps the
   * memory of its blocks where their size stays: an apply keeps one cache
   * from file to file, because a new block's pages fault in on first use,
   * and on some machines a full cache's 1024 faults cost 10 ms per file. */
  void Reset(File* file, uint64_t size, size_t blocks, size_t block_size);
  /* Release(): gives the blocks' memory back. */
  void Release();

  /* Span():
   * Points `*data` at the cached bytes from `offset` on, and `*avail` at
   * their count (at least 1, at most to the end of the block). The pointer
   * stays valid until the next call. @return kOk, kOldFileMismatch when the
   * file is shorter than expected, kFileInUse on a read error, kNoMemory. */
  Result Span(uint64_t offset, const uint8_t** data, size_t* avail);

  /* Read(): copies the bytes [offset, offset + n) to `dst`; results as
   * Span()'s. */
  Result Read(uint64_t offset, size_t n, uint8_t* dst);

 private:
  struct Slot {
    uint64_t block = ~0ull;
    uint64_t stamp = 0;
    size_t len = 0;
    uint8_t* data = nullptr;
  };
  static constexpr size_t kFirstBlocks = 4, kRemembered = 64;
  File* file_ = nullptr;
  uint64_t size_ = 0;
  size_t max_blocks_ = 1, block_size_ = 0;
  uint64_t clock_ = 0;
  size_t last_ = 0;
  std::vector<Slot> slots_;
  /* The blocks it let go of last, so that it grows when one comes back. */
  uint64_t let_go_[kRemembered];
  size_t next_let_go_ = 0;
};

}  // namespace olk

#endif
