#include "engine_test_support.h"

#include "parallel.h"
#include "payload.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include "patch_format.h"
#include <xxhash.h>

namespace olktest {

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

std::string RandomContent(size_t n, uint32_t seed) {
  const Bytes b = Random(n, seed);
  return std::string(b.begin(), b.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t len) { return Bytes(b.begin() + from, b.begin() + from + len); }

const std::string kDir = "<dir>";

namespace {

std::string Native(const std::string& root, const std::string& rel) {
  std::string s = root + "/";
  for (char c : rel) s += c == '\\' ? '/' : c;
  return s;
}

void ReadInto(const std::string& root, const std::string& rel, Tree* tree) {
  const std::string dir = rel.empty() ? root : Native(root, rel);
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = rel.empty() ? name : rel + "\\" + name;
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*tree)[path] = kDir;
      ReadInto(root, path, tree);
    } else {
      std::ifstream f(dir + "/" + name, std::ios::binary);
      std::stringstream ss;
      ss << f.rdbuf();
      (*tree)[path] = ss.str();
    }
  }
  closedir(d);
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/olkeng-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() { RemoveAll(path_); }

void RemoveAll(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0755);
    if (DIR* d = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
      closedir(d);
      for (const auto& n : names) RemoveAll(path + "/" + n);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void WriteTree(const std::string& root, const Tree& tree) {
  mkdir(root.c_str(), 0755);
  for (const auto& kv : tree) {  // std::map order puts parents first
    const std::string p = Native(root, kv.first);
    if (kv.second == kDir) {
      mkdir(p.c_str(), 0755);
    } else {
      // make missing parents
      for (size_t cut = kv.first.find('\\'); cut != std::string::npos; cut = kv.first.find('\\', cut + 1))
        mkdir(Native(root, kv.first.substr(0, cut)).c_str(), 0755);
      std::ofstream f(p, std::ios::binary);
      f.write(kv.second.data(), static_cast<std::streamsize>(kv.second.size()));
    }
  }
}

Tree ReadTree(const std::string& root) {
  Tree t;
  ReadInto(root, "", &t);
  return t;
}

olk::IoStatus MemFile::ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) {
  *got = 0;
  if (offset + n > fail_reads_from) return olk::IoStatus::kIoError;
  if (offset >= data_.size()) return olk::IoStatus::kOk;
  *got = static_cast<size_t>(std::min<uint64_t>(n, data_.size() - offset));
  if (*got) std::memcpy(buf, data_.data() + offset, *got);
  return olk::IoStatus::kOk;
}

olk::IoStatus MemFile::Write(const void* buf, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  data_.insert(data_.end(), p, p + n);
  return olk::IoStatus::kOk;
}

std::vector<uint8_t> MakePatch(const Tree& from, const Tree& to, olk::BuildStats* stats,
                               const olk::BuildOptions& options) {
  TempDir tmp;
  WriteTree(tmp.Sub("old"), from);
  WriteTree(tmp.Sub("new"), to);
  auto old_fs = olk::NewNativeFileSystem(tmp.Sub("old"));
  auto new_fs = olk::NewNativeFileSystem(tmp.Sub("new"));
  MemFile out;
  std::string error;
  olk::Result r = olk::BuildPatch(*old_fs, *new_fs, out, options, stats, &error);
  EXPECT_EQ(r, olk::Result::kOk) << error;
  return out.data();
}

std::vector<uint8_t> SealEntries(const std::vector<olk::PatchEntry>& entries) {
  std::vector<uint8_t> manifest;
  olk::AppendManifest(entries, &manifest);
  std::vector<uint8_t> out;
  olk::AppendPatchHead(static_cast<uint32_t>(entries.size()), 1, manifest.size(), manifest, 0, &out);
  out.resize(out.size() + olk::kTrailerSize);
  Reseal(&out);
  return out;
}

void Reseal(std::vector<uint8_t>* patch) {
  const size_t body = patch->size() - 16;
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, XXH3_128bits(patch->data(), body));
  std::memcpy(patch->data() + body, c.digest, 16);
}

bool FaultyFs::Change(const std::string& what) {
  if (frozen()) return false;
  ++mutations;
  if (on_change) on_change(what);
  return true;
}

namespace {
class BudgetFile : public olk::File {
 public:
  BudgetFile(std::unique_ptr<olk::File> base, FaultyFs* fs) : base_(std::move(base)), fs_(fs) {}
  olk::IoStatus ReadAt(uint64_t o, void* b, size_t n, size_t* g) override { return base_->ReadAt(o, b, n, g); }
  olk::IoStatus Write(const void* b, size_t n) override {
    if (fs_->frozen()) return olk::IoStatus::kIoError;
    int64_t* budget = fs_->budget();
    if (*budget >= 0) {
      if (static_cast<int64_t>(n) > *budget) {
        base_->Write(b, static_cast<size_t>(*budget));
        *budget = 0;
        return olk::IoStatus::kDiskFull;
      }
      *budget -= static_cast<int64_t>(n);
    }
    return base_->Write(b, n);
  }
  olk::IoStatus Flush() override { return base_->Flush(); }
  olk::IoStatus Close() override { return base_->Close(); }
  uint64_t Size() const override { return base_->Size(); }

 private:
  std::unique_ptr<olk::File> base_;
  FaultyFs* fs_;
};
}  // namespace

olk::IoStatus FaultyFs::CreateNew(const std::string& p, std::unique_ptr<olk::File>* f) {
  if (!create_fails.empty() && p.compare(0, create_fails.size(), create_fails) == 0) return create_status;
  if (!Change("create " + p)) return olk::IoStatus::kIoError;
  std::unique_ptr<olk::File> base;
  olk::IoStatus s = base_->CreateNew(p, &base);
  if (s == olk::IoStatus::kOk) f->reset(new BudgetFile(std::move(base), this));
  return s;
}

olk::IoStatus FaultyFs::Rename(const std::string& from, const std::string& to) {
  if (!locked.empty() && (from == locked || to == locked)) return olk::IoStatus::kInUse;
  if (!Change("rename " + from + " -> " + to)) return olk::IoStatus::kIoError;
  return base_->Rename(from, to);
}

olk::IoStatus FaultyFs::LinkFile(const std::string& from, const std::string& to) {
  if (!create_fails.empty() && to.compare(0, create_fails.size(), create_fails) == 0) return create_status;
  if (!locked.empty() && (from == locked || to == locked)) return olk::IoStatus::kInUse;
  if (!Change("link " + from + " -> " + to)) return olk::IoStatus::kIoError;
  return base_->LinkFile(from, to);
}

olk::IoStatus FaultyFs::RemoveFile(const std::string& p) {
  if (!Change("remove " + p)) return olk::IoStatus::kIoError;
  return base_->RemoveFile(p);
}

olk::IoStatus FaultyFs::MakeDir(const std::string& p) {
  if (!Change("mkdir " + p)) return olk::IoStatus::kIoError;
  return base_->MakeDir(p);
}

olk::IoStatus FaultyFs::RemoveDir(const std::string& p) {
  if (!Change("rmdir " + p)) return olk::IoStatus::kIoError;
  return base_->RemoveDir(p);
}

olk::IoStatus FaultyFs::FreeSpace(uint64_t* bytes) {
  if (free_space != UINT64_MAX) {
    *bytes = free_space;
    return olk::IoStatus::kOk;
  }
  return base_->FreeSpace(bytes);
}

namespace {
CallbackRecorder* g_recorder = nullptr;

const char* Record(uint32_t id, const void* param) {
  Note n{id, std::string(), 0};
  if ((id >= 1 && id <= 4) || id == 7) n.text = static_cast<const char*>(param);
  if (id == 5 || id == 6) n.value = *static_cast<const uint32_t*>(param);
  if (g_recorder) {
    g_recorder->notes.push_back(n);
    if (g_recorder->on_note) g_recorder->on_note(n);
  }
  return "";
}
}  // namespace

CallbackRecorder::CallbackRecorder() { g_recorder = this; }
CallbackRecorder::~CallbackRecorder() { g_recorder = nullptr; }
olk::ProgressCallback CallbackRecorder::callback() const { return Record; }

olk::Result Apply(const std::string& dir, const std::vector<uint8_t>& patch, olk::FileSystem* fs,
                  olk::ProgressCallback cb) {
  MemFile file(patch);
  std::unique_ptr<olk::FileSystem> native;
  if (!fs) {
    native = olk::NewNativeFileSystem(dir);
    fs = native.get();
  }
  olk::ApplyOptions options;
  options.callback = cb;
  options.durable = false;
  return olk::ApplyPatch(*fs, file, options);
}

olk::Result EncodeAndDecode(const olk::DeltaStreams& streams, const Bytes& from, size_t new_size, Bytes* payload,
                            Bytes* out) {
  olk::CoreBudget budget(0);
  olk::PatchEntry e;
  if (!olk::EncodeDeltaApart(streams, olk::Effort::kFast, &budget, 0, &e, payload)) return olk::Result::kNoMemory;
  e.kind = olk::EntryKind::kChangeFile;
  e.old_size = from.size();
  e.new_size = new_size;
  MemFile patch(*payload), old_file(from);
  VectorSink sink;
  const olk::Result r = olk::DecodePayload(olk::PatchInfo(), e, patch, &old_file, sink);
  *out = sink.out;
  return r;
}

}  // namespace olktest
