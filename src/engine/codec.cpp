#include "codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <lzma.h>
#include <zstd.h>
#include <zstd_errors.h>

#include "bytes.h"
#include "filled_memory.h"
#include "read_ahead.h"

namespace olk {

namespace {
constexpr size_t kInBufSize = 64 * 1024;
}  // namespace

uint64_t MaxDecodedSize(Codec codec, uint64_t encoded_size) {
  return codec == Codec::kStored ? encoded_size : SatMul(encoded_size, kMaxExpansion);
}

IoStatus SpanFile::ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) {
  *got = 0;
  if (offset >= size_) return IoStatus::kOk;
  *got = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
  std::memcpy(buf, data_ + offset, *got);
  return IoStatus::kOk;
}

struct StreamDecoder::Impl {
  ZSTD_DCtx* zstd = nullptr;
  lzma_stream lz = LZMA_STREAM_INIT;
  bool lz_live = false;
  ~Impl() {
    if (zstd) ZSTD_freeDCtx(zstd);
    if (lz_live) lzma_end(&lz);
  }
};

StreamDecoder::StreamDecoder() = default;
StreamDecoder::~StreamDecoder() = default;

Result StreamDecoder::Init(File* file, uint64_t offset, uint64_t size, Codec codec, uint64_t decoded_size) {
  ahead_.reset(); /* a decoder made again reads its new stream itself */
  file_ = file;
  codec_ = codec;
  in_pos_ = offset;
  in_end_ = offset + size;
  if (in_end_ < offset) return Result::kBadPatch;
  if (decoded_size > MaxDecodedSize(codec, size)) return Result::kBadPatch;
  decoded_size_ = decoded_size;
  produced_ = 0;
  buf_pos_ = buf_len_ = 0;
  frame_done_ = false;
  impl_.reset(new (std::nothrow) Impl);
  if (!impl_) return Result::kNoMemory;
  switch (codec) {
    case Codec::kStored:
      if (size != decoded_size) return Result::kBadPatch;
      return Result::kOk;
    case Codec::kZstd: {
      buf_.resize(kInBufSize);
      impl_->zstd = ZSTD_createDCtx();
      if (!impl_->zstd) return Result::kNoMemory;
      if (ZSTD_isError(ZSTD_DCtx_setParameter(impl_->zstd, ZSTD_d_windowLogMax, kMaxZstdWindowLog)))
        return Result::kBadPatch;
      return Result::kOk;
    }
    case Codec::kLzma2: {
      buf_.resize(kInBufSize);
      if (size < 1) return Result::kBadPatch;
      uint8_t prop = 0;
      size_t got = 0;
      if (file_->ReadAt(in_pos_, &prop, 1, &got) != IoStatus::kOk || got != 1) return Result::kCannotOpenPatch;
      in_pos_ += 1;
      lzma_filter filter = {LZMA_FILTER_LZMA2, nullptr};
      if (lzma_properties_decode(&filter, nullptr, &prop, 1) != LZMA_OK) return Result::kBadPatch;
      lzma_options_lzma* opt = static_cast<lzma_options_lzma*>(filter.options);
      uint32_t dict = opt->dict_size;
      if (dict > kMaxLzma2Dict) {
        free(opt);
        return Result::kBadPatch;
      }
      lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, opt}, {LZMA_VLI_UNKNOWN, nullptr}};
      if (decoded_size >= dict) impl_->lz.allocator = &kLzmaFilledMemory;
      lzma_ret r = lzma_raw_decoder(&impl_->lz, filters);
      free(opt);
      if (r == LZMA_MEM_ERROR) return Result::kNoMemory;
      if (r != LZMA_OK) return Result::kBadPatch;
      impl_->lz_live = true;
      return Result::kOk;
    }
  }
  return Result::kBadPatch;
}

Result StreamDecoder::InitReadAhead(File* file, uint64_t offset, uint64_t size, Codec codec,
                                    uint64_t decoded_size) {
  if (codec == Codec::kStored || decoded_size < kReadAheadFrom) return Init(file, offset, size, codec, decoded_size);
  impl_.reset();
  codec_ = codec;
  decoded_size_ = decoded_size;
  produced_ = 0;
  ahead_.reset(new (std::nothrow) ReadAhead);
  if (!ahead_) return Result::kNoMemory;
  return ahead_->Init(file, offset, size, codec, decoded_size);
}

Result StreamDecoder::Refill() {
  if (buf_pos_ < buf_len_) return Result::kOk;
  uint64_t left = in_end_ - in_pos_;
  size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf_.size()));
  buf_pos_ = buf_len_ = 0;
  if (want == 0) return Result::kOk;
  size_t got = 0;
  if (file_->ReadAt(in_pos_, buf_.data(), want, &got) != IoStatus::kOk || got != want)
    return Result::kCannotOpenPatch;
  in_pos_ += got;
  buf_len_ = got;
  return Result::kOk;
}

Result StreamDecoder::Read(uint8_t* dst, size_t n) {
  size_t done;
  return Read(dst, n, &done);
}

Result StreamDecoder::Read(uint8_t* dst, size_t n, size_t* done) {
  *done = 0;
  if (n > decoded_size_ - produced_) return Result::kBadPatch;
  Result r = Result::kOk;
  if (ahead_) {
    r = ahead_->Read(dst, n);
  } else if (codec_ == Codec::kStored) {
    size_t got = 0;
    if (n > 0 && (file_->ReadAt(in_pos_, dst, n, &got) != IoStatus::kOk || got != n)) return Result::kCannotOpenPatch;
    in_pos_ += n;
  } else {
    r = Decode(dst, n, done);
  }
  if (r != Result::kOk) return r;
  *done = n;
  produced_ += n;
  return Result::kOk;
}

/* Decompresses the next `n` bytes; *done counts those decoded before an
 * error, which a reader ahead hands out before it. */
Result StreamDecoder::Decode(uint8_t* dst, size_t n, size_t* done_out) {
  size_t& done = *done_out;
  while (done < n) {
    if (frame_done_) return Result::kBadPatch; /* stream ended early */
    Result rr = Refill();
    if (rr != Result::kOk) return rr;
    bool input_exhausted = buf_pos_ == buf_len_;
    if (codec_ == Codec::kZstd) {
      ZSTD_inBuffer in = {buf_.data(), buf_len_, buf_pos_};
      ZSTD_outBuffer out = {dst + done, n - done, 0};
      size_t r = ZSTD_decompressStream(impl_->zstd, &out, &in);
      if (ZSTD_isError(r)) {
        return ZSTD_getErrorCode(r) == ZSTD_error_memory_allocation ? Result::kNoMemory : Result::kBadPatch;
      }
      buf_pos_ = in.pos;
      done += out.pos;
      if (r == 0) frame_done_ = true;
      if (out.pos == 0 && in.pos == in.size && input_exhausted) return Result::kBadPatch; /* truncated */
    } else {
      lzma_stream& lz = impl_->lz;
      lz.next_in = buf_.data() + buf_pos_;
      lz.avail_in = buf_len_ - buf_pos_;
      lz.next_out = dst + done;
      lz.avail_out = n - done;
      lzma_ret r = lzma_code(&lz, input_exhausted ? LZMA_FINISH : LZMA_RUN);
      size_t produced = (n - done) - lz.avail_out;
      buf_pos_ = buf_len_ - lz.avail_in;
      done += produced;
      if (r == LZMA_STREAM_END) {
        frame_done_ = true;
      } else if (r == LZMA_MEM_ERROR) {
        return Result::kNoMemory;
      } else if (r != LZMA_OK) {
        return Result::kBadPatch;
      }
      if (produced == 0 && input_exhausted && r != LZMA_STREAM_END) return Result::kBadPatch;
    }
  }
  return Result::kOk;
}

Result StreamDecoder::Finish() {
  if (produced_ != decoded_size_) return Result::kBadPatch;
  if (ahead_) return ahead_->Finish();
  if (codec_ == Codec::kStored) return in_pos_ == in_end_ ? Result::kOk : Result::kBadPatch;
  /* The frame must end exactly here, with no data after it. */
  if (!frame_done_) {
    uint8_t extra;
    /* Let the codec see its end marker; it must not produce more bytes. */
    for (int guard = 0; guard < 1 << 20 && !frame_done_; ++guard) {
      Result rr = Refill();
      if (rr != Result::kOk) return rr;
      bool input_exhausted = buf_pos_ == buf_len_;
      if (codec_ == Codec::kZstd) {
        ZSTD_inBuffer in = {buf_.data(), buf_len_, buf_pos_};
        ZSTD_outBuffer out = {&extra, 1, 0};
        size_t r = ZSTD_decompressStream(impl_->zstd, &out, &in);
        if (ZSTD_isError(r) || out.pos != 0) return Result::kBadPatch;
        buf_pos_ = in.pos;
        if (r == 0) frame_done_ = true;
        else if (input_exhausted) return Result::kBadPatch;
      } else {
        lzma_stream& lz = impl_->lz;
        lz.next_in = buf_.data() + buf_pos_;
        lz.avail_in = buf_len_ - buf_pos_;
        lz.next_out = &extra;
        lz.avail_out = 1;
        lzma_ret r = lzma_code(&lz, input_exhausted ? LZMA_FINISH : LZMA_RUN);
        buf_pos_ = buf_len_ - lz.avail_in;
        if (lz.avail_out != 1) return Result::kBadPatch;
        if (r == LZMA_STREAM_END) frame_done_ = true;
        else if (r != LZMA_OK || input_exhausted) return Result::kBadPatch;
      }
    }
    if (!frame_done_) return Result::kBadPatch;
  }
  if (buf_pos_ != buf_len_ || in_pos_ != in_end_) return Result::kBadPatch;
  return Result::kOk;
}

}  // namespace olk
