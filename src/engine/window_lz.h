/*
 * Windowed LZ: a payload for versions of a file that lie far apart.
 *
 * Between builds several releases apart, most of a file has changed a
 * little everywhere, and a delta of copies and differences carries more
 * than an LZ coder that may match short strings anywhere in the old file
 * (zstd's --patch-from wins there). This payload is that coder, held to a
 * bounded memory: the new file is cut into segments (the last one
 * shorter), and each is an LZMA2 stream whose dictionary starts out
 * holding a window of the old file (the whole old file when it is
 * smaller) around where the segment's bytes came from. Builds keep most
 * of their order, so a window placed there holds most of what the segment
 * can match.
 *
 * The stream: one byte, log2 of the segment size; one byte, log2 of the
 * window size; then per segment: varint where its window starts in the
 * old file, varint length of its LZMA2 data, that data (raw LZMA2, with
 * its end marker).
 *
 * Applying holds one window and one dictionary (window plus segment) at
 * a time: at most 10 MiB with the largest shapes a reader takes.
 */
#ifndef OLKENG_WINDOW_LZ_H
#define OLKENG_WINDOW_LZ_H

#include <cstdint>
#include <vector>

#include "codec.h"
#include "delta.h"
#include "olkeng/engine.h"

namespace olk {

class CoreBudget;

/* The shape the builder uses, which is also the largest a reader takes
 * (as log2 of bytes), and the smallest. */
constexpr unsigned kLzSegmentLog = 21; /* 2 MiB */
constexpr unsigned kLzWindowLog = 22;  /* 4 MiB */
constexpr unsigned kLzMinLog = 10;

/* DecodeWindowedLz():
 * Decodes `in` (the payload's one stream) against `old_file` (of
 * `old_size` bytes) and passes the `new_size` bytes of the new file, in
 * order, to `sink`. Checks the structure (windows inside the old file,
 * each segment's data ending exactly where declared, nothing left over);
 * the sink checks the result's hash.
 * @return kOk, kBadPatch, kCannotOpenPatch, kOldFileMismatch (the old file
 *         is shorter than declared), kFileInUse, kNoMemory, or what the
 *         sink returned. */
Result DecodeWindowedLz(StreamDecoder& in, uint64_t old_size, uint64_t new_size, File& old_file, ByteSink& sink);

/* EncodeWindowedLz():
 * The stream that turns `old_data` into `new_data` (both non-empty), in
 * segments of 2^segment_log bytes with windows of 2^window_log (tests
 * make them small), encoded on the cores `budget` grants; the bytes do
 * not depend on how many. @return false when memory runs out. */
bool EncodeWindowedLz(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                      CoreBudget* budget, std::vector<uint8_t>* out, unsigned segment_log = kLzSegmentLog,
                      unsigned window_log = kLzWindowLog);

}  // namespace olk

#endif
