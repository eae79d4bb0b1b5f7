/*
 * The bases of an executable delta's copies (x86_refs.h), made a piece at
 * a time on a second thread while the caller decodes the pieces before
 * them.
 *
 * Predicting the references of a large executable costs about as much as
 * the rest of its apply (decoding, writing, hashing); side by side on two
 * cores, the executable form applies about as fast as the plain one.
 *
 * Only the caller's thread touches the old file (through its cache) and
 * plans the pieces. A slot holds the pieces of several copies; the worker
 * fills them from the front, and the caller, when it comes to a slot the
 * worker has not finished, fills what is left from the back, so that
 * neither waits long for the other. Each piece but a slot's first starts
 * a copy, and a copy's prediction depends on nothing before it; a copy
 * that runs on into the next slot is left to the worker, whose predictor
 * carries it on. So the bytes are those one thread would make. Where no
 * thread can be started, the caller fills every slot itself.
 */
#ifndef OLKENG_PREDICTION_PIPELINE_H
#define OLKENG_PREDICTION_PIPELINE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "delta.h"
#include "worker_thread.h"
#include "x86_refs.h"

namespace olk {

/* A copy of old[old_pos, old_pos + len) to new_pos. */
struct CopyPlan {
  uint64_t old_pos = 0, new_pos = 0, len = 0;
};

/* How the pipeline cuts its work: the defaults suit real files; tests
 * make them small to exercise every boundary with small ones. */
struct PipelineShape {
  size_t piece = 128 * 1024;  /* bytes a slot holds at most */
  size_t cut = 16 * 1024;     /* long copies are cut about this often... */
  size_t cut_search = 256;    /* ...at the first place allowed within this */
  bool worker = true;         /* false: the caller does everything */
};

class PredictionPipeline {
 public:
  /* `next_copy` gives the delta's copies from the old file, in order, and
   * false after the last; it runs on the caller's thread. `prologue` is
   * other work for the worker, done first while the caller fills the
   * first pieces itself (see WaitPrologue()); it may throw
   * std::bad_alloc and must not touch the old file. The arguments must
   * outlive the pipeline. Throws std::bad_alloc. */
  PredictionPipeline(const OldImage& old_image, const ImageLayout& new_layout, const OffsetMap& map,
                     OldFileCache& cache, uint64_t old_size, std::function<bool(CopyPlan*)> next_copy,
                     std::function<void()> prologue, const PipelineShape& shape = PipelineShape());
  ~PredictionPipeline();
  PredictionPipeline(const PredictionPipeline&) = delete;
  PredictionPipeline& operator=(const PredictionPipeline&) = delete;

  /* Start(): starts the worker on the prologue and reads the first
   * pieces. */
  void Start();

  /* WaitPrologue(): waits until the prologue is done. kOk, or kNoMemory
   * when it ran out. */
  Result WaitPrologue();

  /* Next():
   * The next piece, in the copies' order: *offset is where it starts in
   * the old file, *data and *n its bytes (valid until the next call).
   * @return kOk; kBadPatch past the last copy; or the error reading the
   * old file met. */
  Result Next(uint64_t* offset, const uint8_t** data, size_t* n);

 private:
  /* A slot holds the pieces of several copies (most are short), so that
   * the two threads meet once per kPiece bytes, not once per copy. */
  static constexpr size_t kSlots = 4;
  static constexpr size_t kMaxParts = 512;
  enum class State { kFree, kRead, kFilled };
  /* A piece of one copy within a slot. */
  struct Part {
    bool starts_copy = false;
    CopyPlan copy;
    uint64_t offset = 0, window_start = 0;
    size_t n = 0, window_at = 0, piece_at = 0;
  };
  struct Slot {
    State state = State::kFree;
    std::vector<Part> parts;
    /* The parts no one has taken yet: [front, back). The worker takes
     * from the front, the caller from the back. */
    size_t front = 0, back = 0;
    /* The last part goes on into the next slot: the worker's. */
    bool runs_on = false;
    /* Where reading the old file failed, after the parts. */
    Result error = Result::kOk;
    std::unique_ptr<uint8_t[]> window, piece;
  };

  static void Work(void* self);
  void RunPrologue();
  void FillPart(RefPredictor& predictor, Slot& slot, size_t k);
  /* The worker's share of one slot. */
  void WorkOn(Slot& slot);
  /* Reads the windows of the next pieces into the free slots. */
  void Plan();

  /* Each on cache lines of its own: the two threads write their
   * predictor's state at every reference. */
  alignas(64) RefPredictor predictor_;        /* the worker's */
  alignas(64) RefPredictor caller_predictor_; /* the caller's, for the parts it takes */
  const PipelineShape shape_;
  OldFileCache& cache_;
  uint64_t old_size_;
  std::function<bool(CopyPlan*)> next_copy_;
  std::function<void()> prologue_;
  bool prologue_done_ = false;
  Result prologue_result_ = Result::kOk;
  /* The piece being planned: within `copy`, from `at` on. */
  CopyPlan copy_;
  uint64_t at_ = 0;
  bool fresh_ = false; /* a predictor may start afresh at at_ */
  bool planned_all_ = false;
  Slot slots_[kSlots];
  size_t plan_slot_ = 0, take_slot_ = 0;
  bool holding_ = false; /* the caller holds slots_[take_slot_]... */
  size_t take_part_ = 0; /* ...and has had its parts up to this one */

  Monitor monitor_;
  bool stop_ = false;
  /* Who waits on the monitor: a wake-up costs a system call (and, on a
   * busy machine, a trip across cores), so only a waiter is woken. */
  bool worker_waits_ = false, caller_waits_ = false;
  WorkerThread worker_;
  bool threaded_ = false;
};

}  // namespace olk

#endif
