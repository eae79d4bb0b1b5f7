// Streams decoded ahead on a thread of their own give what decoding them
// inline gives: the same bytes, and the same results at the same reads,
// for good streams and for damaged ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec.h"
#include "engine_test_support.h"
#include "read_ahead.h"

namespace {

using olktest::Bytes;

// Text-like bytes that both codecs shrink, a few chunks long.
Bytes Sample(size_t n) {
  Bytes out(n);
  uint32_t x = 7;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>('a' + (x >> 16) % 7 + (i % 64 == 0 ? 10 : 0));
  }
  return out;
}

// What a reader met: each read's result, and the bytes of those that
// succeeded; then Finish()'s.
std::string Trace(olk::File* file, uint64_t size, olk::Codec codec, uint64_t decoded_size, bool ahead,
                  const std::vector<size_t>& reads, Bytes* got) {
  olk::StreamDecoder dec;
  const olk::Result init = ahead ? dec.InitReadAhead(file, 0, size, codec, decoded_size)
                                 : dec.Init(file, 0, size, codec, decoded_size);
  std::string trace = "init " + std::to_string(static_cast<int>(init));
  if (init != olk::Result::kOk) return trace;
  for (size_t n : reads) {
    Bytes buf(n);
    const olk::Result r = dec.Read(buf.data(), n);
    trace += " read " + std::to_string(static_cast<int>(r));
    if (r != olk::Result::kOk) return trace;  // a reader stops at its first error
    got->insert(got->end(), buf.begin(), buf.end());
  }
  return trace + " finish " + std::to_string(static_cast<int>(dec.Finish()));
}

TEST(ReadAhead, GivesWhatInlineDecodingGives) {
  const size_t kSize = olk::StreamDecoder::kReadAheadFrom + 3 * olk::ReadAhead::kChunkSize + 5;
  const Bytes plain = Sample(kSize);
  // Reads of every shape: tiny, across chunk edges, larger than the ring.
  std::vector<size_t> reads;
  for (size_t left = kSize, k = 0; left > 0; ++k) {
    const size_t n = std::min(left, k % 3 == 0 ? size_t{1} : k % 3 == 1 ? size_t{40000} : size_t{300000});
    reads.push_back(n);
    left -= n;
  }
  for (olk::Codec codec : {olk::Codec::kLzma2, olk::Codec::kZstd}) {
    Bytes enc;
    ASSERT_TRUE(olk::EncodeWith(codec, plain.data(), plain.size(), 3, &enc));
    struct Case {
      const char* what;
      Bytes stream;
      uint64_t declared;
      std::vector<size_t> reads;
      uint64_t fail_reads_from = UINT64_MAX;
    };
    Bytes truncated(enc.begin(), enc.end() - static_cast<std::ptrdiff_t>(enc.size() / 3));
    Bytes trailing = enc;
    trailing.push_back(0);
    Bytes damaged = enc;
    for (size_t i = enc.size() / 2; i < enc.size() / 2 + 64; ++i) damaged[i] ^= 0x5a;
    const std::vector<size_t> half(1, kSize / 2);
    std::vector<Case> cases = {
        {"the whole stream, read in every shape", enc, kSize, reads},
        {"a stream cut short", truncated, kSize, reads},
        {"a byte after the stream's end", trailing, kSize, reads},
        {"damaged data midway", damaged, kSize, reads},
        {"more declared than the stream holds", enc, kSize + 1, {kSize, 1}},
        {"fewer declared than the stream holds", enc, kSize - 1, {kSize - 1}},
        {"a reader that stops halfway", enc, kSize, half},
        {"a read error in the patch file", enc, kSize, reads, enc.size() / 2},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (codec == olk::Codec::kZstd ? " (zstd)" : " (LZMA2)"));
      olktest::MemFile file(c.stream);
      file.fail_reads_from = c.fail_reads_from;
      Bytes inline_bytes, ahead_bytes;
      const std::string inline_trace = Trace(&file, c.stream.size(), codec, c.declared, false, c.reads, &inline_bytes);
      const std::string ahead_trace = Trace(&file, c.stream.size(), codec, c.declared, true, c.reads, &ahead_bytes);
      EXPECT_EQ(inline_trace, ahead_trace);
      EXPECT_TRUE(inline_bytes == ahead_bytes);
      if (c.stream == enc && c.declared == kSize) {
        EXPECT_TRUE(std::equal(ahead_bytes.begin(), ahead_bytes.end(), plain.begin()));
      }
    }
  }
}

}  // namespace
