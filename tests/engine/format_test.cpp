// Reading patch data: what is refused before anything is touched.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "engine_test_support.h"
#include "hash.h"
#include "patch_format.h"
#include "synthetic_pe.h"

using olktest::kDir;
using olktest::Tree;

namespace {

olk::Result Read(const std::vector<uint8_t>& data, olk::PatchInfo* info = nullptr) {
  olktest::MemFile f(data);
  olk::PatchInfo local;
  return olk::ReadPatch(f, info ? info : &local);
}

std::vector<uint8_t> WithEntries(const std::vector<olk::PatchEntry>& entries) { return olktest::SealEntries(entries); }

olk::PatchEntry Entry(olk::EntryKind kind, const std::string& path) {
  olk::PatchEntry e;
  e.kind = kind;
  e.path = path;
  return e;
}

TEST(PatchFormat, SafePaths) {
  struct {
    const char* path;
    bool safe;
  } cases[] = {
      {"olk.exe", true},
      {"data\\maps\\zone 1.map", true},
      {"\xC3\xA9t\xC3\xA9\\\xE6\x97\xA5\xE6\x9C\xAC.txt", true},  // beyond any ANSI code page
      {".hidden", true},
      {"", false},
      {"\\olk.exe", false},             // rooted
      {"C:\\Windows\\x.dll", false},    // drive
      {"C:x.dll", false},               // drive-relative
      {"\\\\server\\share\\x", false},  // UNC
      {"..\\x.dll", false},
      {"data\\..\\..\\x.dll", false},
      {"data\\.\\x.dll", false},
      {"data\\\\x.dll", false},  // empty component
      {"data\\", false},
      {"data/x.dll", false},            // other separator
      {"olk.exe:stream", false},        // alternate data stream
      {"olk.exe::$DATA", false},
      {"CON", false},
      {"data\\nul.txt", false},
      {"com1", false},
      {"LPT9.log", false},
      {"aux .txt", false},
      {"COM\xC2\xB9", false},  // COM with superscript one
      {"CONOUT$", false},
      {"console", true},
      {"com10", true},
      {"name.", false},  // Windows drops trailing dots and blanks
      {"name ", false},
      {"a<b", false},
      {"a|b", false},
      {"a?b", false},
      {"a*b", false},
      {"a\"b", false},
      {"tab\there", false},
      {"\xC0\xAF", false},          // overlong encoding
      {"\xED\xA0\x80", false},      // surrogate
      {"\xFF", false},
      {".olkpatch\\journal", false},  // the engine's own folder
      {".OLKPATCH", false},
      {"data\\.olkpatch", true},
  };
  for (const auto& c : cases) EXPECT_EQ(olk::IsSafeRelativePath(c.path), c.safe) << c.path;
}

TEST(PatchFormat, RefusesDamagedOrForeignData) {
  std::vector<uint8_t> good = olktest::MakePatch({{"a.txt", "one"}}, {{"a.txt", "two"}, {"b.txt", "three"}});
  ASSERT_EQ(Read(good), olk::Result::kOk);

  // Every single byte changed: refused (the checksum covers all).
  for (size_t i = 0; i < good.size(); ++i) {
    std::vector<uint8_t> bad = good;
    bad[i] ^= 0x01;
    EXPECT_EQ(Read(bad), olk::Result::kBadPatch) << "byte " << i;
  }
  // Cut short, grown, empty.
  EXPECT_EQ(Read(std::vector<uint8_t>(good.begin(), good.end() - 1)), olk::Result::kBadPatch);
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_EQ(Read(longer), olk::Result::kBadPatch);
  EXPECT_EQ(Read({}), olk::Result::kBadPatch);

  // A version this reader does not know (the first one, long retired, or
  // a later one), sealed properly, is still refused.
  for (uint8_t version : {uint8_t{1}, static_cast<uint8_t>(olk::kPatchVersion + 1)}) {
    std::vector<uint8_t> other = good;
    other[8] = version;
    olktest::Reseal(&other);
    EXPECT_EQ(Read(other), olk::Result::kBadPatch) << "version " << int(version);
  }

  // A read error of the patch file.
  olktest::MemFile failing(good);
  failing.fail_reads_from = good.size() / 2;
  olk::PatchInfo info;
  EXPECT_EQ(olk::ReadPatch(failing, &info), olk::Result::kCannotOpenPatch);
}

// Patch data of one added file whose stream lies in the solid area or
// apart, with the areas as given: stream references and areas must agree
// exactly.
TEST(PatchFormat, StreamsMustFillTheirAreasExactly) {
  struct Case {
    const char* name;
    uint8_t codec;          // 0: in the solid area, 1: stored apart
    uint64_t index_claims;  // extra bytes the index says it holds
    std::string solid, separate;
    olk::Result expected;
  };
  const Case cases[] = {
      {"in the solid area", 0, 0, "hello", "", olk::Result::kOk},
      {"kept apart", 1, 0, "", "hello", olk::Result::kOk},
      {"solid area longer than its streams", 0, 0, "hello!", "", olk::Result::kBadPatch},
      {"solid area shorter than its streams", 0, 0, "hell", "", olk::Result::kBadPatch},
      {"payload area longer than its streams", 1, 0, "", "hello!", olk::Result::kBadPatch},
      {"payload area shorter than its streams", 1, 0, "", "hell", olk::Result::kBadPatch},
      {"stream apart but bytes in the solid area", 1, 0, "hello", "", olk::Result::kBadPatch},
      {"index claims more than it holds", 0, 1, "hello", "", olk::Result::kBadPatch},
      {"index beyond the reader's limit", 0, olk::kMaxIndexSize, "hello", "", olk::Result::kBadPatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    olk::PatchEntry e = Entry(olk::EntryKind::kAddFile, "a.txt");
    e.new_size = 5;
    e.new_hash = olk::HashBytes("hello", 5);
    e.streams[0].codec = c.codec;
    std::vector<uint8_t> index;
    olk::AppendManifest({e}, &index);
    index.insert(index.end(), c.solid.begin(), c.solid.end());
    std::vector<uint8_t> out;
    olk::AppendPatchHead(1, 1, index.size() + c.index_claims, index, c.separate.size(), &out);
    out.insert(out.end(), c.separate.begin(), c.separate.end());
    out.resize(out.size() + olk::kTrailerSize);
    olktest::Reseal(&out);
    olk::PatchInfo info;
    ASSERT_EQ(Read(out, &info), c.expected);
    if (c.expected == olk::Result::kOk) {
      ASSERT_EQ(info.entries.size(), 1u);
      EXPECT_EQ(info.entries[0].streams[0].decoded_size, 5u);
    }
  }
}

TEST(PatchFormat, RefusesEntriesThatCannotBeAppliedTogether) {
  using K = olk::EntryKind;
  struct {
    const char* what;
    std::vector<olk::PatchEntry> entries;
    bool ok;
  } cases[] = {
      {"file to folder", {Entry(K::kRemoveFile, "x"), Entry(K::kAddFolder, "x"), Entry(K::kAddFile, "x\\y")}, true},
      {"folder to file", {Entry(K::kRemoveFile, "x\\y"), Entry(K::kRemoveFolder, "x"), Entry(K::kAddFile, "x")}, true},
      {"name changes case", {Entry(K::kRemoveFile, "README"), Entry(K::kAddFile, "readme")}, true},
      {"same folder twice", {Entry(K::kAddFolder, "x"), Entry(K::kAddFolder, "X")}, false},
      {"file changed and removed", {Entry(K::kChangeFile, "x"), Entry(K::kRemoveFile, "x")}, false},
      {"added inside a removed folder", {Entry(K::kRemoveFolder, "x"), Entry(K::kAddFolder, "x\\y")}, false},
      {"added inside a new file", {Entry(K::kAddFile, "x"), Entry(K::kAddFile, "x\\y")}, false},
      {"removed inside a new folder", {Entry(K::kAddFolder, "x"), Entry(K::kRemoveFile, "x\\y")}, false},
      {"removed inside a changed file", {Entry(K::kChangeFile, "x"), Entry(K::kRemoveFile, "x\\y")}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(olk::CheckManifestStructure(c.entries), c.ok) << c.what;

  // A path that must never be written, in patch data that is otherwise
  // sound and correctly sealed.
  for (const char* path : {"..\\evil.dll", "C:\\evil.dll", "evil.dll:hidden", "NUL"}) {
    std::vector<olk::PatchEntry> entries = {Entry(K::kAddFolder, "ok"), Entry(K::kAddFolder, path)};
    EXPECT_EQ(Read(WithEntries(entries)), olk::Result::kBadPatch) << path;
  }
  EXPECT_EQ(Read(WithEntries({Entry(K::kAddFolder, "ok")})), olk::Result::kOk);
}

// Builds a patch from `from` to `to`; the builder's error text in *error.
olk::Result Build(const Tree& from, const Tree& to, std::string* error) {
  olktest::TempDir tmp;
  olktest::WriteTree(tmp.Sub("old"), from);
  olktest::WriteTree(tmp.Sub("new"), to);
  auto old_fs = olk::NewNativeFileSystem(tmp.Sub("old"));
  auto new_fs = olk::NewNativeFileSystem(tmp.Sub("new"));
  olktest::MemFile out;
  return olk::BuildPatch(*old_fs, *new_fs, out, olk::BuildOptions(), nullptr, error);
}

// Names are the same to Windows when their UTF-16 code units are after
// upper-casing each (the table comes from the Unicode Character Database).
TEST(PatchFormat, NamesCompareAsWindowsComparesThem) {
  struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"readme.TXT", "README.txt", true},
      {"\xC3\x84.txt", "\xC3\xA4.txt", true},                                      // Ä ä
      {"\xC3\xBF", "\xC5\xB8", true},                                              // ÿ Ÿ (across blocks)
      {"\xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1", "\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91", true},  // Σοφία ΣΟΦΊΑ
      {"\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5", "\xD0\x94\xD0\x90\xD0\x9D\xD0\x9D\xD0\xAB\xD0\x95", true},  // данные ДАННЫЕ
      {"\xE2\xB1\xA5", "\xC8\xBA", true},   // ⱥ Ⱥ: upper case takes fewer UTF-8 bytes
      {"\xEF\xBD\x81", "\xEF\xBC\xA1", true},  // fullwidth a A
      {"stra\xC3\x9F" "e", "STRASSE", false},  // ß has no single upper-case letter
      {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", false},  // beyond the plane: code units compared as they are
      {"e\xCC\x81", "\xC3\xA9", false},      // no normalization
      {"\xC3\xA9", "\xC3\x89", true},        // é É
      // Letters that only fold into another's upper case keep their own
      // names on Windows: dotless i, final sigma, micro sign.
      {"\xC4\xB1", "I", false},
      {"\xCF\x82", "\xCE\xA3", false},
      {"\xC2\xB5", "\xCE\x9C", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(olk::FoldCase(c.a) == olk::FoldCase(c.b), c.same) << c.a << " / " << c.b;
    // The same name twice in one patch is refused whatever its case.
    using K = olk::EntryKind;
    EXPECT_EQ(olk::CheckManifestStructure({Entry(K::kAddFolder, c.a), Entry(K::kAddFolder, c.b)}), !c.same)
        << c.a << " / " << c.b;
  }
  // Bytes that are not UTF-8 are kept as they are.
  EXPECT_EQ(olk::FoldCase("a\xFF\xC3"), "A\xFF\xC3");

  // The builder refuses a new tree that Windows could not hold, and says
  // which names clash.
  std::string error;
  EXPECT_EQ(Build({}, {{"\xC3\x84.txt", "1"}, {"\xC3\xA4.txt", "2"}}, &error), olk::Result::kCannotCreate);
  EXPECT_NE(error.find("\xC3\x84.txt"), std::string::npos) << error;
  EXPECT_NE(error.find("\xC3\xA4.txt"), std::string::npos) << error;

  // A rename that only changes a letter's case is one the reader takes.
  olk::PatchInfo info;
  olktest::MemFile renamed(olktest::MakePatch({{"\xC3\x84.txt", "1"}}, {{"\xC3\xA4.txt", "1"}}));
  ASSERT_EQ(olk::ReadPatch(renamed, &info), olk::Result::kOk);
  EXPECT_EQ(info.entries.size(), 2u);
}

// A name of the form Windows gives a long name as its short alias could
// reach another file on a player's disk: patch data never names one.
TEST(PatchFormat, ShortNameFormsAreRefused) {
  struct {
    const char* path;
    bool short_form;
  } cases[] = {
      {"DATA~1.PAK", true},
      {"data~1.pak", true},
      {"PROGRA~1", true},
      {"data\\SOUND~12\\a.wav", true},    // a folder on the way
      {"data\\SOUNDS~12\\a.wav", false},  // 9 characters: too long for a short name
      {"5B9A~1.TXT", true},
      {"ABCDEF~1.TXT", true},
      {"ABCDEFGHI~1.TXT", false},  // base longer than 8
      {"DATA~1.PAKX", false},      // extension longer than 3
      {"DATA~1.A.B", false},       // two dots
      {"DATA~X.PAK", false},
      {"DATA~.PAK", false},
      {"DATA1.PAK", false},
      {"~1.PAK", true},
      {"data.pak", false},
      {"\xC3\xA4\xC3\xA4~1.txt", true},  // counted in characters, not bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(olk::HasShortNameForm(c.path), c.short_form) << c.path;
    if (olk::IsSafeRelativePath(c.path)) {
      EXPECT_EQ(Read(WithEntries({Entry(olk::EntryKind::kAddFolder, c.path)})),
                c.short_form ? olk::Result::kBadPatch : olk::Result::kOk)
          << c.path;
    }
  }

  std::string error;
  EXPECT_EQ(Build({{"a.txt", "1"}}, {{"a.txt", "1"}, {"DATA~1.PAK", "new"}}, &error), olk::Result::kCannotCreate);
  EXPECT_NE(error.find("'DATA~1.PAK'"), std::string::npos) << error;
  EXPECT_NE(error.find("short name"), std::string::npos) << error;
  // One that both builds hold unchanged is not in the patch: no harm.
  EXPECT_EQ(Build({{"OLD~1.DAT", "same"}, {"a.txt", "1"}}, {{"OLD~1.DAT", "same"}, {"a.txt", "2"}}, &error),
            olk::Result::kOk)
      << error;
}

TEST(PatchFormat, BuilderOutputIsDeterministicAndListsOnlyChanges) {
  Tree from = {{"same.bin", std::string(5000, 's')}, {"gone.txt", "x"}, {"dir", kDir}, {"dir\\c.txt", "old"}};
  Tree to = {{"same.bin", std::string(5000, 's')}, {"new.txt", "y"}, {"dir", kDir}, {"dir\\c.txt", "new!"},
             {"empty", kDir}};
  olk::BuildStats stats;
  std::vector<uint8_t> p1 = olktest::MakePatch(from, to, &stats);
  EXPECT_TRUE(p1 == olktest::MakePatch(from, to));
  EXPECT_EQ(stats.files_added, 1u);
  EXPECT_EQ(stats.files_removed, 1u);
  EXPECT_EQ(stats.files_changed, 1u);
  EXPECT_EQ(stats.files_unchanged, 1u);
  EXPECT_EQ(stats.folders_added, 1u);
  olk::PatchInfo info;
  ASSERT_EQ(Read(p1, &info), olk::Result::kOk);
  for (const auto& e : info.entries) EXPECT_NE(e.path, "same.bin");
  EXPECT_EQ(info.entries.size(), 4u);
}

TEST(PatchFormat, CommandLineOfTheDllEntry) {
  std::string dir, pat;
  EXPECT_TRUE(olk::SplitCommandLine("\"C:\\Games\\OLK\" \"C:\\Temp\\OLK.2.06.3550-2.06.3551.pat\"", &dir, &pat));
  EXPECT_EQ(dir, "C:\\Games\\OLK");
  EXPECT_EQ(pat, "C:\\Temp\\OLK.2.06.3550-2.06.3551.pat");
  EXPECT_TRUE(olk::SplitCommandLine("\"C:\\Program Files\\OLK\\\" \"C:\\a b\\x.pat\"", &dir, &pat));
  EXPECT_EQ(dir, "C:\\Program Files\\OLK\\");
  EXPECT_EQ(pat, "C:\\a b\\x.pat");
  EXPECT_TRUE(olk::SplitCommandLine("C:\\OLK C:\\x.pat", &dir, &pat));
  for (const char* bad : {"", "\"C:\\OLK\"", "\"C:\\OLK\" \"x.pat\" \"more\"", "\"C:\\OLK \"x.pat\"", "\"\" \"x.pat\"",
                          "\"C:\\OLK\"\"x.pat\""})
    EXPECT_FALSE(olk::SplitCommandLine(bad, &dir, &pat)) << bad;
  EXPECT_FALSE(olk::SplitCommandLine(nullptr, &dir, &pat));
}

}  // namespace

// Patch data written by earlier format versions (committed as it was
// written, with the two builds it joins) keeps applying: installers
// already on a CDN must not stop working when the writer moves on. The
// version 3 data has an executable delta and a renamed file.
TEST(PatchFormat, EarlierVersionsStillApply) {
  for (uint16_t version : {2, 3}) {
    const std::string fixtures = std::string(OLK_TEST_FIXTURES) + "/format" + std::to_string(version);
    FILE* f = std::fopen((fixtures + "/patch.pat").c_str(), "rb");
    ASSERT_NE(f, nullptr) << fixtures;
    std::vector<uint8_t> patch;
    for (int c; (c = std::fgetc(f)) != EOF;) patch.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    olk::PatchInfo info;
    ASSERT_EQ(Read(patch, &info), olk::Result::kOk) << version;
    EXPECT_EQ(info.version, version);

    olktest::TempDir dir;
    olktest::WriteTree(dir.path(), olktest::ReadTree(fixtures + "/old"));
    ASSERT_EQ(olktest::Apply(dir.path(), patch), olk::Result::kOk) << version;
    Tree want = olktest::ReadTree(fixtures + "/new");
    want["empty_folder"] = kDir;  // git keeps no empty folder
    EXPECT_EQ(olktest::ReadTree(dir.path()), want) << version;
  }
}

// Patch data for installers in the field that read only version 2: the
// builder leaves out what version 2 lacks (sources of added files,
// executable deltas) and the result applies.
TEST(PatchFormat, WritesVersionTwoOnRequest) {
  const std::string pack(70000, 'p');
  const olktest::Bytes program = olktest::LinkedProgram(1), relinked = olktest::LinkedProgram(1, 100, 13);
  const Tree from = {{"data_3550.pak", pack}, {"prog.exe", std::string(program.begin(), program.end())}};
  const Tree to = {{"data_3551.pak", pack}, {"prog.exe", std::string(relinked.begin(), relinked.end())}};
  olk::BuildOptions options;
  options.format_version = 2;
  const std::vector<uint8_t> patch = olktest::MakePatch(from, to, nullptr, options);
  olk::PatchInfo info;
  ASSERT_EQ(Read(patch, &info), olk::Result::kOk);
  EXPECT_EQ(info.version, 2);
  for (const olk::PatchEntry& e : info.entries) {
    EXPECT_TRUE(e.source.empty()) << e.path;
    EXPECT_NE(e.encoding, olk::Encoding::kExecutableDelta) << e.path;
  }
  olktest::TempDir dir;
  olktest::WriteTree(dir.path(), from);
  ASSERT_EQ(olktest::Apply(dir.path(), patch), olk::Result::kOk);
  EXPECT_EQ(olktest::ReadTree(dir.path()), to);

  // The latest format has both; a version no engine writes is refused.
  ASSERT_EQ(Read(olktest::MakePatch(from, to), &info), olk::Result::kOk);
  EXPECT_EQ(info.version, olk::kPatchVersion);
  for (const olk::PatchEntry& e : info.entries) {
    if (e.path == "data_3551.pak") {
      EXPECT_EQ(e.source, "data_3550.pak");
    } else if (e.path == "prog.exe") {
      EXPECT_EQ(e.encoding, olk::Encoding::kExecutableDelta);
    }
  }
  options.format_version = olk::kPatchVersion + 1;
  olktest::MemFile out;
  auto a = olk::NewNativeFileSystem(dir.path()), b = olk::NewNativeFileSystem(dir.path());
  std::string error;
  EXPECT_EQ(olk::BuildPatch(*a, *b, out, options, nullptr, &error), olk::Result::kCannotCreate);
  EXPECT_NE(error.find("format version"), std::string::npos) << error;
}
