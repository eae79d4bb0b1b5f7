// Patch data (or an old file) in memory, read through the engine's file
// interface, for the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "olkeng/file_layer.h"

namespace olkfuzz {

class MemFile : public olk::File {
 public:
  explicit MemFile(std::vector<uint8_t> d) : d_(std::move(d)) {}
  olk::IoStatus ReadAt(uint64_t off, void* buf, size_t n, size_t* got) override {
    *got = 0;
    if (off < d_.size()) {
      *got = static_cast<size_t>(std::min<uint64_t>(n, d_.size() - off));
      if (*got) std::memcpy(buf, d_.data() + off, *got);
    }
    return olk::IoStatus::kOk;
  }
  olk::IoStatus Write(const void*, size_t) override { return olk::IoStatus::kIoError; }
  olk::IoStatus Flush() override { return olk::IoStatus::kOk; }
  olk::IoStatus Close() override { return olk::IoStatus::kOk; }
  uint64_t Size() const override { return d_.size(); }

 private:
  std::vector<uint8_t> d_;
};

}  // namespace olkfuzz
