// Executable deltas: the references in copied x86 code follow their
// targets, so that relinking costs little; the result is exact whatever
// the prediction, and hostile heads or copies are refused.
#include <gtest/gtest.h>

#include "bytes.h"
#include "delta.h"
#include "engine_test_support.h"
#include "parallel.h"
#include "patch_format.h"
#include "payload.h"
#include "synthetic_pe.h"
#include "x86_refs.h"

using olktest::Bytes;
using olktest::VectorSink;

namespace {

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A delta payload whose streams are stored as they are, so that a test can
// edit them; `entry` describes it.
Bytes StoredPayload(const olk::DeltaStreams& s, size_t old_size, size_t new_size, olk::PatchEntry* entry) {
  entry->kind = olk::EntryKind::kChangeFile;
  entry->encoding = s.executable ? olk::Encoding::kExecutableDelta : olk::Encoding::kDelta;
  entry->old_size = old_size;
  entry->new_size = new_size;
  Bytes payload;
  const Bytes* streams[3] = {&s.control, &s.diff, &s.extra};
  for (int i = 0; i < 3; ++i) {
    olk::StreamRef& r = entry->streams[i];
    r.codec = 1;
    r.decoded_size = r.encoded_size = streams[i]->size();
    r.offset = payload.size();
    payload.insert(payload.end(), streams[i]->begin(), streams[i]->end());
  }
  return payload;
}

olk::Result Decode(const Bytes& old_file, const Bytes& payload, const olk::PatchEntry& e, Bytes* out) {
  olktest::MemFile patch(payload);
  olktest::MemFile old(old_file);
  olk::PatchInfo info;
  VectorSink sink;
  const olk::Result r = olk::DecodePayload(info, e, patch, &old, sink);
  *out = sink.out;
  return r;
}

olk::DeltaStreams Streams(const Bytes& from, const Bytes& to, bool executable) {
  olk::ExecutablePair pair;
  if (executable) {
    EXPECT_TRUE(olk::ReadExecutablePair(from.data(), from.size(), to.data(), to.size(), &pair));
  }
  olk::CoreBudget budget(1);
  olk::DeltaStreams s;
  EXPECT_TRUE(olk::ComputeDelta(from.data(), from.size(), to.data(), to.size(), &budget, &s,
                                executable ? &pair : nullptr));
  return s;
}

size_t EncodedSize(const olk::DeltaStreams& s) {
  olk::CoreBudget budget(1);
  olk::PatchEntry e;
  Bytes payload;
  EXPECT_TRUE(olk::EncodeDeltaApart(s, olk::Effort::kBest, &budget, 0, &e, &payload));
  return payload.size();
}

TEST(ExecutableDelta, RelinkedProgramsCostAFractionOfThePlainDelta) {
  const Bytes old_program = olktest::LinkedProgram(1);
  struct {
    const char* name;
    Bytes new_program;
  } cases[] = {
      {"a function grows by a few bytes", olktest::LinkedProgram(1, 200, 13)},
      // 5000 more bytes: .text crosses pages, so .data and every global move.
      {"an early function grows across pages", olktest::LinkedProgram(1, 3, 5000)},
      {"nothing changes", old_program},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Through the real builder and applier, applied twice.
    const olktest::Tree from = {{"game.exe", AsString(old_program)}}, to = {{"game.exe", AsString(c.new_program)}};
    const Bytes patch = olktest::MakePatch(from, to);
    olktest::MemFile f(patch);
    olk::PatchInfo info;
    ASSERT_EQ(olk::ReadPatch(f, &info), olk::Result::kOk);
    if (c.new_program != old_program) {
      ASSERT_EQ(info.entries.size(), 1u);
      EXPECT_EQ(info.entries[0].encoding, olk::Encoding::kExecutableDelta);
      // Besides the new bytes, the references that moved are what a plain
      // delta pays for and an executable one does not.
      const size_t plain = EncodedSize(Streams(old_program, c.new_program, false));
      const size_t predicted = EncodedSize(Streams(old_program, c.new_program, true));
      EXPECT_LT(predicted * 8, plain) << predicted << " against " << plain;
    }
    olktest::TempDir tmp;
    const std::string dir = tmp.Sub("client");
    olktest::WriteTree(dir, from);
    ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
    ASSERT_EQ(olktest::Apply(dir, patch), olk::Result::kOk);
    EXPECT_TRUE(olktest::ReadTree(dir) == to);
  }
}

TEST(ExecutableDelta, FilesThatAreNoX86ImagesGetThePlainDelta) {
  Bytes arm = olktest::LinkedProgram(2);
  olktest::PutLe(&arm, 0x44, 0x1c4, 2);  // machine: ARM
  Bytes broken = olktest::LinkedProgram(2, 10, 10);
  broken.resize(0x300);  // sections past the end
  const Bytes program = olktest::LinkedProgram(2, 10, 10);
  olk::ExecutablePair pair;
  EXPECT_FALSE(olk::ReadExecutablePair(arm.data(), arm.size(), program.data(), program.size(), &pair));
  EXPECT_FALSE(olk::ReadExecutablePair(program.data(), program.size(), broken.data(), broken.size(), &pair));
  const Bytes patch = olktest::MakePatch({{"a.exe", AsString(arm)}}, {{"a.exe", AsString(program)}});
  olktest::MemFile f(patch);
  olk::PatchInfo info;
  ASSERT_EQ(olk::ReadPatch(f, &info), olk::Result::kOk);
  EXPECT_EQ(info.entries.at(0).encoding, olk::Encoding::kDelta);
}

TEST(ExecutableDelta, HostileHeadsAndCopiesAreRefused) {
  const Bytes from = olktest::LinkedProgram(3), to = olktest::LinkedProgram(3, 50, 40);
  const olk::DeltaStreams good = Streams(from, to, true);
  ASSERT_TRUE(good.executable);
  {
    olk::PatchEntry e;
    const Bytes payload = StoredPayload(good, from.size(), to.size(), &e);
    Bytes out;
    ASSERT_EQ(Decode(from, payload, e, &out), olk::Result::kOk);
    EXPECT_TRUE(out == to);
    // Another old file: the predictions differ, the applier neither
    // crashes nor claims the new file.
    Bytes other = from;
    for (size_t i = 0x400; i < 0x2000; ++i) other[i] ^= 0x5a;
    EXPECT_TRUE(Decode(other, payload, e, &out) != olk::Result::kOk || out != to);
    Bytes not_an_image(from.size(), 0);
    EXPECT_TRUE(Decode(not_an_image, payload, e, &out) != olk::Result::kOk || out != to);
  }
  // The head: layout length, layout, predicted table length; then records.
  olk::ByteReader head(good.control.data(), good.control.size());
  uint64_t layout_len;
  ASSERT_TRUE(head.Varint(&layout_len));
  const size_t layout_at = good.control.size() - head.Remaining();
  const Bytes layout(good.control.begin() + layout_at, good.control.begin() + layout_at + layout_len);
  olk::ByteReader rest(good.control.data() + layout_at + layout_len, good.control.size() - layout_at - layout_len);
  uint64_t table_len;
  ASSERT_TRUE(rest.Varint(&table_len));
  const Bytes records(good.control.end() - rest.Remaining(), good.control.end());
  auto control = [](const Bytes& layout_bytes, uint64_t declared_layout, uint64_t table, const Bytes& tail) {
    Bytes c;
    olk::PutVarint(&c, declared_layout);
    c.insert(c.end(), layout_bytes.begin(), layout_bytes.end());
    olk::PutVarint(&c, table);
    c.insert(c.end(), tail.begin(), tail.end());
    return c;
  };
  Bytes too_many_sections;
  olk::PutVarint(&too_many_sections, 0x400000);
  olk::PutVarint(&too_many_sections, olk::kMaxImageSections + 1);
  // One copy of four bytes that starts two bytes before the old file's end.
  Bytes straddling;
  olk::PutVarint(&straddling, olk::ZigZag(static_cast<int64_t>(from.size()) - 2));
  olk::PutVarint(&straddling, 4);
  olk::PutVarint(&straddling, 0);
  struct {
    const char* name;
    Bytes control;
    size_t new_size;
  } cases[] = {
      {"table one byte longer than predicted", control(layout, layout.size(), table_len + 1, records), to.size()},
      {"table one byte shorter", control(layout, layout.size(), table_len - 1, records), to.size()},
      {"layout longer than allowed", control(layout, olk::kMaxLayoutBytes + 1, table_len, records), to.size()},
      {"layout shorter than its bytes", control(layout, layout.size() - 1, table_len, records), to.size()},
      {"too many sections", control(too_many_sections, too_many_sections.size(), table_len, records), to.size()},
      {"table beyond the largest", control(layout, layout.size(), olk::kMaxPredictedTable + 1, records), to.size()},
      {"copy across the old file's end", control(layout, layout.size(), 16, straddling), 4},
      {"head cut short", Bytes(good.control.begin(), good.control.begin() + layout_at + 3), to.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    olk::DeltaStreams s = good;
    s.control = c.control;
    if (c.new_size == 4) {
      s.diff = {4, 0};
      s.extra.clear();
    }
    olk::PatchEntry e;
    const Bytes payload = StoredPayload(s, from.size(), c.new_size, &e);
    Bytes out;
    EXPECT_EQ(Decode(from, payload, e, &out), olk::Result::kBadPatch);
  }
}

}  // namespace
