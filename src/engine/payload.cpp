#include "payload.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "byte_source.h"
#include "bytes.h"
#include "prediction_pipeline.h"
#include "varint_reader.h"
#include "window_lz.h"
#include "x86_refs.h"

namespace olk {

namespace {

constexpr size_t kChunk = 64 * 1024;

/* The longest control record (three varints of up to 10 bytes) and the
 * longest difference pair (two varints and a word). Each produces at least
 * one byte of the new file, so these bound the streams' sizes. */
constexpr uint64_t kMaxRecordBytes = 30;
constexpr uint64_t kMaxPairBytes = 20 + kMaxDiffBytes;

bool ValidCodec(uint8_t c) { return c >= 1 && c <= 3; }

/* Reads the sparse difference stream: pairs of a run of unchanged bytes
 * and a word difference of 0 to kMaxDiffBytes bytes. */
class DiffExpander {
 public:
  explicit DiffExpander(StreamDecoder* d) : varints_(d) {}
  /* Zeros(): how many of the next bytes are unchanged, reading the next
   * pair when the current one is used up (0 when a word comes next). */
  Result Zeros(uint64_t* n) {
    while (zeros_ == 0 && word_ == 0) {
      if (!varints_.More()) return Result::kBadPatch;
      Result r = varints_.Next(&zeros_);
      if (r == Result::kOk) r = varints_.Next(&word_);
      if (r != Result::kOk) return r;
      if (word_ > kMaxDiffBytes) return Result::kBadPatch;
      if (zeros_ == 0 && word_ == 0) return Result::kBadPatch; /* a pair that produces nothing */
    }
    *n = zeros_;
    return Result::kOk;
  }
  void SkipZeros(uint64_t n) { zeros_ -= n; }
  /* Word(): the signed difference that comes next (after Zeros() gave 0),
   * to be added to the next `width` old bytes. */
  Result Word(size_t width, int64_t* diff) {
    if (word_ > width) return Result::kBadPatch;
    uint8_t b[kMaxDiffBytes];
    Result r = varints_.Bytes(b, static_cast<size_t>(word_));
    if (r != Result::kOk) return r;
    uint64_t v = 0;
    for (size_t i = 0; i < word_; ++i) v |= static_cast<uint64_t>(b[i]) << (8 * i);
    const unsigned bits = static_cast<unsigned>(8 * word_);
    if (v & (1ull << (bits - 1))) v |= ~0ull << bits; /* sign-extended */
    *diff = static_cast<int64_t>(v);
    word_ = 0;
    return Result::kOk;
  }
  /* Done(): true when no run is left half used and no pair is left. */
  bool Done() const { return zeros_ == 0 && word_ == 0 && !varints_.More(); }

 private:
  VarintReader varints_;
  uint64_t zeros_ = 0, word_ = 0;
};

/* Gathers the small pieces a delta produces (runs of old bytes, words,
 * literals) into chunks, so that the sink hashes and writes in large
 * blocks. */
class Gather {
 public:
  explicit Gather(ByteSink& sink) : sink_(sink) {}
  Result Init() {
    buf_ = new (std::nothrow) uint8_t[kChunk];
    return buf_ ? Result::kOk : Result::kNoMemory;
  }
  ~Gather() { delete[] buf_; }
  Result Put(const uint8_t* p, size_t n) {
    if (n > kChunk - len_) {
      Result r = Flush();
      if (r != Result::kOk) return r;
      if (n >= kChunk) return sink_.Put(p, n);
    }
    std::memcpy(buf_ + len_, p, n);
    len_ += n;
    return Result::kOk;
  }
  /* Room(): where up to `*n` bytes can be written in place (at least
   * 1 and at most kChunk); Commit() then takes them. */
  Result Room(uint8_t** p, size_t* n) {
    if (len_ == kChunk) {
      Result r = Flush();
      if (r != Result::kOk) return r;
    }
    *p = buf_ + len_;
    *n = kChunk - len_;
    return Result::kOk;
  }
  void Commit(size_t n) { len_ += n; }
  Result Flush() {
    if (len_ == 0) return Result::kOk;
    size_t n = len_;
    len_ = 0;
    return sink_.Put(buf_, n);
  }

 private:
  ByteSink& sink_;
  uint8_t* buf_ = nullptr;
  size_t len_ = 0;
};

/* Prepares the decoder of one stream, wherever it lies; a large one is
 * decoded ahead of its reader, on the other core. */
Result InitStream(StreamDecoder* dec, const StreamRef& ref, File& patch, SpanFile& solid) {
  if (ref.codec == 0) return dec->Init(&solid, ref.offset, ref.decoded_size, Codec::kStored, ref.decoded_size);
  if (!ValidCodec(ref.codec)) return Result::kBadPatch;
  return dec->InitReadAhead(&patch, ref.offset, ref.encoded_size, static_cast<Codec>(ref.codec), ref.decoded_size);
}

Result DecodeWhole(const PatchEntry& e, File& patch, SpanFile& solid, ByteSink& sink) {
  if (e.streams[0].decoded_size != e.new_size) return Result::kBadPatch;
  StreamDecoder dec;
  Result r = InitStream(&dec, e.streams[0], patch, solid);
  if (r != Result::kOk) return r;
  std::vector<uint8_t> buf;
  try {
    buf.resize(kChunk);
  } catch (const std::bad_alloc&) {
    return Result::kNoMemory;
  }
  uint64_t left = e.new_size;
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
    if ((r = dec.Read(buf.data(), n)) != Result::kOk) return r;
    if ((r = sink.Put(buf.data(), n)) != Result::kOk) return r;
    left -= n;
  }
  return dec.Finish();
}

/* One record of the control stream, checked against the sizes. */
struct Record {
  uint64_t old_pos, copy, lit;
};

/* Reads the control stream's records. Seeks count from `home`: the old
 * position after the last record that copied at least kHomeCopy bytes, so
 * that a short copy taken from elsewhere and the way back both cost
 * little. */
class RecordReader {
 public:
  RecordReader(VarintReader* in, uint64_t old_size, uint64_t new_size)
      : in_(in), old_size_(old_size), out_left_(new_size) {}
  bool More() const { return in_->More(); }
  Result Next(Record* rec) {
    uint64_t zseek, copy, lit;
    Result r;
    if ((r = in_->Next(&zseek)) != Result::kOk || (r = in_->Next(&copy)) != Result::kOk ||
        (r = in_->Next(&lit)) != Result::kOk)
      return r;
    const int64_t seek = UnZigZag(zseek);
    if (seek < 0 ? static_cast<uint64_t>(-(seek + 1)) + 1 > home_ : static_cast<uint64_t>(seek) > old_size_ - home_)
      return Result::kBadPatch;
    const uint64_t cursor = home_ + static_cast<uint64_t>(seek);
    if (copy > old_size_ - cursor || copy > out_left_ || lit > out_left_ - copy) return Result::kBadPatch;
    if (copy == 0 && lit == 0) return Result::kBadPatch; /* a record that produces nothing */
    if (copy >= kHomeCopy) home_ = cursor + copy;
    out_left_ -= copy + lit;
    *rec = Record{cursor, copy, lit};
    return Result::kOk;
  }
  /* The new file's bytes that no record has produced yet. */
  uint64_t left() const { return out_left_; }

 private:
  VarintReader* in_;
  uint64_t old_size_, out_left_, home_ = 0;
};

/* The old file as the image parsers read it (ReadOldImage()). */
class CachedSource final : public ByteSource {
 public:
  CachedSource(OldFileCache& cache, uint64_t size) : cache_(cache), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t offset, uint8_t* buf, size_t n) override {
    return offset <= size_ && n <= size_ - offset && cache_.Read(offset, n, buf) == Result::kOk;
  }

 private:
  OldFileCache& cache_;
  uint64_t size_;
};

/* What a copy starts from: the old bytes as they are (a plain delta), or
 * with the references of an executable predicted (x86_refs.h), filled in
 * a piece at a time as the copy goes on (prediction_pipeline.h). */
class CopyBase {
 public:
  CopyBase(OldFileCache& cache, uint64_t old_size) : cache_(cache), old_size_(old_size) {}

  /* ReadHead(): the head of an executable delta's control stream (the new
   * layout and the length of the predicted relocation table), and the old
   * image's own headers. An old file that does not read as an image
   * predicts nothing; the result then fails its hash, as it should. */
  Result ReadHead(VarintReader& control, uint64_t* table_size) {
    uint64_t len;
    Result r = control.Next(&len);
    if (r != Result::kOk) return r;
    if (len > kMaxLayoutBytes) return Result::kBadPatch;
    uint8_t raw[kMaxLayoutBytes];
    if ((r = control.Bytes(raw, static_cast<size_t>(len))) != Result::kOk) return r;
    const uint8_t* p = raw;
    if (!ReadLayout(&p, raw + len, &pair_.new_layout) || p != raw + len) return Result::kBadPatch;
    if ((r = control.Next(table_size)) != Result::kOk) return r;
    if (*table_size > kMaxPredictedTable) return Result::kBadPatch;
    /* The old image's headers and relocations are read on a thread of
     * their own while the caller reads the copies (nothing else uses the
     * cache meanwhile); AwaitHead() joins it. */
    if (!head_reader_.Start(&CopyBase::ReadOldHead, this)) ReadOldHead(this);
    return Result::kOk;
  }

  Result AwaitHead() {
    head_reader_.Join();
    return head_result_;
  }

  /* Predict(): once every copy is in `map` (and `records`): predictions
   * start, and the predicted table is made (TableReady()). */
  Result Predict(const OffsetMap& map, const std::vector<Record>& records, uint64_t table_size) {
    if (Result r = AwaitHead(); r != Result::kOk) return r;
    try {
      /* The copies from the old file, in order. */
      size_t next = 0;
      uint64_t new_pos = 0;
      const uint64_t old_size = old_size_;
      auto next_copy = [&records, next, new_pos, old_size](CopyPlan* out) mutable {
        while (next < records.size()) {
          const Record& rec = records[next++];
          const uint64_t at = new_pos;
          new_pos += rec.copy + rec.lit;
          if (rec.copy > 0 && rec.old_pos < old_size) {
            out->old_pos = rec.old_pos;
            out->new_pos = at;
            out->len = rec.copy;
            return true;
          }
        }
        return false;
      };
      /* The predicted table is made on the worker while this thread
       * fills the first pieces. */
      pipeline_.reset(new PredictionPipeline(pair_.old_image, pair_.new_layout, map, cache_, old_size_, next_copy,
                                             [this, &map] {
                                               PredictRelocationTable(pair_.old_image, pair_.new_layout, map, &table_);
                                             }));
      pipeline_->Start();
    } catch (const std::bad_alloc&) {
      return Result::kNoMemory;
    }
    table_size_ = table_size;
    return Result::kOk;
  }

  /* TableReady(): the predicted table is made and has the length the
   * head declared. */
  Result TableReady() {
    if (!pipeline_ || table_ready_) return Result::kOk;
    if (Result r = pipeline_->WaitPrologue(); r != Result::kOk) return r;
    if (table_.size() != table_size_) return Result::kBadPatch;
    table_ready_ = true;
    return Result::kOk;
  }

  void StartCopy(uint64_t old_pos, uint64_t len) {
    filled_from_ = filled_to_ = old_pos;
    copy_end_ = old_pos + len;
  }

  /* Span(): like OldFileCache::Span(), within the current copy, whose
   * bytes are asked for in order; past the old file's end, the predicted
   * table. */
  Result Span(uint64_t offset, const uint8_t** data, size_t* avail) {
    if (!pipeline_) return cache_.Span(offset, data, avail);
    if (offset >= old_size_) {
      /* Copies never straddle the old file's end (checked as read). */
      if (Result r = TableReady(); r != Result::kOk) return r;
      if (offset - old_size_ >= table_.size()) return Result::kBadPatch;
      try {
        table_.Span(offset - old_size_, data, avail);
      } catch (const std::bad_alloc&) {
        return Result::kNoMemory;
      }
      *avail = static_cast<size_t>(std::min<uint64_t>(*avail, copy_end_ - offset));
      return Result::kOk;
    }
    if (offset < filled_from_ || offset > filled_to_ || offset >= copy_end_) return Result::kBadPatch;
    if (offset == filled_to_) {
      uint64_t at;
      size_t n;
      if (Result r = pipeline_->Next(&at, &piece_, &n); r != Result::kOk) return r;
      /* The pipeline plans from the same records, so it is always here. */
      if (at != offset) return Result::kBadPatch;
      filled_from_ = offset;
      filled_to_ = offset + n;
    }
    *data = piece_ + (offset - filled_from_);
    *avail = static_cast<size_t>(filled_to_ - offset);
    return Result::kOk;
  }

 private:
  OldFileCache& cache_;
  uint64_t old_size_;
  ExecutablePair pair_;
  RelocationTable table_;
  std::unique_ptr<PredictionPipeline> pipeline_;
  const uint8_t* piece_ = nullptr;
  uint64_t filled_from_ = 0, filled_to_ = 0, copy_end_ = 0;
  uint64_t table_size_ = 0;
  bool table_ready_ = false;
  Result head_result_ = Result::kOk;
  WorkerThread head_reader_; /* last: it ends before the rest goes */

  static void ReadOldHead(void* self) {
    CopyBase& base = *static_cast<CopyBase*>(self);
    CachedSource source(base.cache_, base.old_size_);
    try {
      if (!ReadOldImage(source, &base.pair_.old_image)) base.pair_.old_image = OldImage();
    } catch (const std::bad_alloc&) {
      base.head_result_ = Result::kNoMemory;
    }
  }
};

Result DecodeDelta(const PatchEntry& e, File& patch, SpanFile& solid, File* old_file, ByteSink& sink,
                   OldFileCache* kept) {
  if (!old_file || !DeclaredSizesPossible(e)) return Result::kBadPatch;
  StreamDecoder ctrl, diff, extra;
  Result r;
  if ((r = InitStream(&ctrl, e.streams[0], patch, solid)) != Result::kOk) return r;
  if ((r = InitStream(&diff, e.streams[1], patch, solid)) != Result::kOk) return r;
  if ((r = InitStream(&extra, e.streams[2], patch, solid)) != Result::kOk) return r;

  /* An executable delta keeps its relocations (two bytes each) and reads
   * its copies in order, a few pieces ahead (prediction_pipeline.h): a
   * small cache keeps its memory where a plain delta's is. */
  const bool executable = e.encoding == Encoding::kExecutableDelta;
  OldFileCache own(nullptr, 0, 0);
  OldFileCache& cache = kept ? *kept : own;
  cache.Reset(old_file, e.old_size, executable ? OldFileCache::kExecutableBlocks : OldFileCache::kBlocks,
              executable ? OldFileCache::kExecutableBlockSize : OldFileCache::kBlockSize);
  Gather out(sink);
  if ((r = out.Init()) != Result::kOk) return r;
  VarintReader control(&ctrl);
  DiffExpander diffs(&diff);
  /* Before `base`: its pipeline's thread reads them until it ends. */
  std::vector<Record> records;
  OffsetMap map;
  CopyBase base(cache, e.old_size);
  /* An executable delta copies from the old file and, after its end, from
   * the predicted relocation table. */
  uint64_t table_size = 0;
  if (e.encoding == Encoding::kExecutableDelta && (r = base.ReadHead(control, &table_size)) != Result::kOk) return r;
  RecordReader reader(&control, e.old_size + table_size, e.new_size);
  /* An executable delta needs every copy before the first byte: where the
   * old bytes went is what its predictions follow. */
  if (e.encoding == Encoding::kExecutableDelta) {
    try {
      uint64_t new_pos = 0;
      while (reader.More()) {
        Record rec;
        if ((r = reader.Next(&rec)) != Result::kOk) return r;
        if (records.size() == kMaxExecutableCopies) return Result::kBadPatch;
        if (rec.old_pos < e.old_size && rec.copy > e.old_size - rec.old_pos) return Result::kBadPatch;
        records.push_back(rec);
        if (rec.old_pos < e.old_size) map.Add(rec.old_pos, new_pos, rec.copy);
        new_pos += rec.copy + rec.lit;
      }
      map.Finish();
    } catch (const std::bad_alloc&) {
      return Result::kNoMemory;
    }
    if ((r = base.Predict(map, records, table_size)) != Result::kOk) return r;
  }
  size_t next_record = 0;
  for (;;) {
    Record rec;
    if (e.encoding == Encoding::kExecutableDelta) {
      if (next_record == records.size()) break;
      rec = records[next_record++];
    } else {
      if (!reader.More()) break;
      if ((r = reader.Next(&rec)) != Result::kOk) return r;
    }
    uint64_t cursor = rec.old_pos, copy = rec.copy, lit = rec.lit;
    if (copy > 0) base.StartCopy(cursor, copy);
    while (copy > 0) {
      const uint8_t* old_bytes;
      size_t avail;
      if ((r = base.Span(cursor, &old_bytes, &avail)) != Result::kOk) return r;
      /* Within one piece: unchanged runs and whole words. */
      {
        const size_t lim = static_cast<size_t>(std::min<uint64_t>(copy, avail));
        size_t i = 0;
        while (i < lim) {
          uint64_t zeros;
          if ((r = diffs.Zeros(&zeros)) != Result::kOk) return r;
          if (zeros > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros, lim - i));
            diffs.SkipZeros(n);
            if ((r = out.Put(old_bytes + i, n)) != Result::kOk) return r;
            i += n;
            continue;
          }
          const size_t w = static_cast<size_t>(std::min<uint64_t>(copy - i, kMaxDiffBytes));
          if (w > lim - i) break; /* the word reaches into the next piece */
          int64_t d;
          if ((r = diffs.Word(w, &d)) != Result::kOk) return r;
          uint64_t v = 0;
          for (size_t k = 0; k < w; ++k) v |= static_cast<uint64_t>(old_bytes[i + k]) << (8 * k);
          v += static_cast<uint64_t>(d);
          uint8_t word[kMaxDiffBytes];
          for (size_t k = 0; k < w; ++k) word[k] = static_cast<uint8_t>(v >> (8 * k));
          if ((r = out.Put(word, w)) != Result::kOk) return r;
          i += w;
        }
        cursor += i;
        copy -= i;
        if (copy == 0) break;
        if (i > 0) continue;
      }
      /* A word across two pieces. */
      uint64_t zeros;
      if ((r = diffs.Zeros(&zeros)) != Result::kOk) return r;
      size_t n;
      if (zeros > 0) {
        /* Unchanged bytes go straight from the old file. */
        n = static_cast<size_t>(std::min<uint64_t>({copy, avail, zeros}));
        diffs.SkipZeros(n);
        if ((r = out.Put(old_bytes, n)) != Result::kOk) return r;
      } else {
        /* A word: up to four old bytes (perhaps across two pieces) read
         * as a little-endian number, plus the difference. */
        n = static_cast<size_t>(std::min<uint64_t>(copy, kMaxDiffBytes));
        int64_t d;
        if ((r = diffs.Word(n, &d)) != Result::kOk) return r;
        uint64_t v = 0;
        for (size_t i = 0; i < n;) {
          if (i > 0 && (r = base.Span(cursor + i, &old_bytes, &avail)) != Result::kOk) return r;
          for (size_t k = 0; k < avail && i < n; ++k, ++i) v |= static_cast<uint64_t>(old_bytes[k]) << (8 * i);
        }
        v += static_cast<uint64_t>(d);
        uint8_t word[kMaxDiffBytes];
        for (size_t i = 0; i < n; ++i) word[i] = static_cast<uint8_t>(v >> (8 * i));
        if ((r = out.Put(word, n)) != Result::kOk) return r;
      }
      cursor += n;
      copy -= n;
    }
    while (lit > 0) {
      uint8_t* p;
      size_t room;
      if ((r = out.Room(&p, &room)) != Result::kOk) return r;
      size_t n = static_cast<size_t>(std::min<uint64_t>(lit, room));
      if ((r = extra.Read(p, n)) != Result::kOk) return r;
      out.Commit(n);
      lit -= n;
    }
  }
  if (reader.left() != 0 || !diffs.Done()) return Result::kBadPatch;
  /* A table that no copy read must still be as declared. */
  if ((r = base.TableReady()) != Result::kOk) return r;
  if ((r = out.Flush()) != Result::kOk) return r;
  if ((r = ctrl.Finish()) != Result::kOk) return r;
  if ((r = diff.Finish()) != Result::kOk) return r;
  return extra.Finish();
}

}  // namespace

/* ---------------------------------------------------------------------- */

OldFileCache::OldFileCache(File* file, uint64_t size, size_t blocks, size_t block_size) {
  Reset(file, size, blocks, block_size);
}

OldFileCache::~OldFileCache() { Release(); }

void OldFileCache::Release() {
  for (Slot& s : slots_) delete[] s.data;
  slots_.clear();
  last_ = 0;
}

void OldFileCache::Reset(File* file, uint64_t size, size_t blocks, size_t block_size) {
  block_size = std::max<size_t>(block_size, 1);
  if (block_size != block_size_) Release();
  file_ = file;
  size_ = size;
  max_blocks_ = std::max<size_t>(blocks, 1);
  block_size_ = block_size;
  while (slots_.size() > max_blocks_) {
    delete[] slots_.back().data;
    slots_.pop_back();
  }
  for (Slot& s : slots_) {
    s.block = ~0ull;
    s.stamp = 0;
    s.len = 0;
  }
  std::fill(std::begin(let_go_), std::end(let_go_), ~0ull);
  clock_ = 0;
  last_ = 0;
}

Result OldFileCache::Read(uint64_t offset, size_t n, uint8_t* dst) {
  /* A long run straight from the file: no copy through the blocks. */
  if (n >= 2 * block_size_) {
    if (offset > size_ || n > size_ - offset) return Result::kOldFileMismatch;
    size_t got = 0;
    if (file_->ReadAt(offset, dst, n, &got) != IoStatus::kOk) return Result::kFileInUse;
    return got == n ? Result::kOk : Result::kOldFileMismatch;
  }
  while (n > 0) {
    const uint8_t* p;
    size_t avail;
    if (Result r = Span(offset, &p, &avail); r != Result::kOk) return r;
    const size_t k = std::min(n, avail);
    std::memcpy(dst, p, k);
    dst += k;
    offset += k;
    n -= k;
  }
  return Result::kOk;
}

Result OldFileCache::Span(uint64_t offset, const uint8_t** data, size_t* avail) {
  if (offset >= size_) return Result::kOldFileMismatch;
  const uint64_t block = offset / block_size_;
  const size_t in_block = static_cast<size_t>(offset % block_size_);
  Slot* slot = nullptr;
  if (last_ < slots_.size() && slots_[last_].block == block) {
    slot = &slots_[last_];
  } else {
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].block == block) {
        slot = &slots_[i];
        last_ = i;
        break;
      }
    }
  }
  if (!slot) {
    /* Past its first few blocks, the cache grows only when asked again for
     * a block it let go of: a file read in order never is, and keeps its
     * memory (each new block's pages fault in) small. */
    bool grow = slots_.size() < max_blocks_ && slots_.size() < kFirstBlocks;
    for (size_t i = 0; i < kRemembered && !grow && slots_.size() < max_blocks_; ++i) grow = let_go_[i] == block;
    if (grow) {
      uint8_t* mem = new (std::nothrow) uint8_t[block_size_];
      if (!mem) return Result::kNoMemory;
      try {
        slots_.push_back(Slot());
      } catch (const std::bad_alloc&) {
        delete[] mem;
        return Result::kNoMemory;
      }
      slots_.back().data = mem;
      last_ = slots_.size() - 1;
    } else {
      last_ = 0;
      for (size_t i = 1; i < slots_.size(); ++i)
        if (slots_[i].stamp < slots_[last_].stamp) last_ = i;
      if (slots_[last_].block != ~0ull) {
        let_go_[next_let_go_] = slots_[last_].block;
        next_let_go_ = (next_let_go_ + 1) % kRemembered;
      }
    }
    slot = &slots_[last_];
    slot->block = ~0ull;
    const uint64_t start = block * block_size_;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(block_size_, size_ - start));
    size_t got = 0;
    if (file_->ReadAt(start, slot->data, want, &got) != IoStatus::kOk) return Result::kFileInUse;
    if (got != want) return Result::kOldFileMismatch;
    slot->block = block;
    slot->len = want;
  }
  slot->stamp = ++clock_;
  if (in_block >= slot->len) return Result::kOldFileMismatch;
  *data = slot->data + in_block;
  *avail = slot->len - in_block;
  return Result::kOk;
}

bool DeclaredSizesPossible(const PatchEntry& e) {
  auto most = [](const StreamRef& r) {
    return r.codec == 0 ? r.decoded_size : MaxDecodedSize(static_cast<Codec>(r.codec), r.encoded_size);
  };
  if (e.encoding == Encoding::kCopy) return e.new_size == e.old_size;
  /* Windowed LZ: one stream, whose LZMA2 expands no more than a codec's. */
  if (e.encoding == Encoding::kWindowedLz)
    return e.old_size > 0 && e.streams[0].decoded_size <= most(e.streams[0]) &&
           e.new_size <= SatMul(e.streams[0].decoded_size, kMaxExpansion);
  if (!IsDelta(e.encoding)) return e.new_size == e.streams[0].decoded_size && e.new_size <= most(e.streams[0]);
  /* An executable delta's control stream starts with the new layout. */
  const uint64_t layout = e.encoding == Encoding::kExecutableDelta ? kMaxLayoutBytes + 10 : 0;
  const StreamRef &ctrl = e.streams[0], &diff = e.streams[1], &extra = e.streams[2];
  for (const StreamRef& r : e.streams)
    if (r.decoded_size > most(r)) return false;
  if (extra.decoded_size > e.new_size) return false;
  if (ctrl.decoded_size > SatAdd(SatMul(e.new_size, kMaxRecordBytes), layout)) return false;
  if (diff.decoded_size > SatMul(e.new_size, kMaxPairBytes)) return false;
  /* A record takes at least three bytes and copies at most the old file. */
  return e.new_size <= SatAdd(SatMul(ctrl.decoded_size / 3, e.old_size), extra.decoded_size);
}

namespace {

/* An added file that is an exact copy of its source: the source's bytes
 * as they are (the sink checks the hash). */
Result CopySource(const PatchEntry& e, File* old_file, ByteSink& sink) {
  if (!old_file) return Result::kBadPatch;
  /* Not zeroed, and no larger than the cache holds: a moved folder is
   * many copies, and zeroing a MiB for each cost more than the copy. */
  const size_t size = static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(e.new_size, 256 << 10)));
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size]);
  if (!buf) return Result::kNoMemory;
  for (uint64_t pos = 0; pos < e.new_size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, e.new_size - pos));
    size_t got = 0;
    const IoStatus s = old_file->ReadAt(pos, buf.get(), want, &got);
    if (s != IoStatus::kOk) return s == IoStatus::kInUse ? Result::kFileInUse : Result::kOldFileMismatch;
    if (got != want) return Result::kOldFileMismatch;
    if (Result r = sink.Put(buf.get(), want); r != Result::kOk) return r;
    pos += want;
  }
  return Result::kOk;
}

}  // namespace

Result DecodePayload(const PatchInfo& info, const PatchEntry& entry, File& patch, File* old_file, ByteSink& sink,
                     OldFileCache* cache) {
  SpanFile solid(info.solid.data(), info.solid.size());
  /* What the others decode with needs the memory more. */
  if (cache && entry.encoding != Encoding::kDelta && entry.encoding != Encoding::kExecutableDelta) cache->Release();
  switch (entry.encoding) {
    case Encoding::kStored:
    case Encoding::kZstd:
    case Encoding::kLzma2:
      return DecodeWhole(entry, patch, solid, sink);
    case Encoding::kDelta:
    case Encoding::kExecutableDelta:
      return DecodeDelta(entry, patch, solid, old_file, sink, cache);
    case Encoding::kCopy:
      return CopySource(entry, old_file, sink);
    case Encoding::kWindowedLz: {
      if (!old_file || !DeclaredSizesPossible(entry)) return Result::kBadPatch;
      StreamDecoder in;
      if (Result r = InitStream(&in, entry.streams[0], patch, solid); r != Result::kOk) return r;
      return DecodeWindowedLz(in, entry.old_size, entry.new_size, *old_file, sink);
    }
    case Encoding::kNone:
      break;
  }
  return Result::kBadPatch;
}

}  // namespace olk
