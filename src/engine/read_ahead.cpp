#include "read_ahead.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace olk {

ReadAhead::~ReadAhead() {
  if (!threaded_) return;
  {
    Locked hold(*monitor_);
    stop_ = true;
    monitor_->NotifyAll();
  }
  thread_.Join();
}

Result ReadAhead::Init(File* file, uint64_t offset, uint64_t size, Codec codec, uint64_t decoded_size) {
  if (Result r = source_.Init(file, offset, size, codec, decoded_size); r != Result::kOk) return r;
  try {
    monitor_.reset(new Monitor);
  } catch (const std::bad_alloc&) {
    return Result::kNoMemory;
  }
  slots_.reset(new (std::nothrow) uint8_t[kSlots * kChunkSize]);
  if (!slots_) return Result::kNoMemory;
  threaded_ = thread_.Start(&ReadAhead::Run, this);
  return Result::kOk;
}

void ReadAhead::Run(void* self) { static_cast<ReadAhead*>(self)->Produce(); }

void ReadAhead::Produce() {
  Result result = Result::kOk;
  while (source_.remaining() > 0) {
    uint64_t slot;
    {
      Locked hold(*monitor_);
      while (!stop_ && made_ - used_ == kSlots) {
        maker_waits_ = true;
        monitor_->Wait();
      }
      maker_waits_ = false;
      if (stop_) return;
      slot = made_ % kSlots;
    }
    /* The slot is the thread's until made_ counts it. */
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunkSize, source_.remaining()));
    size_t got = 0;
    result = source_.Read(slots_.get() + slot * kChunkSize, n, &got);
    /* What decoded before an error is the reader's, as inline. */
    if (got > 0) {
      Locked hold(*monitor_);
      lengths_[slot] = got;
      ++made_;
      if (reader_waits_) monitor_->NotifyAll();
    }
    if (result != Result::kOk) break;
  }
  if (result == Result::kOk) result = source_.Finish();
  Locked hold(*monitor_);
  end_result_ = result;
  ended_ = true;
  if (reader_waits_) monitor_->NotifyAll();
}

Result ReadAhead::Read(uint8_t* dst, size_t n) {
  if (!threaded_) return source_.Read(dst, n);
  while (n > 0) {
    if (!holds_) {
      Locked hold(*monitor_);
      while (made_ == used_ && !ended_) {
        reader_waits_ = true;
        monitor_->Wait();
      }
      reader_waits_ = false;
      /* Ended with nothing left to hand out: the stream failed here
       * (it ends with a result of kOk only after every declared byte). */
      if (made_ == used_) return end_result_ != Result::kOk ? end_result_ : Result::kBadPatch;
      holds_ = true;
      pos_ = 0;
    }
    const size_t slot = static_cast<size_t>(used_ % kSlots);
    const size_t k = std::min(n, lengths_[slot] - pos_);
    std::memcpy(dst, slots_.get() + slot * kChunkSize + pos_, k);
    dst += k;
    n -= k;
    pos_ += k;
    if (pos_ == lengths_[slot]) {
      Locked hold(*monitor_);
      holds_ = false;
      ++used_;
      if (maker_waits_) monitor_->NotifyAll();
    }
  }
  return Result::kOk;
}

Result ReadAhead::Finish() {
  if (!threaded_) return source_.Finish();
  Locked hold(*monitor_);
  while (!ended_) {
    reader_waits_ = true;
    monitor_->Wait();
  }
  reader_waits_ = false;
  return end_result_;
}

}  // namespace olk
