// The linear pass for near-identical files: its streams decoded by the
// real applier's decoder, the pairs it leaves to the suffix-array delta,
// and the builder taking it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_test_support.h"
#include "mem_fs.h"
#include "near_identical.h"
#include "parallel.h"
#include "payload.h"

namespace {

using olktest::Bytes;
using olktest::VectorSink;
using olktest::Cat;
using olktest::Random;
using olktest::Slice;

// Runs the pass; when it takes the pair, encodes the streams as the
// builder does and decodes them with the applier's decoder.
struct NearRun {
  NearRun(const Bytes& from, const Bytes& to) {
    taken = olk::ComputeNearIdenticalDelta(from.data(), from.size(), to.data(), to.size(), &streams);
    if (!taken) return;
    literals = streams.extra.size();
    result = olktest::EncodeAndDecode(streams, from, to.size(), &payload, &out);
  }
  bool taken = false;
  olk::DeltaStreams streams;
  Bytes payload, out;
  size_t literals = 0;
  olk::Result result = olk::Result::kOk;
};

// Random bytes with some repetition, like code: pieces of a small
// vocabulary of random "words", long runs of one byte among them.
Bytes TextLike(size_t n, uint32_t seed) {
  const Bytes vocabulary = Random(4096, seed);
  const Bytes picks = Random(n / 8 + 1, seed + 1);
  Bytes out;
  for (size_t i = 0; out.size() < n; ++i) {
    const size_t at = (picks[i % picks.size()] * 16u + i) % (vocabulary.size() - 40);
    if (i % 97 == 0) out.insert(out.end(), 64, ' ');
    out.insert(out.end(), vocabulary.begin() + at, vocabulary.begin() + at + 3 + picks[i % picks.size()] % 29);
  }
  out.resize(n);
  return out;
}

TEST(NearIdentical, RoundTripsAndSendsOnlyTheChanges) {
  const Bytes a = Random(300000, 1), t = TextLike(400000, 2), c = Random(300, 3);
  Bytes overwritten = a;
  for (size_t at : {size_t(0), size_t(7001), size_t(150000), size_t(299999)}) overwritten[at] ^= 0x55;
  Bytes runs(300000, 0);
  for (size_t at = 1000; at < runs.size(); at += 50000) runs[at] = 1;
  struct Case {
    const char* name;
    Bytes from, to;
    size_t max_literals;  // what changed, and a seed's length at the very end
  };
  const Case cases[] = {
      {"identical", a, a, 0},
      // Those between two copies go as differences; the first and the
      // last have no copy on one side.
      {"bytes overwritten, the first and last among them", a, overwritten, 2},
      {"bytes inserted", a, Cat({Slice(a, 0, 90000), c, Slice(a, 90000, 210000)}), c.size()},
      {"bytes deleted", a, Cat({Slice(a, 0, 90000), Slice(a, 91000, 209000)}), 0},
      {"a piece moved", a, Cat({Slice(a, 200000, 100000), Slice(a, 0, 200000)}), 0},
      // Too short for the seeds, found by the look-up of the literals.
      {"a line made of short pieces of others", a,
       Cat({Slice(a, 0, 150000), Slice(a, 5000, 30), Slice(a, 70001, 17), Slice(a, 123000, 40),
            Slice(a, 150000, 150000)}),
       0},
      {"the last bytes changed", a, Cat({Slice(a, 0, 299990), Bytes(10, 7)}), 10 + olk::kNearSeed},
      {"text with repeats, a line inserted", t, Cat({Slice(t, 0, 123457), c, Slice(t, 123457, 276543)}), c.size()},
      // Each lone byte after the insertion is sent again, and the one
      // that was in its place (the copy stays on its diagonal).
      {"long runs of one byte", runs, Cat({Slice(runs, 0, 100000), c, Slice(runs, 100000, 200000)}), c.size() + 8},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    NearRun run(tc.from, tc.to);
    ASSERT_TRUE(run.taken);
    ASSERT_EQ(run.result, olk::Result::kOk);
    EXPECT_TRUE(run.out == tc.to);
    EXPECT_LE(run.literals, tc.max_literals);
  }
}

TEST(NearIdentical, LeavesOtherPairsToTheSuffixArrayDelta) {
  const Bytes a = Random(300000, 4);
  Bytes scattered = a;  // a change every 100 bytes: far above the budget
  for (size_t at = 50; at < scattered.size(); at += 100) scattered[at] ^= 1;
  struct Case {
    const char* name;
    Bytes from, to;
  };
  const Case cases[] = {
      {"nothing in common", a, Random(300000, 5)},
      {"changes everywhere", a, scattered},
      {"a third replaced", a, Cat({Slice(a, 0, 200000), Random(100000, 6)})},
      {"old file below the size that pays", Slice(a, 0, olk::kNearMinOldSize - 1),
       Slice(a, 0, olk::kNearMinOldSize - 1)},
      {"new file shorter than a seed", a, Slice(a, 0, olk::kNearSeed - 1)},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    olk::DeltaStreams streams;
    EXPECT_FALSE(olk::ComputeNearIdenticalDelta(tc.from.data(), tc.from.size(), tc.to.data(), tc.to.size(), &streams));
  }
}

TEST(NearIdentical, BuilderTakesItAndThePatchApplies) {
  const Bytes script = TextLike(600000, 7), data = Random(400000, 8);
  const Bytes script2 = Cat({Slice(script, 0, 300000), Random(40, 9), Slice(script, 300010, 299990)});
  Bytes data2 = data;  // changes everywhere: the suffix-array delta's work
  for (size_t at = 0; at < data2.size(); at += 64) data2[at] ^= 0x80;
  auto str = [](const Bytes& b) { return std::string(b.begin(), b.end()); };
  const olktest::Tree from = {
      {"lib", olktest::kDir}, {"lib\\app.js", str(script)}, {"data.bin", str(data)}, {"small.txt", "old text"}};
  const olktest::Tree to = {
      {"lib", olktest::kDir}, {"lib\\app.js", str(script2)}, {"data.bin", str(data2)}, {"small.txt", "new text"}};
  olk::BuildStats stats;
  const Bytes patch = olktest::MakePatch(from, to, &stats);
  EXPECT_EQ(stats.files_changed, 3u);
  EXPECT_EQ(stats.files_near_identical, 1u);
  olktest::TempDir dir;
  olktest::WriteTree(dir.path(), from);
  ASSERT_EQ(olktest::Apply(dir.path(), patch), olk::Result::kOk);
  EXPECT_TRUE(olktest::ReadTree(dir.path()) == to);

  // The same bytes whatever the number of threads.
  for (unsigned threads : {1u, 4u}) {
    olk::BuildOptions options;
    options.threads = threads;
    EXPECT_TRUE(olktest::MakePatch(from, to, nullptr, options) == patch) << threads << " threads";
  }
}

// Both versions of a changed file are read side by side: a version that
// cannot be read fails the build with its name, whichever it is.
TEST(NearIdentical, BuilderTellsAVersionItCannotRead) {
  const olktest::Tree from = {{"a.bin", "old contents"}}, to = {{"a.bin", "new contents!"}};
  const struct { bool old_fails, new_fails; } cases[] = {{true, false}, {false, true}, {true, true}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(std::to_string(tc.old_fails) + std::to_string(tc.new_fails));
    olktest::MemFs old_fs(from), new_fs(to);
    if (tc.old_fails) old_fs.fail_path = "a.bin";
    if (tc.new_fails) new_fs.fail_path = "a.bin";
    olktest::MemFile out;
    olk::BuildOptions options;
    options.threads = 2;
    std::string error;
    EXPECT_EQ(olk::BuildPatch(old_fs, new_fs, out, options, nullptr, &error), olk::Result::kCannotOpenPatch);
    EXPECT_NE(error.find("cannot read 'a.bin'"), std::string::npos) << error;
  }
}

}  // namespace
