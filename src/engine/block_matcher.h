/*
 * Delta of a file too large for the suffix-array encoder, in bounded
 * memory.
 *
 * The old file is cut into blocks of a fixed size; each block's rolling
 * hash goes into a sorted table (12 bytes a block). A rolling hash of the
 * same width slides over the new file one byte at a time; where it meets
 * a block of the table, the bytes are compared (so a hash collision never
 * becomes a wrong match), and the match is grown byte by byte backwards
 * (into the bytes not yet sent) and forwards as far as both files agree.
 * Between matches the new bytes are literals. The result is the same three
 * streams ComputeDelta() makes, so the applier reads it unchanged.
 *
 * Both files are read in windows of a few MiB; nothing holds a whole file.
 * Memory is the table plus the windows plus the streams (the literal
 * stream is about the size of the changes). The result depends only on
 * the two files and the block size.
 */
#ifndef OLKENG_BLOCK_MATCHER_H
#define OLKENG_BLOCK_MATCHER_H

#include <cstddef>
#include <cstdint>

#include "delta.h"
#include "olkeng/engine.h"
#include "olkeng/file_layer.h"

namespace olk {

/* BlockSizeFor():
 * The block size for an old file of `old_size` bytes: a power of two from
 * 512 bytes up, so that the table has at most about a million blocks
 * (12 MiB). */
size_t BlockSizeFor(uint64_t old_size);

/* ComputeBlockDelta():
 * Computes the streams that turn `old_file` into `new_file`, matching
 * blocks of `block_size` bytes (at least 16), and the XXH3-128 hashes of
 * both files, read along the way. Throws std::bad_alloc when memory runs
 * out.
 * @return kOk, or the read error that stopped it. */
IoStatus ComputeBlockDelta(File& old_file, File& new_file, size_t block_size, DeltaStreams* out, Hash128* old_hash,
                           Hash128* new_hash);

}  // namespace olk

#endif
