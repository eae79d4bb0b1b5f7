// The block matcher for files too large for the suffix-array delta: its
// streams decoded by the real applier's decoder, on small files with a
// small block size; and the builder's choice of it above the threshold.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "block_matcher.h"
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

constexpr size_t kBlock = 64;

// Matches `to` against `from` with kBlock-byte blocks, encodes the
// streams as the builder does and decodes them with the applier's decoder.
struct RoundTrip {
  RoundTrip(const Bytes& from, const Bytes& to) {
    olktest::MemFile old_file(from), new_file(to);
    olk::Hash128 old_hash, new_hash;
    EXPECT_EQ(olk::ComputeBlockDelta(old_file, new_file, kBlock, &streams, &old_hash, &new_hash), olk::IoStatus::kOk);
    EXPECT_EQ(old_hash, olk::HashBytes(from.data(), from.size()));
    EXPECT_EQ(new_hash, olk::HashBytes(to.data(), to.size()));
    literals = streams.extra.size();
    result = olktest::EncodeAndDecode(streams, from, to.size(), &payload, &out);
  }
  olk::DeltaStreams streams;
  Bytes payload, out;
  size_t literals = 0;
  olk::Result result = olk::Result::kOk;
};

TEST(BlockMatcher, RoundTripsAndSendsOnlyTheChanges) {
  const Bytes a = Random(20000, 1), b = Random(5000, 2), c = Random(300, 3);
  Bytes overwritten = a;
  for (size_t at : {size_t(100), size_t(7001), size_t(19990)}) overwritten[at] ^= 0x55;
  struct Case {
    const char* name;
    Bytes from, to;
    size_t max_literals;  // what changed, and at most a block around each change
  };
  const Case cases[] = {
      {"identical", a, a, 0},
      {"block inserted", a, Cat({Slice(a, 0, 9000), c, Slice(a, 9000, 11000)}), 300},
      {"block deleted", a, Cat({Slice(a, 0, 9000), Slice(a, 9500, 10500)}), 0},
      {"blocks moved", Cat({a, b}), Cat({b, Slice(a, 10000, 10000), Slice(a, 0, 10000)}), 0},
      // Near the end less than a block is left to find the match again.
      {"bytes overwritten", a, overwritten, 3 + kBlock},
      {"block overwritten", a, Cat({Slice(a, 0, 5000), c, Slice(a, 5300, 14700)}), 300},
      {"nothing in common", a, b, b.size()},
      {"old smaller than a block", Slice(a, 0, 40), a, a.size()},
      {"new smaller than a block", a, Slice(a, 500, 40), 40},
      {"old with a partial last block", Slice(a, 0, 1000 + 17), Slice(a, 0, 1000 + 17), 0},
      {"long runs of one byte", Bytes(30000, 0), Cat({Bytes(10000, 0), c, Bytes(25000, 0)}), 300},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    RoundTrip rt(tc.from, tc.to);
    ASSERT_EQ(rt.result, olk::Result::kOk);
    EXPECT_TRUE(rt.out == tc.to);
    EXPECT_LE(rt.literals, tc.max_literals);
  }
}

TEST(BlockMatcher, SameStreamsEveryRun) {
  const Bytes a = Random(50000, 4);
  const Bytes to = Cat({Slice(a, 30000, 20000), Random(100, 5), Slice(a, 0, 30000)});
  RoundTrip first(a, to), second(a, to);
  EXPECT_TRUE(first.payload == second.payload);
}

TEST(BlockMatcher, BuilderUsesItFromTheThresholdOn) {
  const Bytes a = Random(100000, 6);
  const Bytes b = Cat({Slice(a, 0, 40000), Random(1000, 7), Slice(a, 40000, 60000)});
  const olktest::Tree from = {{"data.pak", std::string(a.begin(), a.end())}, {"small.txt", "old text"}};
  const olktest::Tree to = {{"data.pak", std::string(b.begin(), b.end())}, {"small.txt", "new text"}};
  olk::BuildOptions options;
  options.block_match_from = 50000;
  olk::BuildStats stats;
  const Bytes patch = olktest::MakePatch(from, to, &stats, options);
  EXPECT_EQ(stats.files_changed, 2u);
  EXPECT_EQ(stats.files_block_matched, 1u);
  EXPECT_LT(patch.size(), 3000u);
  olktest::TempDir dir;
  olktest::WriteTree(dir.path(), from);
  ASSERT_EQ(olktest::Apply(dir.path(), patch), olk::Result::kOk);
  EXPECT_EQ(olktest::ReadTree(dir.path()), to);

  // Below the threshold (the default), the suffix-array delta.
  olktest::MakePatch(from, to, &stats);
  EXPECT_EQ(stats.files_block_matched, 0u);
}

}  // namespace
