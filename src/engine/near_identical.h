/*
 * A cheap delta for a file that differs from its old version by a little.
 *
 * Two consecutive builds of a large script or data file often differ by a
 * version string and a few edited lines. Building a suffix array of the
 * old file (delta.h) costs far more than everything else the builder does
 * on such a pair, and buys almost nothing: nearly every byte of the new
 * file sits in one long match. This pass finds those matches in time
 * linear in the two sizes and gives up early when the files turn out to
 * differ by more than a little, so that the caller falls back to the
 * suffix-array delta, which also finds the short matches that pay on
 * files with many changes.
 *
 * Positions of the old file are sampled every kNearStride bytes; a hash
 * of the kNearSeed bytes at each sample goes into a table (first
 * occurrence of each seed only, so that long runs of one pattern do not
 * crowd it). The new file is walked once: along the current diagonal (old
 * minus new position) as long as the bytes agree, and where they stop
 * agreeing, position by position, first on the same diagonal and then in
 * the table; a seed found is checked byte by byte (a hash collision never
 * becomes a wrong match) and grown backwards over the literals just sent
 * and forwards as far as both files agree. Every match of at least
 * kNearStride + kNearSeed - 1 bytes is found. The few bytes left between
 * those matches (an edited line is mostly pieces of other lines) are then
 * looked up piece by piece in one more pass over the old file, for short
 * matches; what no match covers is sent as literals.
 *
 * The result is the same three streams ComputeDelta() makes, and depends
 * only on the two files.
 */
#ifndef OLKENG_NEAR_IDENTICAL_H
#define OLKENG_NEAR_IDENTICAL_H

#include <cstddef>
#include <cstdint>

#include "delta.h"

namespace olk {

constexpr size_t kNearSeed = 16;
constexpr size_t kNearStride = 32;

/* Below this old size the suffix-array delta costs little and finds
 * shorter matches: the cheap pass is not tried. */
constexpr uint64_t kNearMinOldSize = 128 * 1024;

/* NearIdenticalBudget():
 * What the cheap pass may leave for the patch on a new file of
 * `new_size` bytes: literal bytes plus kNearRecordCost for each record
 * (about what a record costs in the control stream). A 64th: a data pack
 * whose records were replaced by new compressed assets costs their bytes
 * whatever finds the matches, and the suffix array, which found nothing
 * more there, took most of the build (a 4 MiB pack with 32 KiB of new
 * records: 31 bytes more, build 0.27 -> 0.10 s). */
constexpr uint64_t kNearRecordCost = 8;
inline uint64_t NearIdenticalBudget(uint64_t new_size) { return new_size / 64; }

/* ComputeNearIdenticalDelta():
 * Computes the streams that turn `old_data` into `new_data` when the two
 * differ by little: when the literals and records cost at most
 * NearIdenticalBudget(new_size). Single-threaded; the result depends
 * only on the two files.
 * @return false when they differ by more (then `out` holds nothing
 *         useful), when the old file is smaller than kNearMinOldSize or
 *         larger than kMaxDeltaOldSize, or when memory runs out. */
bool ComputeNearIdenticalDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                               DeltaStreams* out);

}  // namespace olk

#endif
