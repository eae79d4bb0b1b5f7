/*
 * A few hundred numbers that stand for a file's content, so that the
 * builder can tell which old file a new one was made from without diffing
 * it against each: a renamed pack whose name kept nothing of the old one,
 * or one of several old files of about the same size.
 *
 * The sketch samples the content itself, not positions: a 64-byte window
 * is taken where its rolling hash meets a condition, so that an insertion
 * early in a file does not shift every sample after it. Of the sampled
 * windows' hashes the smallest kSketchSize are kept (a bottom-k sketch):
 * two files that share a fraction of their windows share about that
 * fraction of their sketches.
 */
#ifndef OLKENG_CONTENT_SKETCH_H
#define OLKENG_CONTENT_SKETCH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace olk {

class FileSystem;

constexpr size_t kSketchSize = 256;

/* The sketch: at most kSketchSize distinct numbers, ascending. */
typedef std::vector<uint64_t> ContentSketch;

/* Builds a sketch from a file's bytes, given in pieces of any size. */
class ContentSketcher {
 public:
  void Update(const uint8_t* data, size_t n);
  ContentSketch Finish();

 private:
  void Trim();
  uint64_t rolling_ = 0;
  std::vector<uint64_t> samples_;
};

/* SketchFile():
 * The sketch of file `path` of `fs`, read a piece at a time. False when it
 * cannot be read (the caller goes on without it). */
bool SketchFile(FileSystem& fs, const std::string& path, ContentSketch* out);

/* Resemblance():
 * About what fraction of their content two files share, from their
 * sketches: 0 (nothing in common) to 1 (the same samples). */
double Resemblance(const ContentSketch& a, const ContentSketch& b);

}  // namespace olk

#endif
