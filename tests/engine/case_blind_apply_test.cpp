// Applying on a folder that ignores case the way Windows' file systems do:
// a rename that only changes a letter's case, beyond ASCII too, applies.
#include <gtest/gtest.h>

#include "engine_test_support.h"

using olktest::Tree;

namespace {

// How the folder below compares names: ASCII letters and the few other
// letters these tests use, without regard to case. (Its own small list, so
// that it does not depend on the engine's table it tests.)
std::string Blind(std::string s) {
  static const char* const kPairs[][2] = {
      {"\xC3\xA4", "\xC3\x84"},  // ä Ä
      {"\xD0\xB0", "\xD0\x90"},  // а А
      {"\xD0\xB4", "\xD0\x94"},  // д Д
  };
  for (const auto& p : kPairs)
    for (size_t at = s.find(p[0]); at != std::string::npos; at = s.find(p[0], at)) s.replace(at, 2, p[1]);
  for (char& ch : s)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return s;
}

// The native file layer with each path component matched to an existing
// entry without regard to case, as on Windows, so that "\xC3\xA4.txt"
// opens, replaces or renames "\xC3\x84.txt".
class CaseBlindFs : public olk::FileSystem {
 public:
  explicit CaseBlindFs(olk::FileSystem* base) : base_(base) {}

  olk::IoStatus Stat(const std::string& p, olk::EntryInfo* i) override { return base_->Stat(Resolve(p), i); }
  olk::IoStatus OpenRead(const std::string& p, std::unique_ptr<olk::File>* f) override {
    return base_->OpenRead(Resolve(p), f);
  }
  olk::IoStatus CreateNew(const std::string& p, std::unique_ptr<olk::File>* f) override {
    return base_->CreateNew(Resolve(p), f);
  }
  olk::IoStatus Rename(const std::string& from, const std::string& to) override {
    const std::string f = Resolve(from), t = Resolve(to);
    if (f == t) {  // the same entry: only its case changes
      const size_t cut = to.rfind('\\');
      return base_->Rename(f, t.substr(0, cut == std::string::npos ? 0 : cut + 1) +
                                  to.substr(cut == std::string::npos ? 0 : cut + 1));
    }
    return base_->Rename(f, t);
  }
  olk::IoStatus RemoveFile(const std::string& p) override { return base_->RemoveFile(Resolve(p)); }
  olk::IoStatus MakeDir(const std::string& p) override { return base_->MakeDir(Resolve(p)); }
  olk::IoStatus RemoveDir(const std::string& p) override { return base_->RemoveDir(Resolve(p)); }
  olk::IoStatus List(const std::string& p, std::vector<olk::DirEntry>* out) override {
    return base_->List(Resolve(p), out);
  }
  olk::IoStatus FreeSpace(uint64_t* bytes) override { return base_->FreeSpace(bytes); }
  olk::IoStatus SyncDir(const std::string& p) override { return base_->SyncDir(Resolve(p)); }

 private:
  // The path with each component that exists under another case spelled
  // as it exists.
  std::string Resolve(const std::string& path) {
    std::string out;
    size_t start = 0;
    while (start <= path.size() && !path.empty()) {
      size_t end = path.find('\\', start);
      if (end == std::string::npos) end = path.size();
      std::string name = path.substr(start, end - start);
      std::vector<olk::DirEntry> entries;
      if (base_->List(out, &entries) == olk::IoStatus::kOk) {
        for (const olk::DirEntry& e : entries) {
          if (Blind(e.name) == Blind(name)) {
            name = e.name;
            break;
          }
        }
      }
      out += (out.empty() ? "" : "\\") + name;
      start = end + 1;
    }
    return out;
  }
  olk::FileSystem* base_;
};

TEST(CaseBlindApply, RenameInCaseOnlyApplies) {
  struct Case {
    const char* what;
    Tree from, to;
  };
  const Case cases[] = {
      {"ASCII, same contents", {{"readme.txt", "1"}}, {{"README.txt", "1"}}},
      {"beyond ASCII, same contents", {{"\xC3\x84.txt", "1"}}, {{"\xC3\xA4.txt", "1"}}},
      {"beyond ASCII, new contents", {{"\xC3\x84.txt", "1"}}, {{"\xC3\xA4.txt", "2"}}},
      {"Cyrillic folder's file", {{"\xD0\x94", olktest::kDir}, {"\xD0\x94\\\xD0\xB0.txt", "x"}},
       {{"\xD0\x94", olktest::kDir}, {"\xD0\x94\\\xD0\x90.txt", "y"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    olktest::TempDir tmp;
    const std::string dir = tmp.Sub("install");
    olktest::WriteTree(dir, c.from);
    auto native = olk::NewNativeFileSystem(dir);
    CaseBlindFs fs(native.get());
    ASSERT_EQ(olktest::Apply(dir, olktest::MakePatch(c.from, c.to), &fs), olk::Result::kOk);
    EXPECT_EQ(olktest::ReadTree(dir), c.to);
  }
}

}  // namespace
