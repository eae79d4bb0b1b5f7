/*
 * Decoding of one payload stream on a thread of its own, a few chunks
 * ahead of its reader.
 *
 * A large LZMA2 stream decodes at a few tens of MB a second on the
 * applier's own thread, which must also expand the delta, hash and write
 * the new file: decoding the next chunks meanwhile on the other core takes
 * it off that path.
 *
 * What a reader sees is what reading the stream inline gives: the same
 * bytes and the same results, each met where the reader reaches it. An
 * error the thread met past what the reader asked for is never reported,
 * and a reader that stops early stops the thread (the destructor waits
 * for it). Memory: kSlots chunks of kChunkSize beside the decoder's own.
 */
#ifndef OLKENG_READ_AHEAD_H
#define OLKENG_READ_AHEAD_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec.h"
#include "worker_thread.h"

namespace olk {

class ReadAhead {
 public:
  static constexpr size_t kChunkSize = 32 * 1024;
  static constexpr size_t kSlots = 4;

  ReadAhead() = default;
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  /* Init():
   * As StreamDecoder::Init(), then starts the thread; when no thread can
   * be made, the stream is decoded inline. @return the decoder's result,
   * or kNoMemory. */
  Result Init(File* file, uint64_t offset, uint64_t size, Codec codec, uint64_t decoded_size);

  /* Read():
   * The next `n` decoded bytes; the caller has checked that the stream
   * declares that many. */
  Result Read(uint8_t* dst, size_t n);

  /* Finish():
   * StreamDecoder::Finish()'s result, once every declared byte was read. */
  Result Finish();

 private:
  static void Run(void* self);
  void Produce();

  StreamDecoder source_; /* what it has left is what the thread has yet to decode */
  std::unique_ptr<Monitor> monitor_;
  std::unique_ptr<uint8_t[]> slots_;
  size_t lengths_[kSlots] = {};
  /* Guarded by the monitor: chunks made and chunks the reader is done
   * with; whether the thread has ended, with which result; a stop. */
  uint64_t made_ = 0, used_ = 0;
  bool ended_ = false, stop_ = false;
  Result end_result_ = Result::kOk;
  bool reader_waits_ = false, maker_waits_ = false;
  /* The reader's own: the chunk it holds and how far it got in it. */
  bool holds_ = false;
  size_t pos_ = 0;
  bool threaded_ = false;
  WorkerThread thread_; /* last: it ends before the rest goes */
};

}  // namespace olk

#endif
