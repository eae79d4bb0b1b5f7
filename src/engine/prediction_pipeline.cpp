#include "prediction_pipeline.h"

#include <algorithm>
#include <new>
#include <utility>

namespace olk {

PredictionPipeline::PredictionPipeline(const OldImage& old_image, const ImageLayout& new_layout, const OffsetMap& map,
                                       OldFileCache& cache, uint64_t old_size,
                                       std::function<bool(CopyPlan*)> next_copy, std::function<void()> prologue,
                                       const PipelineShape& shape)
    : predictor_(old_image, new_layout, map),
      caller_predictor_(old_image, new_layout, map),
      shape_(shape),
      cache_(cache),
      old_size_(old_size),
      next_copy_(std::move(next_copy)),
      prologue_(std::move(prologue)) {
  /* The buffers are not zeroed: each page is first touched where it is
   * filled, by either thread, not all at once here (a MiB of page faults
   * cost 2.5 ms on the critical path of every apply). */
  for (Slot& s : slots_) {
    s.parts.reserve(kMaxParts + shape_.piece / shape_.cut + 1);
    s.window.reset(new uint8_t[shape_.piece + kMaxParts * (RefPredictor::kLookBehind + RefPredictor::kLookAhead)]);
    s.piece.reset(new uint8_t[shape_.piece]);
  }
}

void PredictionPipeline::Start() {
  threaded_ = shape_.worker && worker_.Start(&PredictionPipeline::Work, this);
  if (!threaded_) RunPrologue();
  Plan();
}

void PredictionPipeline::RunPrologue() {
  Result r = Result::kOk;
  try {
    prologue_();
  } catch (const std::bad_alloc&) {
    r = Result::kNoMemory;
  }
  Locked lock(monitor_);
  prologue_result_ = r;
  prologue_done_ = true;
  if (caller_waits_) monitor_.NotifyAll();
}

Result PredictionPipeline::WaitPrologue() {
  Locked lock(monitor_);
  while (!prologue_done_) {
    caller_waits_ = true;
    monitor_.Wait();
    caller_waits_ = false;
  }
  return prologue_result_;
}

PredictionPipeline::~PredictionPipeline() {
  if (!threaded_) return;
  {
    Locked lock(monitor_);
    stop_ = true;
    monitor_.NotifyAll();
  }
  worker_.Join();
}

void PredictionPipeline::FillPart(RefPredictor& predictor, Slot& slot, size_t k) {
  const Part& part = slot.parts[k];
  if (part.starts_copy) predictor.StartCopy(part.copy.old_pos, part.copy.new_pos, part.copy.len);
  predictor.Fill(slot.window.get() + part.window_at, part.window_start, part.n, slot.piece.get() + part.piece_at);
}

void PredictionPipeline::WorkOn(Slot& slot) {
  /* With the lock held on entry and on return. */
  while (slot.front < slot.back) {
    const size_t k = slot.front++;
    monitor_.Unlock();
    FillPart(predictor_, slot, k);
    monitor_.Lock();
  }
  if (slot.runs_on) {
    monitor_.Unlock();
    FillPart(predictor_, slot, slot.parts.size() - 1);
    monitor_.Lock();
  }
}

void PredictionPipeline::Work(void* p) {
  PredictionPipeline& self = *static_cast<PredictionPipeline*>(p);
  self.RunPrologue();
  for (size_t k = 0;; k = (k + 1) % kSlots) {
    Slot& slot = self.slots_[k];
    Locked lock(self.monitor_);
    while (!self.stop_ && slot.state != State::kRead) {
      self.worker_waits_ = true;
      self.monitor_.Wait();
      self.worker_waits_ = false;
    }
    if (self.stop_) return;
    self.WorkOn(slot);
    slot.state = State::kFilled;
    if (self.caller_waits_) self.monitor_.NotifyAll();
  }
}

void PredictionPipeline::Plan() {
  for (;;) {
    Slot& slot = slots_[plan_slot_];
    {
      Locked lock(monitor_);
      if (planned_all_ || slot.state != State::kFree) return;
    }
    slot.parts.clear();
    slot.error = Result::kOk;
    size_t window_at = 0, piece_at = 0;
    while (piece_at < shape_.piece && slot.parts.size() < kMaxParts) {
      if (at_ == copy_.old_pos + copy_.len) {
        if (!next_copy_(&copy_)) {
          planned_all_ = true;
          break;
        }
        at_ = copy_.old_pos;
        fresh_ = true;
      }
      const uint64_t copy_end = copy_.old_pos + copy_.len;
      Part whole;
      whole.offset = at_;
      whole.n = static_cast<size_t>(std::min<uint64_t>(shape_.piece - piece_at, copy_end - at_));
      whole.window_start = at_ - std::min<uint64_t>(at_, RefPredictor::kLookBehind);
      const uint64_t to = std::min(old_size_, at_ + whole.n + RefPredictor::kLookAhead);
      const size_t window_n = static_cast<size_t>(to - whole.window_start);
      whole.window_at = window_at;
      whole.piece_at = piece_at;
      slot.error = cache_.Read(whole.window_start, window_n, slot.window.get() + window_at);
      if (slot.error != Result::kOk) {
        /* Nothing more is planned: the caller stops here. */
        planned_all_ = true;
        break;
      }
      const uint8_t* window = slot.window.get() + window_at;
      auto can_cut = [&](uint64_t b) { return caller_predictor_.CanCutAt(window + (b - whole.window_start), b); };
      uint64_t end = at_ + whole.n;
      /* A part that stops inside its copy (the slot is full) ends where
       * the next can start afresh, if such a place is near. */
      bool cut_at_end = false;
      if (end < copy_end) {
        for (uint64_t b = end; b + shape_.cut_search > end && b >= at_ + shape_.cut_search; --b) {
          if (can_cut(b)) {
            end = b;
            cut_at_end = true;
            break;
          }
        }
      }
      /* Long parts in pieces that either thread can fill. */
      for (uint64_t from = at_; from < end;) {
        uint64_t until = end;
        if (end - from > 2 * shape_.cut) {
          for (uint64_t b = from + shape_.cut; b < from + shape_.cut + shape_.cut_search; ++b) {
            if (can_cut(b)) {
              until = b;
              break;
            }
          }
        }
        Part part = whole;
        part.offset = from;
        part.n = static_cast<size_t>(until - from);
        part.window_start = from - std::min<uint64_t>(from, RefPredictor::kLookBehind);
        part.window_at = whole.window_at + static_cast<size_t>(part.window_start - whole.window_start);
        part.piece_at = whole.piece_at + static_cast<size_t>(from - whole.offset);
        part.starts_copy = fresh_;
        part.copy = CopyPlan{from, copy_.new_pos + (from - copy_.old_pos), copy_end - from};
        slot.parts.push_back(part);
        fresh_ = true; /* the next piece starts at a cut */
        from = until;
      }
      fresh_ = cut_at_end;
      window_at += window_n;
      piece_at += static_cast<size_t>(end - at_);
      at_ = end;
      if (cut_at_end) break;
    }
    if (slot.parts.empty() && slot.error == Result::kOk) return;
    plan_slot_ = (plan_slot_ + 1) % kSlots;
    slot.runs_on = !slot.parts.empty() && at_ != copy_.old_pos + copy_.len && !fresh_;
    Locked lock(monitor_);
    slot.front = 0;
    slot.back = slot.parts.size() - (slot.runs_on ? 1 : 0);
    slot.state = State::kRead;
    if (worker_waits_) monitor_.NotifyAll();
  }
}

Result PredictionPipeline::Next(uint64_t* offset, const uint8_t** data, size_t* n) {
  if (holding_ && take_part_ == slots_[take_slot_].parts.size()) {
    Slot& done = slots_[take_slot_];
    if (done.error != Result::kOk) return done.error;
    Locked lock(monitor_);
    done.state = State::kFree;
    take_slot_ = (take_slot_ + 1) % kSlots;
    holding_ = false;
  }
  if (!holding_) {
    Plan();
    Slot& slot = slots_[take_slot_];
    {
      Locked lock(monitor_);
      if (slot.state == State::kFree) return Result::kBadPatch; /* no copy left */
      if (!threaded_) {
        WorkOn(slot);
        slot.state = State::kFilled;
      }
      /* Take what the worker has not, a piece at a time from the back,
       * until the two meet; never a first piece that carries on a copy
       * from the slot before. */
      const size_t lowest = slot.parts.empty() || slot.parts[0].starts_copy ? 0 : 1;
      while (slot.state != State::kFilled && slot.back > std::max(slot.front, lowest)) {
        const size_t k = --slot.back;
        monitor_.Unlock();
        FillPart(caller_predictor_, slot, k);
        monitor_.Lock();
      }
      while (slot.state != State::kFilled) {
        caller_waits_ = true;
        monitor_.Wait();
        caller_waits_ = false;
      }
    }
    holding_ = true;
    take_part_ = 0;
    if (slot.parts.empty()) return slot.error;
  }
  const Slot& slot = slots_[take_slot_];
  const Part& part = slot.parts[take_part_++];
  *offset = part.offset;
  *data = slot.piece.get() + part.piece_at;
  *n = part.n;
  return Result::kOk;
}

}  // namespace olk
