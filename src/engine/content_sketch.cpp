#include "content_sketch.h"

#include <xxhash.h>

#include <algorithm>
#include <memory>

#include "olkeng/file_layer.h"

namespace olk {

namespace {

/* A random number for each byte value: the rolling hash adds the one of
 * each byte and shifts, so that a byte drops out after 64 more. */
struct ByteNoise {
  uint64_t of[256];
  ByteNoise() {
    for (uint64_t b = 0; b < 256; ++b) of[b] = XXH3_64bits(&b, sizeof b);
  }
};

const ByteNoise& Noise() {
  static const ByteNoise noise;
  return noise;
}

/* One window in 64 is sampled: where the rolling hash's top six bits are
 * zero (its low bits depend on the last few bytes only). */
constexpr int kSampleShift = 58;

}  // namespace

void ContentSketcher::Update(const uint8_t* data, size_t n) {
  const uint64_t* noise = Noise().of;
  uint64_t h = rolling_;
  for (size_t i = 0; i < n; ++i) {
    h = (h << 1) + noise[data[i]];
    if ((h >> kSampleShift) == 0) {
      /* Mix, so that which windows come first in the order is random. */
      samples_.push_back(XXH3_64bits(&h, sizeof h));
      if (samples_.size() >= 16 * kSketchSize) Trim();
    }
  }
  rolling_ = h;
}

void ContentSketcher::Trim() {
  std::sort(samples_.begin(), samples_.end());
  samples_.erase(std::unique(samples_.begin(), samples_.end()), samples_.end());
  if (samples_.size() > kSketchSize) samples_.resize(kSketchSize);
}

ContentSketch ContentSketcher::Finish() {
  Trim();
  ContentSketch out;
  out.swap(samples_);
  rolling_ = 0;
  return out;
}

bool SketchFile(FileSystem& fs, const std::string& path, ContentSketch* out) {
  std::unique_ptr<File> f;
  if (fs.OpenRead(path, &f) != IoStatus::kOk) return false;
  std::vector<uint8_t> buf(1 << 20);
  ContentSketcher sketcher;
  const uint64_t size = f->Size();
  for (uint64_t at = 0; at < size;) {
    size_t got = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - at));
    if (f->ReadAt(at, buf.data(), want, &got) != IoStatus::kOk || got != want) return false;
    sketcher.Update(buf.data(), got);
    at += got;
  }
  *out = sketcher.Finish();
  return true;
}

double Resemblance(const ContentSketch& a, const ContentSketch& b) {
  /* The smallest kSketchSize numbers of both together, and how many of
   * those both hold: an estimate of the share of windows in common. */
  size_t i = 0, j = 0, seen = 0, shared = 0;
  while (seen < kSketchSize && (i < a.size() || j < b.size())) {
    if (j == b.size() || (i < a.size() && a[i] < b[j])) {
      ++i;
    } else if (i == a.size() || b[j] < a[i]) {
      ++j;
    } else {
      ++shared;
      ++i;
      ++j;
    }
    ++seen;
  }
  return seen == 0 ? 0.0 : static_cast<double>(shared) / static_cast<double>(seen);
}

}  // namespace olk
