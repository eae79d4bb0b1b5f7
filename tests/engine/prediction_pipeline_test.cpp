// The pipeline that fills an executable delta's copies on two threads
// must give, piece by piece, exactly what one predictor gives over every
// copy in order: whatever the slot size, wherever long copies are cut,
// with or without its worker; and it must hand on a read error and stop
// cleanly when its caller gives up early.
#include <gtest/gtest.h>

#include <random>

#include "engine_test_support.h"
#include "prediction_pipeline.h"
#include "synthetic_pe.h"

using olktest::Bytes;

namespace {

struct Copies {
  std::vector<olk::CopyPlan> list;
  olk::OffsetMap map;
};

// Copies of every length from one byte to tens of KiB, from anywhere in
// the old file (its first and last bytes included).
Copies RandomCopies(size_t old_size, uint32_t seed) {
  std::mt19937 random(seed);
  Copies c;
  uint64_t new_pos = 0;
  auto add = [&](uint64_t at, uint64_t len) {
    c.list.push_back(olk::CopyPlan{at, new_pos, len});
    c.map.Add(at, new_pos, len);
    new_pos += len + random() % 8;
  };
  add(0, 3);
  add(0, old_size);
  for (int i = 0; i < 300; ++i) {
    const uint64_t len = 1 + (i % 5 == 0 ? random() % 30000 : random() % 700);
    const uint64_t at = random() % (old_size - std::min<uint64_t>(len, old_size - 1));
    add(at, std::min<uint64_t>(len, old_size - at));
  }
  add(old_size - 1, 1);
  c.map.Finish();
  return c;
}

// What one predictor makes of every copy, in order: the builder's way.
Bytes OnePredictor(const Bytes& old_file, const olk::OldImage& image, const olk::ImageLayout& layout,
                   const Copies& copies) {
  olk::RefPredictor predictor(image, layout, copies.map);
  Bytes out;
  for (const olk::CopyPlan& c : copies.list) {
    const size_t at = out.size();
    out.resize(at + c.len);
    predictor.StartCopy(c.old_pos, c.new_pos, c.len);
    predictor.Fill(old_file.data(), 0, c.len, out.data() + at);
  }
  return out;
}

class PipelineRun {
 public:
  PipelineRun(const Bytes& old_file, const olk::OldImage& image, const olk::ImageLayout& layout, const Copies& copies,
              const olk::PipelineShape& shape, uint64_t fail_reads_from = UINT64_MAX)
      : file_(old_file), cache_(&file_, old_file.size(), 1) {
    file_.fail_reads_from = fail_reads_from;
    pipeline_.reset(new olk::PredictionPipeline(
        image, layout, copies.map, cache_, old_file.size(),
        [&copies, next = size_t{0}](olk::CopyPlan* out) mutable {
          if (next == copies.list.size()) return false;
          *out = copies.list[next++];
          return true;
        },
        [this] { prologue_ran_ = true; }, shape));
    pipeline_->Start();
  }

  // Every piece, in order, until the pipeline says there is none or fails.
  olk::Result TakeAll(const Copies& copies, Bytes* out) {
    for (const olk::CopyPlan& c : copies.list) {
      for (uint64_t at = c.old_pos; at < c.old_pos + c.len;) {
        uint64_t offset;
        const uint8_t* data;
        size_t n;
        const olk::Result r = pipeline_->Next(&offset, &data, &n);
        if (r != olk::Result::kOk) return r;
        EXPECT_EQ(offset, at);
        EXPECT_LE(n, c.old_pos + c.len - at) << "a piece ran past its copy";
        out->insert(out->end(), data, data + n);
        at += n;
      }
    }
    uint64_t offset;
    const uint8_t* data;
    size_t n;
    EXPECT_EQ(pipeline_->Next(&offset, &data, &n), olk::Result::kBadPatch) << "a piece past the last copy";
    EXPECT_EQ(pipeline_->WaitPrologue(), olk::Result::kOk);
    EXPECT_TRUE(prologue_ran_);
    return olk::Result::kOk;
  }
  olk::PredictionPipeline& pipeline() { return *pipeline_; }

 private:
  olktest::MemFile file_;
  olk::OldFileCache cache_;
  bool prologue_ran_ = false;
  std::unique_ptr<olk::PredictionPipeline> pipeline_;
};

class PredictionPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_file_ = olktest::LinkedProgram(1);
    const Bytes new_file = olktest::LinkedProgram(1, 3, 5000);
    olk::ExecutablePair pair;
    ASSERT_TRUE(olk::ReadExecutablePair(old_file_.data(), old_file_.size(), new_file.data(), new_file.size(), &pair));
    image_ = pair.old_image;
    layout_ = pair.new_layout;
  }
  Bytes old_file_;
  olk::OldImage image_;
  olk::ImageLayout layout_;
};

TEST_F(PredictionPipelineTest, GivesWhatOnePredictorGivesWhateverTheShape) {
  struct {
    const char* name;
    olk::PipelineShape shape;
  } cases[] = {
      {"as shipped", olk::PipelineShape()},
      {"small slots, copies cut often", {4096, 300, 64, true}},
      {"the same, without the worker", {4096, 300, 64, false}},
      // Cut places are rare within a few bytes: many copies run on from
      // one slot into the next.
      {"tiny slots, short searches", {1000, 16, 3, true}},
  };
  for (uint32_t seed : {1u, 2u}) {
    const Copies copies = RandomCopies(old_file_.size(), seed);
    const Bytes expected = OnePredictor(old_file_, image_, layout_, copies);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      PipelineRun run(old_file_, image_, layout_, copies, c.shape);
      Bytes got;
      ASSERT_EQ(run.TakeAll(copies, &got), olk::Result::kOk);
      ASSERT_EQ(got.size(), expected.size());
      EXPECT_TRUE(got == expected) << "seed " << seed;
    }
  }
}

TEST_F(PredictionPipelineTest, HandsOnAReadErrorAndStopsWhenLeftEarly) {
  const Copies copies = RandomCopies(old_file_.size(), 3);
  {
    // Reads of the second half of the file fail.
    PipelineRun run(old_file_, image_, layout_, copies, {4096, 300, 64, true}, old_file_.size() / 2);
    Bytes got;
    EXPECT_EQ(run.TakeAll(copies, &got), olk::Result::kFileInUse);
  }
  {
    // The caller takes one piece and goes: the worker must end with it.
    PipelineRun run(old_file_, image_, layout_, copies, {4096, 300, 64, true});
    uint64_t offset;
    const uint8_t* data;
    size_t n;
    EXPECT_EQ(run.pipeline().Next(&offset, &data, &n), olk::Result::kOk);
  }
}

}  // namespace
