/* Payloads: how the bytes of one new file are carried in patch data. */
#ifndef OLKENG_PAYLOAD_H
#define OLKENG_PAYLOAD_H

#include <cstdint>
#include <vector>

#include "codec.h"
#include "delta.h"
#include "olkeng/engine.h"

namespace olk {

/* EncodeDeltaApart():
 * Encodes the three streams of a delta one after another into `out`, each
 * in the codec that makes it smallest at `effort`, and describes them in
 * `entry` as kept apart, starting at offset `base` of the patch data.
 * @return false when memory runs out. */
bool EncodeDeltaApart(const DeltaStreams& streams, Effort effort, CoreBudget* budget, uint64_t base, PatchEntry* entry,
                      std::vector<uint8_t>* out);

/* DeclaredSizesPossible():
 * True when the sizes `entry` declares (new file, streams) are ones its
 * encoded streams can produce: a whole file no larger than its stream can
 * decode to; for a delta, control and difference streams no longer than
 * records that each produce at least one byte can take, and a new file no
 * larger than those records can copy and add. Bounds what a small patch
 * can make the applier reserve, read or loop over. */
bool DeclaredSizesPossible(const PatchEntry& entry);

/* DecodePayload():
 * Decodes the payload of `entry` (streams in `info`'s solid area or apart
 * in `patch`) and passes the new file's bytes, in order, to `sink`.
 * `old_file` (of size entry.old_size) is needed only for deltas. Checks
 * the payload's structure but not the result's hash (the sink does that).
 * `cache`, where given, is the old file's cache, kept by the caller from
 * one payload to the next so that its memory is used again (released for
 * payloads that do not read through it); without, a delta makes its own.
 * @return kOk, kBadPatch, kCannotOpenPatch, kOldFileMismatch, kFileInUse,
 *         kNoMemory, or what the sink returned. */
Result DecodePayload(const PatchInfo& info, const PatchEntry& entry, File& patch, File* old_file, ByteSink& sink,
                     OldFileCache* cache = nullptr);

}  // namespace olk

#endif
