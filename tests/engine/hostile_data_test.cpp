// Patch data made to cost the applier: sizes that no stream can produce,
// records that produce nothing, sums that would wrap around.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "engine_test_support.h"
#include "hash.h"
#include "patch_format.h"
#include "payload.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Sealed patch data of one entry whose streams are kept apart, in the
// codecs and with the sizes given (the bytes need not decode).
Bytes OneEntry(const olk::PatchEntry& e, const Bytes& payload) {
  std::vector<uint8_t> manifest;
  olk::AppendManifest({e}, &manifest);
  std::vector<uint8_t> out;
  olk::AppendPatchHead(1, 1, manifest.size(), manifest, payload.size(), &out);
  out.insert(out.end(), payload.begin(), payload.end());
  out.resize(out.size() + olk::kTrailerSize);
  olktest::Reseal(&out);
  return out;
}

olk::Result Read(const Bytes& data) {
  olktest::MemFile f(data);
  olk::PatchInfo info;
  return olk::ReadPatch(f, &info);
}

olk::PatchEntry Delta(uint64_t old_size, uint64_t new_size, uint64_t ctrl, uint64_t diff, uint64_t extra) {
  olk::PatchEntry e;
  e.kind = olk::EntryKind::kChangeFile;
  e.encoding = olk::Encoding::kDelta;
  e.path = "f.bin";
  e.old_size = old_size;
  e.new_size = new_size;
  const uint64_t sizes[3] = {ctrl, diff, extra};
  for (int i = 0; i < 3; ++i) {
    e.streams[i].codec = 1;
    e.streams[i].decoded_size = e.streams[i].encoded_size = sizes[i];
  }
  return e;
}

TEST(HostileData, DeclaredSizesMustBeOnesTheStreamsCanProduce) {
  struct Case {
    const char* what;
    olk::PatchEntry entry;
    uint64_t payload;
    olk::Result expected;
  };
  olk::PatchEntry zstd_bomb;
  zstd_bomb.kind = olk::EntryKind::kAddFile;
  zstd_bomb.path = "big.bin";
  zstd_bomb.new_size = 1ull << 40;  // from 20 bytes
  zstd_bomb.streams[0].codec = 2;
  zstd_bomb.streams[0].encoded_size = 20;
  olk::PatchEntry zstd_dense = zstd_bomb;  // as dense as zstd gets
  zstd_dense.new_size = 20 * 32768;
  const Case cases[] = {
      {"whole file: more than its stream can decode to", zstd_bomb, 20, olk::Result::kBadPatch},
      {"whole file: as much as its stream can decode to", zstd_dense, 20, olk::Result::kOk},
      {"delta: sound sizes", Delta(100, 50, 6, 4, 10), 20, olk::Result::kOk},
      {"delta: control stream longer than records of its new file", Delta(100, 4, 121, 0, 0), 121,
       olk::Result::kBadPatch},
      {"delta: difference stream longer than pairs of its new file", Delta(100, 4, 3, 97, 0), 100,
       olk::Result::kBadPatch},
      {"delta: new file longer than its records can copy and add", Delta(10, 1000, 3, 0, 0), 3,
       olk::Result::kBadPatch},
      {"delta: a huge old file and new file from a few records", Delta(1ull << 62, 1ull << 62, 3, 0, 0), 3,
       olk::Result::kOk},
      {"delta: what the records can make passes 64 bits (no wrap-around)", Delta(1ull << 62, 1ull << 63, 15, 0, 0),
       15, olk::Result::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Read(OneEntry(c.entry, Bytes(c.payload, 0))), c.expected);
  }
}

// A delta turning 8 old bytes into "AbCDEFGH!", with its three streams
// stored and kept apart, and a place to slip in a record or pair that
// produces nothing.
olk::Result DecodeSmallDelta(bool idle_record, bool idle_pair) {
  const Bytes old_bytes = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  Bytes control, diff, extra = {'!'};
  if (idle_record) {
    olk::PutVarint(&control, 0);
    olk::PutVarint(&control, 0);
    olk::PutVarint(&control, 0);
  }
  olk::PutVarint(&control, olk::ZigZag(0));
  olk::PutVarint(&control, 8);
  olk::PutVarint(&control, 1);
  if (idle_pair) {
    olk::PutVarint(&diff, 0);
    olk::PutVarint(&diff, 0);
  }
  olk::PutVarint(&diff, 1);  // "BCDE" as a 32-bit word, plus 32: "bCDE"
  olk::PutVarint(&diff, 1);
  diff.push_back(32);
  olk::PutVarint(&diff, 3);
  olk::PutVarint(&diff, 0);
  olk::PatchEntry e = Delta(8, 9, control.size(), diff.size(), extra.size());
  Bytes payload = control;
  payload.insert(payload.end(), diff.begin(), diff.end());
  payload.insert(payload.end(), extra.begin(), extra.end());
  uint64_t at = 0;
  for (olk::StreamRef& r : e.streams) {
    r.offset = at;
    at += r.encoded_size;
  }
  olktest::MemFile patch(payload), old_file(old_bytes);
  struct Sink : olk::ByteSink {
    olk::Result Put(const uint8_t* d, size_t n) override {
      out.append(reinterpret_cast<const char*>(d), n);
      return olk::Result::kOk;
    }
    std::string out;
  } sink;
  olk::PatchInfo info;
  olk::Result r = olk::DecodePayload(info, e, patch, &old_file, sink);
  if (r == olk::Result::kOk) {
    EXPECT_EQ(sink.out, "AbCDEFGH!");
  }
  return r;
}

// The encoder never writes a record or a difference pair that produces no
// byte; the decoder refuses them, so that the work per byte written stays
// bounded (a small stream of such records could keep it busy for long).
TEST(HostileData, RecordsAndPairsThatProduceNothingAreRefused) {
  EXPECT_EQ(DecodeSmallDelta(false, false), olk::Result::kOk);
  EXPECT_EQ(DecodeSmallDelta(true, false), olk::Result::kBadPatch);
  EXPECT_EQ(DecodeSmallDelta(false, true), olk::Result::kBadPatch);
}

TEST(HostileData, SaturatingSums) {
  const uint64_t kMax = ~0ull;
  EXPECT_EQ(olk::SatAdd(1, 2), 3u);
  EXPECT_EQ(olk::SatAdd(kMax - 4096, 4096), kMax);
  EXPECT_EQ(olk::SatAdd(kMax - 4095, 4096), kMax);  // would wrap to 0
  EXPECT_EQ(olk::SatAdd(kMax, kMax), kMax);
  EXPECT_EQ(olk::SatMul(1ull << 32, 1ull << 31), 1ull << 63);
  EXPECT_EQ(olk::SatMul(1ull << 32, 1ull << 32), kMax);  // would wrap to 0
  EXPECT_EQ(olk::SatMul(kMax, 0), 0u);
}

// The solid area is decoded while the install folder is checked; damage
// there (under a valid checksum: only a crafted patch has it) must still
// stop the apply before anything is touched.
TEST(HostileData, ADamagedSolidAreaStopsTheApplyWithNothingTouched) {
  olktest::Tree from, to;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "data\\file" + std::to_string(i) + ".txt";
    from[name] = olktest::RandomContent(3000, i);
    to[name] = from[name];
    to[name].replace(1000, 20, olktest::RandomContent(20, 100 + i));
  }
  from["data"] = to["data"] = olktest::kDir;
  const Bytes good = olktest::MakePatch(from, to);
  olktest::MemFile f(good);
  olk::PatchInfo info;
  ASSERT_EQ(olk::ReadPatch(f, &info), olk::Result::kOk);
  ASSERT_GT(info.solid.size(), 0u);
  const size_t region = olk::GetLE(good.data() + 24, 4);
  olktest::TempDir tmp;
  for (size_t eighths : {4, 6, 7}) {
    SCOPED_TRACE(std::to_string(eighths) + "/8 into the index");
    Bytes bad = good;
    bad[olk::kHeaderSize + region * eighths / 8] ^= 0x55;
    olktest::Reseal(&bad);
    const std::string dir = tmp.Sub("install" + std::to_string(eighths));
    olktest::WriteTree(dir, from);
    EXPECT_NE(olktest::Apply(dir, bad), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir), from);
  }
}

}  // namespace
