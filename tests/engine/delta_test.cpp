// The delta encoder and its streaming decoder, on byte strings that show
// each kind of change a new file version brings.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "delta.h"
#include "engine_test_support.h"
#include "hash.h"
#include "parallel.h"
#include "payload.h"

namespace {

using olktest::Bytes;
using olktest::VectorSink;
using olktest::Cat;
using olktest::Random;
using olktest::Slice;

// Something shaped like machine code: short instruction runs that carry
// 32-bit absolute addresses into a table. `shift` moves every target at or
// past `moved_from`, as relinking after a change does.
Bytes CodeLike(size_t instructions, uint32_t shift, uint32_t moved_from, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  for (size_t i = 0; i < instructions; ++i) {
    const int ops = 1 + rng() % 6;
    for (int k = 0; k < ops; ++k) out.push_back(static_cast<uint8_t>(0x40 + rng() % 16));
    uint32_t target = 0x401000 + (rng() % 4096) * 16;
    if (target >= moved_from) target += shift;
    out.push_back(0xE8);
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(target >> (8 * k)));
  }
  return out;
}

// The payload of a delta with its three streams kept apart, and the entry
// that describes it.
Bytes EncodeDelta(const Bytes& from, const Bytes& to, int spare_cores, olk::PatchEntry* e) {
  olk::CoreBudget budget(spare_cores);
  olk::DeltaStreams streams;
  EXPECT_TRUE(olk::ComputeDelta(from.data(), from.size(), to.data(), to.size(), &budget, &streams));
  Bytes payload;
  EXPECT_TRUE(olk::EncodeDeltaApart(streams, olk::Effort::kBest, &budget, 0, e, &payload));
  e->kind = olk::EntryKind::kChangeFile;
  e->old_size = from.size();
  e->new_size = to.size();
  return payload;
}

Bytes EncodeDelta(const Bytes& from, const Bytes& to, int spare_cores) {
  olk::PatchEntry e;
  return EncodeDelta(from, to, spare_cores, &e);
}

olk::Result DecodeDelta(const Bytes& from, const Bytes& payload, const olk::PatchEntry& e, Bytes* out) {
  olktest::MemFile patch(payload);
  olktest::MemFile old(from);
  olk::PatchInfo info;
  VectorSink sink;
  olk::Result r = olk::DecodePayload(info, e, patch, &old, sink);
  *out = sink.out;
  return r;
}

struct Case {
  const char* name;
  Bytes from, to;
  double max_ratio;  // payload / new size must stay under this
};

std::vector<Case> Cases() {
  const Bytes a = Random(200000, 1), b = Random(50000, 2), c = Random(3000, 3);
  const Bytes text = [] {
    std::string s;
    for (int i = 0; i < 20000; ++i) s += "line " + std::to_string(i * 7919 % 10007) + " of some text\n";
    return Bytes(s.begin(), s.end());
  }();
  Bytes text_edited = text;
  for (size_t i = 1000; i < text_edited.size(); i += 40000) text_edited[i] = 'X';
  // Word differences that carry into the next byte, one across the
  // applier's 64 KiB cache blocks, and a short one in the last bytes.
  Bytes a_words = a;
  for (size_t at : {size_t(1000), size_t(65534), size_t(131070), a.size() - 2}) {
    a_words[at] = 0xFF;
    a_words[at + 1] = static_cast<uint8_t>(a_words[at + 1] + 1);
  }
  // Records of a pack rewritten in place: new bytes that cost less as
  // literals than as a difference word every four bytes.
  Bytes rewritten = a;
  for (size_t k = 0; k < 8; ++k) {
    const Bytes fresh = Random(1024, 10 + static_cast<uint32_t>(k));
    std::copy(fresh.begin(), fresh.end(), rewritten.begin() + 5000 + k * 24000);
  }
  const Bytes big = Random(5 << 20, 4);  // more than one scan piece
  Bytes big_edited = big;
  big_edited.insert(big_edited.begin() + (3 << 20), c.begin(), c.end());
  // The old file's last byte followed by a zero: the one-byte suffix that
  // shares its bucket with longer ones (a search once read past the end).
  Bytes letters(3000);
  for (size_t i = 0; i < letters.size(); ++i) letters[i] = static_cast<uint8_t>('a' + i * 7 % 26);
  letters.back() = 'Q';
  return {
      {"identical", a, a, 0.01},
      {"old file's last byte then a zero", letters, Cat({Bytes{'Q', 0, 'Q', 0}, letters, Bytes{'Q', 0}}), 0.1},
      {"block inserted", a, Cat({Slice(a, 0, 90000), c, Slice(a, 90000, 110000)}), 0.05},
      {"block deleted", a, Cat({Slice(a, 0, 90000), Slice(a, 95000, 105000)}), 0.01},
      {"blocks moved", Cat({a, b}), Cat({b, Slice(a, 100000, 100000), Slice(a, 0, 100000)}), 0.01},
      {"bytes changed here and there", text, text_edited, 0.02},
      {"words changed at block edges and at the end", a, a_words, 0.01},
      {"records rewritten in place", a, rewritten, (8 * 1024 + 200) / 200000.0},
      {"addresses shifted", CodeLike(40000, 0, 0, 5), CodeLike(40000, 0x40, 0x408000, 5), 0.15},
      {"old empty", Bytes(), b, 1.01},
      {"new empty", a, Bytes(), 1.0},
      {"unrelated", a, b, 1.01},
      {"long runs of one byte", Bytes(300000, 0), Cat({Bytes(100000, 0), c, Bytes(250000, 0)}), 0.05},
      {"across scan pieces", big, big_edited, 0.01},
  };
}

TEST(Delta, RoundTripsEveryKindOfChange) {
  for (const Case& tc : Cases()) {
    SCOPED_TRACE(tc.name);
    olk::PatchEntry e;
    const Bytes payload = EncodeDelta(tc.from, tc.to, 1, &e);
    Bytes out;
    ASSERT_EQ(DecodeDelta(tc.from, payload, e, &out), olk::Result::kOk);
    EXPECT_TRUE(out == tc.to);
    if (!tc.to.empty()) {
      EXPECT_LT(static_cast<double>(payload.size()), tc.max_ratio * tc.to.size() + 64);
    }
  }
}

TEST(Delta, SameBytesWhateverTheNumberOfCores) {
  const Bytes from = CodeLike(300000, 0, 0, 7);  // over 2 MiB: several scan pieces
  const Bytes to = CodeLike(300000, 0x80, 0x404000, 7);
  EXPECT_TRUE(EncodeDelta(from, to, 0) == EncodeDelta(from, to, 1));
}

TEST(Delta, DecoderRejectsDamagedPayloads) {
  const Bytes from = CodeLike(20000, 0, 0, 9), to = CodeLike(20000, 0x20, 0x402000, 9);
  olk::PatchEntry e;
  const Bytes payload = EncodeDelta(from, to, 0, &e);
  Bytes out;
  // Wrong declared size, a shorter old file, stream sizes that do not
  // match the streams: refused.
  olk::PatchEntry bad_size = e;
  bad_size.new_size += 1;
  EXPECT_EQ(DecodeDelta(from, payload, bad_size, &out), olk::Result::kBadPatch);
  EXPECT_NE(DecodeDelta(Slice(from, 0, from.size() / 2), payload, e, &out), olk::Result::kOk);
  for (int s = 0; s < 3; ++s) {
    for (int64_t delta : {-1, 1}) {
      olk::PatchEntry bad = e;
      bad.streams[s].decoded_size += delta;
      EXPECT_NE(DecodeDelta(from, payload, bad, &out), olk::Result::kOk) << "stream " << s;
    }
  }
  // Damaged stream bytes may decode to other bytes (the applier's hash
  // check catches those), but must never read or write out of bounds.
  for (size_t i = 0; i < payload.size(); i += 1 + payload.size() / 64) {
    Bytes bad = payload;
    bad[i] ^= 0x5A;
    DecodeDelta(from, bad, e, &out);
  }
  EXPECT_NE(DecodeDelta(from, Slice(payload, 0, payload.size() - 1), e, &out), olk::Result::kOk);
}

}  // namespace
