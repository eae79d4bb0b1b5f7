#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "bytes.h"
#include "delta.h"
#include "delta_writers.h"
#include "parallel.h"
#include "x86_refs.h"

namespace olk {

namespace {

/* A match that is at least this long is taken without comparing it with
 * the current offset any further; it bounds the work on long repeats. */
constexpr int64_t kLongMatch = 4096;
/* The new file is scanned in pieces of this size, independently, so that
 * the scan can use several cores and still give the same result however
 * many it gets. */
constexpr int64_t kSegmentSize = 2 << 20;

/* Length of the common prefix of a and b, at most `max`. */
inline int64_t CommonPrefix(const uint8_t* a, const uint8_t* b, int64_t max) {
  int64_t i = 0;
  while (i + 8 <= max) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + (__builtin_ctzll(x ^ y) >> 3);
    i += 8;
  }
  while (i < max && a[i] == b[i]) ++i;
  return i;
}

class Matcher {
 public:
  Matcher(const uint8_t* old_data, int64_t n, const int32_t* sa) : old_(old_data), n_(n), sa_(sa) {
    /* bucket_[k] = first suffix-array index whose suffix starts with the
     * two bytes k (a one-byte suffix counts as followed by zero, which
     * keeps the keys in suffix-array order). */
    bucket_.assign(65537, 0);
    for (int64_t i = 0; i < n_; ++i) {
      uint32_t k = static_cast<uint32_t>(old_[i]) << 8 | (i + 1 < n_ ? old_[i + 1] : 0);
      ++bucket_[k + 1];
    }
    for (size_t k = 1; k < bucket_.size(); ++k) bucket_[k] += bucket_[k - 1];
  }

  /* Longest match of s[0..len) in the old file; its length, and its start
   * in *pos. */
  int64_t Find(const uint8_t* s, int64_t len, int64_t* pos) const {
    *pos = 0;
    if (len <= 0 || n_ == 0) return 0;
    int64_t lo, hi, skip;
    if (len >= 2) {
      uint32_t k = static_cast<uint32_t>(s[0]) << 8 | s[1];
      lo = bucket_[k];
      hi = bucket_[k + 1];
      if (lo == hi) return 0;
      skip = 2;
    } else {
      lo = 0;
      hi = n_;
      skip = 0;
    }
    /* Binary search with the known common prefixes of both bounds. */
    int64_t left = lo - 1, right = hi;
    int64_t llcp = skip, rlcp = skip;
    while (right - left > 1) {
      int64_t mid = left + (right - left) / 2;
      int64_t p = sa_[mid];
      int64_t lim = std::min(n_ - p, len);
      /* The bounds' common prefix holds for every suffix between them,
       * except the one-byte last suffix, which sits in the bucket of its
       * byte followed by zero: never count past a suffix's end (that read
       * one byte beyond the old file). */
      int64_t k = std::min(std::min(llcp, rlcp), lim);
      if (k < lim) k += CommonPrefix(old_ + p + k, s + k, lim - k);
      bool suffix_less;
      if (k == len) {
        suffix_less = false;
      } else if (k == n_ - p) {
        suffix_less = true;
      } else {
        suffix_less = old_[p + k] < s[k];
      }
      if (suffix_less) {
        left = mid;
        llcp = k;
      } else {
        right = mid;
        rlcp = k;
      }
    }
    int64_t best = 0;
    if (left >= lo) {
      best = llcp;
      *pos = sa_[left];
    }
    if (right < hi && rlcp > best) {
      best = rlcp;
      *pos = sa_[right];
    }
    if (skip == 2 && best < 2) {
      /* Every suffix in the bucket shares the first two bytes. */
      *pos = sa_[lo];
      best = std::min<int64_t>(2, std::min<int64_t>(len, n_ - sa_[lo]));
    }
    return best;
  }

 private:
  const uint8_t* old_;
  int64_t n_;
  const int32_t* sa_;
  std::vector<int64_t> bucket_;
};


struct Op {
  int64_t new_pos, old_pos, copy_len, extra_len;
};

/* Scans new[s0, s1) and appends its records to *ops. */
void ScanSegment(const Matcher& m, const uint8_t* old_data, int64_t n, const uint8_t* nw, int64_t s0, int64_t s1,
                 std::vector<Op>* ops) {
  /* A piece starts out assuming the old file at the same offset. */
  int64_t scan = s0, len = 0, pos = 0;
  int64_t lastscan = s0, lastpos = std::min(s0, n), lastoffset = lastpos - s0;
  auto same = [&](int64_t new_index, int64_t old_index) {
    return old_index >= 0 && old_index < n && old_data[old_index] == nw[new_index];
  };
  while (scan < s1) {
    int64_t oldscore = 0;
    scan += len;
    int64_t scsc = scan;
    for (; scan < s1; ++scan) {
      len = m.Find(nw + scan, s1 - scan, &pos);
      for (; scsc < scan + len; ++scsc)
        if (same(scsc, scsc + lastoffset)) ++oldscore;
      if ((len == oldscore && len != 0) || len > oldscore + 8 || len >= kLongMatch) break;
      if (same(scan, scan + lastoffset)) --oldscore;
    }
    if (len != oldscore || scan == s1) {
      /* Grow the previous match forwards... */
      int64_t s = 0, best = 0, lenf = 0;
      for (int64_t i = 0; lastscan + i < scan && lastpos + i < n;) {
        if (old_data[lastpos + i] == nw[lastscan + i]) ++s;
        ++i;
        if (s * 2 - i > best * 2 - lenf) {
          best = s;
          lenf = i;
        }
      }
      /* ...and the new one backwards. */
      int64_t lenb = 0;
      if (scan < s1) {
        s = 0;
        best = 0;
        for (int64_t i = 1; scan >= lastscan + i && pos >= i; ++i) {
          if (old_data[pos - i] == nw[scan - i]) ++s;
          if (s * 2 - i > best * 2 - lenb) {
            best = s;
            lenb = i;
          }
        }
      }
      /* Where they overlap, split at the point that keeps the most
       * agreeing bytes. */
      if (lastscan + lenf > scan - lenb) {
        int64_t overlap = (lastscan + lenf) - (scan - lenb);
        s = 0;
        best = 0;
        int64_t lens = 0;
        for (int64_t i = 0; i < overlap; ++i) {
          if (nw[lastscan + lenf - overlap + i] == old_data[lastpos + lenf - overlap + i]) ++s;
          if (nw[scan - lenb + i] == old_data[pos - lenb + i]) --s;
          if (s > best) {
            best = s;
            lens = i + 1;
          }
        }
        lenf += lens - overlap;
        lenb -= lens;
      }
      ops->push_back(Op{lastscan, lastpos, lenf, (scan - lenb) - (lastscan + lenf)});
      lastscan = scan - lenb;
      lastpos = pos - lenb;
      lastoffset = pos - scan;
    }
  }
}

/* A stretch of the new file: copied from old_pos on, or literals. */
struct Piece {
  int64_t start, len, old_pos; /* old_pos -1: literals */
};

/* The records that make `pieces` (in new-file order, covering it): a
 * copy starts a record, literals join the record before them. */
void ToRecords(const std::vector<Piece>& pieces, std::vector<Op>* ops) {
  ops->clear();
  for (const Piece& p : pieces) {
    if (p.old_pos >= 0) {
      ops->push_back(Op{p.start, p.old_pos, p.len, 0});
    } else if (!ops->empty() && ops->back().new_pos + ops->back().copy_len + ops->back().extra_len == p.start) {
      ops->back().extra_len += p.len;
    } else {
      ops->push_back(Op{p.start, 0, 0, p.len});
    }
  }
}

/* A copy costs a difference word for every few bytes that differ; where
 * nearly all of them do (a record of a data pack rewritten in place), the
 * new bytes cost less as literals. Blocks of this many bytes with at least
 * kDenseDiffer differing, in runs of at least kDenseRun bytes, become
 * literals. */
constexpr int64_t kDenseBlock = 16, kDenseDiffer = 13, kDenseRun = 64;

void LiteralizeDenseRuns(const uint8_t* old_data, const uint8_t* new_data, std::vector<Op>* ops) {
  std::vector<Piece> pieces;
  bool changed = false;
  for (const Op& op : *ops) {
    int64_t done = 0; /* of this copy, already in pieces */
    for (int64_t i = 0; i + kDenseBlock <= op.copy_len;) {
      auto dense = [&](int64_t at) {
        int64_t differ = 0;
        for (int64_t k = 0; k < kDenseBlock; ++k) differ += old_data[op.old_pos + at + k] != new_data[op.new_pos + at + k];
        return differ >= kDenseDiffer;
      };
      if (!dense(i)) {
        i += kDenseBlock;
        continue;
      }
      int64_t end = i + kDenseBlock;
      while (end + kDenseBlock <= op.copy_len && dense(end)) end += kDenseBlock;
      if (end - i >= kDenseRun) {
        /* Out to the last differing byte on either side. */
        auto differs = [&](int64_t at) { return old_data[op.old_pos + at] != new_data[op.new_pos + at]; };
        while (i > done && differs(i - 1)) --i;
        while (end < op.copy_len && differs(end)) ++end;
        if (i > done) pieces.push_back(Piece{op.new_pos + done, i - done, op.old_pos + done});
        pieces.push_back(Piece{op.new_pos + i, end - i, -1});
        done = end;
        changed = true;
      }
      i = end;
    }
    if (op.copy_len > done) pieces.push_back(Piece{op.new_pos + done, op.copy_len - done, op.old_pos + done});
    if (op.extra_len > 0) pieces.push_back(Piece{op.new_pos + op.copy_len, op.extra_len, -1});
  }
  if (changed) ToRecords(pieces, ops);
}

/* Gives new[r0, r1) to the records `inner`, which cover just that,
 * taking it from the records that had it. */
void Reassign(std::vector<Op>* ops, int64_t r0, int64_t r1, const std::vector<Op>& inner) {
  std::vector<Piece> pieces;
  bool placed = false;
  auto keep = [&](const Piece& p) {
    if (p.len > 0) pieces.push_back(p);
  };
  auto place = [&]() {
    if (placed) return;
    for (const Op& op : inner) {
      keep(Piece{op.new_pos, op.copy_len, op.old_pos});
      keep(Piece{op.new_pos + op.copy_len, op.extra_len, -1});
    }
    placed = true;
  };
  for (const Op& op : *ops) {
    const Piece parts[2] = {{op.new_pos, op.copy_len, op.old_pos}, {op.new_pos + op.copy_len, op.extra_len, -1}};
    for (const Piece& p : parts) {
      if (p.len == 0) continue;
      const int64_t a = p.start, b = p.start + p.len;
      if (b <= r0) {
        keep(p);
        continue;
      }
      if (a < r0) keep(Piece{a, r0 - a, p.old_pos});
      if (a < r1) place();
      if (b > r1) {
        const int64_t cut = std::max(a, r1);
        keep(Piece{cut, b - cut, p.old_pos < 0 ? -1 : p.old_pos + (cut - a)});
      }
    }
  }
  place();
  ToRecords(pieces, ops);
}

}  // namespace

bool ComputeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                  CoreBudget* budget, DeltaStreams* out, const ExecutablePair* exe) {
  if (old_size > kMaxDeltaOldSize) return false;
  const int64_t n = static_cast<int64_t>(old_size), m = static_cast<int64_t>(new_size);
  try {
    std::vector<Op> ops;
    if (n > 0 && m > 0) {
      /* Not zeroed: the sort writes every entry (zeroing 4 bytes per old
       * byte cost more than a tenth of the sort). */
      std::unique_ptr<int32_t[]> sa(new int32_t[static_cast<size_t>(n)]);
      if (divsufsort(old_data, sa.get(), static_cast<saidx_t>(n)) != 0) return false;
      Matcher matcher(old_data, n, sa.get());
      const size_t segments = static_cast<size_t>((m + kSegmentSize - 1) / kSegmentSize);
      std::vector<std::vector<Op>> seg_ops(segments);
      RunParallel(
          segments,
          [&](size_t i) {
            int64_t s0 = static_cast<int64_t>(i) * kSegmentSize;
            int64_t s1 = std::min(m, s0 + kSegmentSize);
            ScanSegment(matcher, old_data, n, new_data, s0, s1, &seg_ops[i]);
          },
          budget);
      for (auto& v : seg_ops) {
        ops.insert(ops.end(), v.begin(), v.end());
        std::vector<Op>().swap(v);
      }
    } else if (m > 0) {
      ops.push_back(Op{0, 0, 0, m});
    }

    /* Lay out the streams. Records that copy nothing and add nothing are
     * dropped; a record that only adds literals keeps the old cursor. The
     * difference bytes go out in their sparse form: runs of zeros and runs
     * of other bytes, each run pair as (zeros, count, the bytes). */
    out->control.clear();
    out->diff.clear();
    out->extra.clear();
    out->records = 0;
    /* A record that goes on where the one before it ended (the pieces of
     * the scan meet like that) is merged into it. */
    std::vector<Op> merged;
    merged.reserve(ops.size());
    for (const Op& op : ops) {
      if (op.copy_len == 0 && op.extra_len == 0) continue;
      if (!merged.empty()) {
        Op& last = merged.back();
        if (last.extra_len == 0 && last.copy_len > 0 && op.copy_len > 0 &&
            last.old_pos + last.copy_len == op.old_pos && last.new_pos + last.copy_len == op.new_pos) {
          last.copy_len += op.copy_len;
          last.extra_len = op.extra_len;
          continue;
        }
      }
      merged.push_back(op);
    }
    std::vector<Op>().swap(ops);
    LiteralizeDenseRuns(old_data, new_data, &merged);
    /* An executable delta: the new layout and the length of the predicted
     * relocation table first, then copies that start from the predicted
     * references; the new table is copied from the predicted one, which
     * sits right after the old file. */
    OffsetMap map;
    std::vector<uint8_t> base, table;
    if (exe) {
      /* Worked on apart: a table matched in many pieces may take the
       * records past what the applier keeps, and then the plain delta
       * goes out instead. */
      std::vector<Op> ops_exe = merged;
      const int64_t r0 = static_cast<int64_t>(exe->new_table_offset);
      const int64_t r1 = r0 + static_cast<int64_t>(exe->new_table_size);
      const bool with_table = r1 > r0 && r1 <= m && !exe->old_image.abs32.empty();
      /* The table's bytes are left out of the map: no reference points there. */
      if (with_table) Reassign(&ops_exe, r0, r1, {Op{r0, 0, 0, r1 - r0}});
      for (const Op& op : ops_exe)
        if (op.old_pos < n)
          map.Add(static_cast<uint64_t>(op.old_pos), static_cast<uint64_t>(op.new_pos),
                  static_cast<uint64_t>(op.copy_len));
      map.Finish();
      if (with_table) {
        RelocationTable predicted;
        PredictRelocationTable(exe->old_image, exe->new_layout, map, &predicted);
        table = predicted.Bytes();
        /* The new table is matched against the predicted one as any new
         * bytes are against the old file. */
        const int64_t tn = static_cast<int64_t>(table.size());
        std::vector<Op> inner;
        if (tn > 0) {
          std::unique_ptr<int32_t[]> table_sa(new int32_t[table.size()]);
          if (divsufsort(table.data(), table_sa.get(), static_cast<saidx_t>(tn)) != 0) return false;
          Matcher table_matcher(table.data(), tn, table_sa.get());
          ScanSegment(table_matcher, table.data(), tn, new_data, r0, r1, &inner);
          for (Op& op : inner) op.old_pos += n;
        } else {
          inner.push_back(Op{r0, 0, 0, r1 - r0});
        }
        Reassign(&ops_exe, r0, r1, inner);
      }
      if (ops_exe.size() > kMaxExecutableCopies) {
        exe = nullptr;
      } else {
        merged.swap(ops_exe);
      }
    }
    out->executable = exe != nullptr;
    if (exe) {
      std::vector<uint8_t> layout;
      AppendLayout(exe->new_layout, &layout);
      PutVarint(&out->control, layout.size());
      PutBytes(&out->control, layout.data(), layout.size());
      PutVarint(&out->control, table.size());
    }
    /* Only an executable delta predicts (a predictor holds indexes and a
     * memo that a plain delta would build for nothing). */
    std::unique_ptr<RefPredictor> predictor;
    if (exe) predictor.reset(new RefPredictor(exe->old_image, exe->new_layout, map));
    size_t extra_total = 0;
    for (const Op& op : merged) extra_total += static_cast<size_t>(op.extra_len);
    out->extra.resize(extra_total);
    uint8_t* e = out->extra.data();
    SparseWriter sparse(&out->diff);
    RecordWriter records(out);
    for (const Op& op : merged) {
      records.Put(static_cast<uint64_t>(op.old_pos), static_cast<uint64_t>(op.copy_len),
                  static_cast<uint64_t>(op.extra_len));
      const uint8_t* np = new_data + op.new_pos;
      const uint8_t* oldp = nullptr;
      if (exe && op.old_pos >= n) {
        oldp = table.data() + (op.old_pos - n);
      } else if (exe && op.copy_len > 0) {
        base.resize(static_cast<size_t>(op.copy_len));
        predictor->StartCopy(static_cast<uint64_t>(op.old_pos), static_cast<uint64_t>(op.new_pos),
                             static_cast<uint64_t>(op.copy_len));
        predictor->Fill(old_data, 0, base.size(), base.data());
        oldp = base.data();
      } else if (op.copy_len > 0) {
        oldp = old_data + op.old_pos;
      }
      for (int64_t i = 0; i < op.copy_len;) {
        if (np[i] == oldp[i]) {
          sparse.Same();
          ++i;
        } else {
          const size_t w = static_cast<size_t>(std::min<int64_t>(kMaxDiffBytes, op.copy_len - i));
          sparse.Word(np + i, oldp + i, w);
          i += static_cast<int64_t>(w);
        }
      }
      if (op.extra_len) std::memcpy(e, np + op.copy_len, static_cast<size_t>(op.extra_len));
      e += op.extra_len;
    }
    sparse.Finish();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace olk
