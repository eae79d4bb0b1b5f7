/* Entropy coding of payload streams: zstd frames and raw LZMA2 streams,
 * and a streaming decoder that reads an encoded region of the patch data
 * with bounded memory. */
#ifndef OLKENG_CODEC_H
#define OLKENG_CODEC_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "olkeng/file_layer.h"
#include "olkeng/result.h"

namespace olk {

class CoreBudget;
class ReadAhead;

enum class Codec : uint8_t {
  kStored = 1, /* the bytes as they are */
  kZstd = 2,   /* one zstd frame, window at most kMaxZstdWindowLog */
  kLzma2 = 3,  /* one LZMA2 property byte, then a raw LZMA2 stream */
};

/* Limits every reader enforces, so that applying stays within its memory
 * bound whatever the patch data says. */
constexpr int kMaxZstdWindowLog = 23;           /* 8 MiB */
constexpr uint32_t kMaxLzma2Dict = 8u << 20;    /* 8 MiB */

/* The most decoded bytes one encoded byte can stand for: zstd's densest
 * block (one repeated byte) turns 4 bytes into 128 KiB; LZMA2 stays under
 * 7,000. A stream that declares more than its encoded size times this is
 * not one the codecs can produce. */
constexpr uint64_t kMaxExpansion = 32768;

/* MaxDecodedSize(): the most bytes `encoded_size` bytes in `codec` can
 * decode to (saturated). */
uint64_t MaxDecodedSize(Codec codec, uint64_t encoded_size);

/* Effort of an encoding: what is tried for each stream. */
enum class Effort : uint8_t {
  kFast,  /* zstd only, a middle level */
  kBest,  /* zstd at a high level and LZMA2 (extreme), the smaller wins */
};

/* EncodeBest():
 * Encodes `n` bytes with the codec that gives the fewest bytes among those
 * that `effort` tries, never more than stored. Tries them in parallel when
 * `budget` (may be NULL) grants a core. Deterministic.
 * @return false when memory runs out. */
bool EncodeBest(const uint8_t* src, size_t n, Effort effort, CoreBudget* budget, Codec* codec,
                std::vector<uint8_t>* out);

/* EncodeWith():
 * Encodes `n` bytes with one given codec. @return false when memory runs
 * out or the codec fails. */
bool EncodeWith(Codec codec, const uint8_t* src, size_t n, int zstd_level, std::vector<uint8_t>* out);

/* A read-only File over bytes in memory (the index's solid area), so that
 * streams kept there decode like those kept apart. */
class SpanFile : public File {
 public:
  SpanFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  IoStatus ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override;
  IoStatus Write(const void*, size_t) override { return IoStatus::kIoError; }
  IoStatus Flush() override { return IoStatus::kOk; }
  IoStatus Close() override { return IoStatus::kOk; }
  uint64_t Size() const override { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

/* Reads the encoded region [offset, offset+size) of `file` and hands out
 * its decoded bytes in order. Memory: one input buffer and the codec's own
 * window, both bounded. */
class StreamDecoder {
 public:
  StreamDecoder();
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  /* Init():
   * Prepares decoding of a region that must decode to exactly
   * `decoded_size` bytes. @return kOk, kBadPatch (unknown codec, limits
   * exceeded, more bytes declared than the region can decode to),
   * kNoMemory. */
  Result Init(File* file, uint64_t offset, uint64_t size, Codec codec, uint64_t decoded_size);

  /* InitReadAhead():
   * As Init(); a compressed stream that decodes to kReadAheadFrom bytes or
   * more is then decoded on a thread of its own, ahead of the reads
   * (read_ahead.h), with the same bytes and results. */
  Result InitReadAhead(File* file, uint64_t offset, uint64_t size, Codec codec, uint64_t decoded_size);
  static constexpr uint64_t kReadAheadFrom = 256 << 10;

  /* Read():
   * Fills `dst` with the next `n` decoded bytes. Asking for more than the
   * declared size, or data that does not decode, gives kBadPatch; a read
   * error of the file gives kCannotOpenPatch. */
  Result Read(uint8_t* dst, size_t n);
  /* The same, with in *done how many bytes went to `dst` before an error
   * (all `n` when none). */
  Result Read(uint8_t* dst, size_t n, size_t* done);

  /* Finish():
   * Checks that every declared byte was read and that the encoded region
   * holds nothing more. */
  Result Finish();

  uint64_t remaining() const { return decoded_size_ - produced_; }

 private:
  Result Refill();
  Result Decode(uint8_t* dst, size_t n, size_t* done);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<ReadAhead> ahead_;
  File* file_ = nullptr;
  Codec codec_ = Codec::kStored;
  uint64_t in_pos_ = 0, in_end_ = 0;
  uint64_t decoded_size_ = 0, produced_ = 0;
  std::vector<uint8_t> buf_;
  size_t buf_pos_ = 0, buf_len_ = 0;
  bool frame_done_ = false;
};

}  // namespace olk

#endif
