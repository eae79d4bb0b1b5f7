/* Payloads: how the bytes of one new file are carried in patch data. */
#ifndef OLKENG_PAYLOAD_H
#define OLKENG_PAYLOAD_H

#include <cstdint>
#include <vector>

#include "codec.h"
#include "delta.h"
#include "olkeng/engine.h"

namespace olk {

/* EncodeDeltaPayload():
 * Lays out a delta payload: a zero byte, three stream headers (codec,
 * decoded size and encoded size as varints) for the control, difference
 * and literal streams, then the three encoded streams. Each stream gets
 * the codec that makes it smallest at `effort`. Streams are encoded in
 * parallel where `budget` grants cores.
 * @return false when memory runs out. */
bool EncodeDeltaPayload(const DeltaStreams& streams, Effort effort, CoreBudget* budget, std::vector<uint8_t>* out);

/* DecodePayload():
 * Decodes the payload of `entry` from `patch` and passes the new file's
 * bytes, in order, to `sink`. `old_file` (of size entry.old_size) is
 * needed only for deltas. Checks the payload's structure but not the
 * result's hash (the sink does that).
 * @return kOk, kBadPatch, kCannotOpenPatch, kOldFileMismatch, kFileInUse,
 *         kNoMemory, or what the sink returned. */
Result DecodePayload(const PatchEntry& entry, File& patch, File* old_file, ByteSink& sink);

}  // namespace olk

#endif
