// Fixtures for the engine's tests: folders on disk made from a table and
// read back whole, patch data in memory, a file layer that fails on
// demand, and a recorder for the progress callback.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "byte_source.h"
#include "delta.h"
#include "olkeng/engine.h"
#include "olkeng/file_layer.h"

namespace olktest {

// Byte strings for delta tests: seeded random bytes, and pieces joined.
typedef std::vector<uint8_t> Bytes;
Bytes Random(size_t n, uint32_t seed);
// The same bytes as Random(), as a file's contents in a Tree.
std::string RandomContent(size_t n, uint32_t seed);
Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Slice(const Bytes& b, size_t from, size_t len);

// A folder tree as a table: path ('\' separated) -> contents; a value of
// kDir marks an (empty or not) folder.
typedef std::map<std::string, std::string> Tree;
extern const std::string kDir;

// A fresh folder under the system's temporary folder, removed with its
// contents at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteTree(const std::string& root, const Tree& tree);
// Everything under root, folders included (the engine's own staging
// folder too, so that leftovers show).
Tree ReadTree(const std::string& root);
void RemoveAll(const std::string& path);

// Keeps what a decoder produces.
class VectorSink : public olk::ByteSink {
 public:
  olk::Result Put(const uint8_t* d, size_t n) override {
    out.insert(out.end(), d, d + n);
    return olk::Result::kOk;
  }
  Bytes out;
};

// EncodeAndDecode(): encodes delta streams apart (fast codecs) into
// *payload, then decodes them against `from` into *out with the applier's
// decoder; returns the decoder's result.
olk::Result EncodeAndDecode(const olk::DeltaStreams& streams, const Bytes& from, size_t new_size, Bytes* payload,
                            Bytes* out);

// Reads bytes held elsewhere, failing from an offset on (a disk error in
// the old file).
class FailingSource : public olk::ByteSource {
 public:
  FailingSource(const Bytes& data, uint64_t fail_from) : data_(data), fail_from_(fail_from) {}
  uint64_t Size() const override { return data_.size(); }
  bool Read(uint64_t offset, uint8_t* buf, size_t n) override {
    if (offset + n > fail_from_) return false;
    return olk::MemorySource(data_.data(), data_.size()).Read(offset, buf, n);
  }

 private:
  const Bytes& data_;
  uint64_t fail_from_;
};

// A file held in memory, readable and writable through the engine's
// interface.
class MemFile : public olk::File {
 public:
  MemFile() = default;
  explicit MemFile(std::vector<uint8_t> data) : data_(std::move(data)) {}
  olk::IoStatus ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override;
  olk::IoStatus Write(const void* buf, size_t n) override;
  olk::IoStatus Flush() override { return olk::IoStatus::kOk; }
  olk::IoStatus Close() override { return olk::IoStatus::kOk; }
  uint64_t Size() const override { return data_.size(); }
  std::vector<uint8_t>& data() { return data_; }
  // Reads from this offset on fail (a disk error in the patch file).
  uint64_t fail_reads_from = UINT64_MAX;

 private:
  std::vector<uint8_t> data_;
};

// Builds patch data that turns tree `from` into tree `to`.
std::vector<uint8_t> MakePatch(const Tree& from, const Tree& to, olk::BuildStats* stats = nullptr,
                               const olk::BuildOptions& options = olk::BuildOptions());

// Patch data around a hand-made manifest (entries without payloads),
// sealed with a correct checksum.
std::vector<uint8_t> SealEntries(const std::vector<olk::PatchEntry>& entries);

// Recomputes the trailer checksum after a test has edited patch data on
// purpose, so that the edit reaches the checks behind the checksum.
void Reseal(std::vector<uint8_t>* patch);

// Wraps a file layer and fails on demand.
class FaultyFs : public olk::FileSystem {
 public:
  explicit FaultyFs(olk::FileSystem* base) : base_(base) {}

  // A rename from or to this path fails as if another program held it.
  std::string locked;
  // Creating a file whose path starts with this fails with create_status.
  std::string create_fails;
  olk::IoStatus create_status = olk::IoStatus::kAccessDenied;
  // After this many changes to the disk, every further change fails and
  // does nothing, as if the machine had stopped.
  int64_t freeze_after = -1;
  // What FreeSpace() reports (the real value when unset).
  uint64_t free_space = UINT64_MAX;
  // Bytes that may still be written before writes fail with kDiskFull.
  int64_t write_budget = -1;
  // Changes made so far, and a log of them ("rename a -> b", ...).
  int64_t mutations = 0;
  std::function<void(const std::string&)> on_change;

  olk::IoStatus Stat(const std::string& p, olk::EntryInfo* i) override { return base_->Stat(p, i); }
  olk::IoStatus OpenRead(const std::string& p, std::unique_ptr<olk::File>* f) override {
    return base_->OpenRead(p, f);
  }
  olk::IoStatus CreateNew(const std::string& p, std::unique_ptr<olk::File>* f) override;
  olk::IoStatus Rename(const std::string& from, const std::string& to) override;
  olk::IoStatus LinkFile(const std::string& from, const std::string& to) override;
  olk::IoStatus RemoveFile(const std::string& p) override;
  olk::IoStatus MakeDir(const std::string& p) override;
  olk::IoStatus RemoveDir(const std::string& p) override;
  olk::IoStatus List(const std::string& p, std::vector<olk::DirEntry>* out) override { return base_->List(p, out); }
  olk::IoStatus FreeSpace(uint64_t* bytes) override;
  olk::IoStatus SyncDir(const std::string& p) override { return base_->SyncDir(p); }

  bool frozen() const { return freeze_after >= 0 && mutations >= freeze_after; }
  bool Change(const std::string& what);  // false when frozen
  int64_t* budget() { return &write_budget; }

 private:
  olk::FileSystem* base_;
};

// Records the notifications of the progress callback. The callback has no
// context argument, so one recorder is active at a time.
struct Note {
  uint32_t id;
  std::string text;   // ids 1-4 and 7
  uint32_t value = 0; // ids 5 and 6
};
class CallbackRecorder {
 public:
  CallbackRecorder();
  ~CallbackRecorder();
  olk::ProgressCallback callback() const;
  std::vector<Note> notes;
  std::function<void(const Note&)> on_note;
};

// Applies `patch` to the folder `dir` through `fs` (or the native layer).
olk::Result Apply(const std::string& dir, const std::vector<uint8_t>& patch, olk::FileSystem* fs = nullptr,
                   olk::ProgressCallback cb = nullptr);

}  // namespace olktest
