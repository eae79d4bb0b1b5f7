// Windowed LZ payloads: round trips across segment and window edges, and
// streams that lie about their windows or lengths.
#include <gtest/gtest.h>

#include <algorithm>

#include "bytes.h"
#include "codec.h"
#include "engine_test_support.h"
#include "olkeng/engine.h"
#include "parallel.h"
#include "patch_format.h"
#include "window_lz.h"

namespace {

using olktest::Bytes;

// A build far apart: pieces of 8 to 40 bytes taken from near the same
// place in the old file, each followed by a new byte, so that every match
// is short (where a delta of copies does worst).
Bytes FarApart(const Bytes& old, uint32_t seed) {
  Bytes out;
  uint32_t x = seed * 2654435761u + 1;
  auto next = [&x] { return x = x * 1103515245u + 12345u, x >> 8; };
  for (size_t pos = 0; pos + 64 < old.size();) {
    const size_t n = 8 + next() % 33;
    const size_t from = std::min(old.size() - n, pos > 2000 ? pos - 2000 + next() % 4000 : pos);
    out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(from),
               old.begin() + static_cast<std::ptrdiff_t>(from + n));
    out.push_back(static_cast<uint8_t>(next()));
    pos += n;
  }
  return out;
}

// Small shapes keep the tests fast; the builder's are the largest.
constexpr unsigned kSeg = 14, kWin = 15;  // 16 KiB, 32 KiB

olk::Result Decode(const Bytes& stream, const Bytes& old, uint64_t new_size, Bytes* out) {
  olk::SpanFile in_file(stream.data(), stream.size());
  olk::StreamDecoder in;
  olk::Result r = in.Init(&in_file, 0, stream.size(), olk::Codec::kStored, stream.size());
  if (r != olk::Result::kOk) return r;
  olktest::MemFile old_file(old);
  olktest::VectorSink sink;
  r = olk::DecodeWindowedLz(in, old.size(), new_size, old_file, sink);
  *out = sink.out;
  return r;
}

TEST(WindowedLz, RoundTripsAcrossSegmentsAndWindows) {
  const size_t seg = size_t{1} << kSeg, win = size_t{1} << kWin;
  struct Case {
    const char* what;
    size_t old_size, new_size;
  } cases[] = {
      {"a small file, the whole old file as its window", 3000, 3100},
      {"one segment exactly", 2 * seg, seg},
      {"segments and a one-byte remainder, old larger than a window", 4 * win, 5 * seg + 1},
      {"old a byte larger than a window", win + 1, seg + 7},
  };
  olk::CoreBudget budget(1);
  for (const Case& c : cases) {
    const Bytes old = olktest::Random(c.old_size, 7);
    Bytes nw = FarApart(old, 3);
    nw.resize(c.new_size, 0x5a);
    Bytes stream, out, alone;
    ASSERT_TRUE(olk::EncodeWindowedLz(old.data(), old.size(), nw.data(), nw.size(), &budget, &stream, kSeg, kWin))
        << c.what;
    ASSERT_EQ(Decode(stream, old, nw.size(), &out), olk::Result::kOk) << c.what;
    EXPECT_TRUE(out == nw) << c.what;
    // The bytes do not depend on the cores given.
    ASSERT_TRUE(olk::EncodeWindowedLz(old.data(), old.size(), nw.data(), nw.size(), nullptr, &alone, kSeg, kWin));
    EXPECT_TRUE(alone == stream) << c.what;
  }
  // The builder's own shape, once: two segments.
  const Bytes old = olktest::Random(512 * 1024, 5);
  Bytes nw;
  for (uint32_t seed = 1; nw.size() <= (size_t{1} << olk::kLzSegmentLog); ++seed) {
    const Bytes more = FarApart(old, seed);
    nw.insert(nw.end(), more.begin(), more.end());
  }
  Bytes stream, out;
  ASSERT_TRUE(olk::EncodeWindowedLz(old.data(), old.size(), nw.data(), nw.size(), &budget, &stream));
  ASSERT_EQ(Decode(stream, old, nw.size(), &out), olk::Result::kOk);
  EXPECT_TRUE(out == nw);
}

TEST(WindowedLz, RefusesStreamsThatLie) {
  const size_t seg = size_t{1} << kSeg, win = size_t{1} << kWin;
  const Bytes old = olktest::Random(win + 4096, 11);
  const Bytes nw = FarApart(Bytes(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(seg + 5000)), 5);
  ASSERT_GT(nw.size(), seg);
  Bytes good;
  ASSERT_TRUE(olk::EncodeWindowedLz(old.data(), old.size(), nw.data(), nw.size(), nullptr, &good, kSeg, kWin));
  // The shape, then the first segment's head: window start and data
  // length, varints.
  size_t p = 2;
  auto varint = [&good](size_t* at) {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const uint8_t b = good[(*at)++];
      v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
  };
  varint(&p);
  const size_t length_at = p;
  const uint64_t first_len = varint(&p);
  const size_t data_at = p;
  auto with_head = [&](uint64_t start, uint64_t len) {
    Bytes b(good.begin(), good.begin() + 2);
    olk::PutVarint(&b, start);
    olk::PutVarint(&b, len);
    b.insert(b.end(), good.begin() + static_cast<std::ptrdiff_t>(data_at), good.end());
    return b;
  };
  auto with_shape = [&](unsigned segment_log, unsigned window_log) {
    Bytes b = good;
    b[0] = static_cast<uint8_t>(segment_log);
    b[1] = static_cast<uint8_t>(window_log);
    return b;
  };
  Bytes cut_data = good;
  cut_data.erase(cut_data.begin() + static_cast<std::ptrdiff_t>(data_at + first_len / 2));
  Bytes longer = good;
  longer.push_back(0);
  Bytes flipped = good;
  flipped[data_at + first_len / 2] ^= 0x40;
  struct Case {
    const char* what;
    Bytes stream;
    uint64_t new_size;
    olk::Result want;
  } cases[] = {
      {"window past the old file's end", with_head(old.size() - win + 1, first_len), nw.size(),
       olk::Result::kBadPatch},
      {"window start far out", with_head(UINT64_MAX, first_len), nw.size(), olk::Result::kBadPatch},
      {"data length past the stream", with_head(0, good.size()), nw.size(), olk::Result::kBadPatch},
      {"data length short of the segment's", with_head(0, first_len - 1), nw.size(), olk::Result::kBadPatch},
      {"a byte of data missing", cut_data, nw.size(), olk::Result::kBadPatch},
      {"a byte left over", longer, nw.size(), olk::Result::kBadPatch},
      {"stream cut in a head", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length_at)),
       nw.size(), olk::Result::kBadPatch},
      {"new file declared a byte longer", good, nw.size() + 1, olk::Result::kBadPatch},
      {"new file declared a segment shorter", good, seg, olk::Result::kBadPatch},
      {"segments larger than a reader takes", with_shape(olk::kLzSegmentLog + 1, kWin), nw.size(),
       olk::Result::kBadPatch},
      {"windows larger than a reader takes", with_shape(kSeg, olk::kLzWindowLog + 1), nw.size(),
       olk::Result::kBadPatch},
      {"segments smaller than a reader takes", with_shape(olk::kLzMinLog - 1, kWin), nw.size(),
       olk::Result::kBadPatch},
      {"empty", Bytes(), nw.size(), olk::Result::kBadPatch},
  };
  for (const Case& c : cases) {
    Bytes out;
    EXPECT_EQ(Decode(c.stream, old, c.new_size, &out), c.want) << c.what;
    EXPECT_LE(out.size(), c.new_size) << c.what;
  }
  // Damaged data either fails to decode or gives other bytes (the sink's
  // hash then refuses them); it never runs past the segment.
  Bytes out;
  const olk::Result r = Decode(flipped, old, nw.size(), &out);
  EXPECT_TRUE(r == olk::Result::kBadPatch || out != nw);
  EXPECT_LE(out.size(), nw.size());
  // An old file shorter than the patch knew.
  EXPECT_EQ(Decode(good, Bytes(old.begin(), old.end() - 1), nw.size(), &out), olk::Result::kBadPatch)
      << "a shorter old file moves every window";
  olk::SpanFile in_file(good.data(), good.size());
  olk::StreamDecoder in;
  ASSERT_EQ(in.Init(&in_file, 0, good.size(), olk::Codec::kStored, good.size()), olk::Result::kOk);
  olktest::MemFile short_old(Bytes(old.begin(), old.begin() + 100));
  olktest::VectorSink sink;
  EXPECT_EQ(olk::DecodeWindowedLz(in, old.size(), nw.size(), short_old, sink), olk::Result::kOldFileMismatch);
}

// The builder takes it for a file whose delta saves little, only where
// the format has it, and the patch applies.
TEST(WindowedLz, ChosenForFarApartFilesOnly) {
  const Bytes old = olktest::Random(300000, 21);
  const Bytes far = FarApart(old, 9);
  Bytes near = old;
  near[1000] ^= 1;
  const olktest::Tree from = {{"far.bin", std::string(old.begin(), old.end())},
                              {"near.bin", std::string(old.begin(), old.end())}};
  const olktest::Tree to = {{"far.bin", std::string(far.begin(), far.end())},
                            {"near.bin", std::string(near.begin(), near.end())}};
  for (uint16_t version : {uint16_t{0}, uint16_t{3}}) {
    olk::BuildOptions options;
    options.format_version = version;
    const std::vector<uint8_t> patch = olktest::MakePatch(from, to, nullptr, options);
    olktest::MemFile file(patch);
    olk::PatchInfo info;
    ASSERT_EQ(olk::ReadPatch(file, &info), olk::Result::kOk);
    for (const olk::PatchEntry& e : info.entries) {
      const bool windowed = e.encoding == olk::Encoding::kWindowedLz;
      EXPECT_EQ(windowed, version == 0 && e.path == "far.bin") << e.path << " format " << info.version;
    }
    olktest::TempDir dir;
    olktest::WriteTree(dir.path(), from);
    ASSERT_EQ(olktest::Apply(dir.path(), patch), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir.path()), to);
  }
}

}  // namespace
