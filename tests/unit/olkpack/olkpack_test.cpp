// The olkpack program as a user runs it: exit status, stdout, stderr and
// the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "olkpack_fixture.h"

using namespace olkpack_test;

namespace {

namespace fs = std::filesystem;

TEST_F(OlkpackTest, PacksTheShippedLayoutAndListsAndExtractsIt) {
  const std::string stub = "MZ" + Bytes(62976 - 2, 3);
  WriteFile("stub.exe", stub);
  WriteMembers();

  Result pack = Pack("stub.exe", "olkpatch.exe");
  ASSERT_EQ(pack.status, 0) << pack.err;
  EXPECT_EQ(pack.err, "");

  const std::string packed = ReadFile("olkpatch.exe");
  ASSERT_EQ(packed.size(), 267877u + 100000u + 16u);
  EXPECT_EQ(packed.substr(0, stub.size()), stub);
  EXPECT_EQ(packed.substr(62976, 65536 - 62976), std::string(65536 - 62976, '\0'));
  EXPECT_EQ(packed.substr(packed.size() - 16),
            std::string("\x00\x00\x01\x00", 4) + std::string("EmbedFs 1.0", 12));

  Result list = Run({"list", "olkpatch.exe"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out,
            "directory at 65536, 3 members\n"
            "0\tversionInfoFile.txt\t12\t65625\n"
            "1\tpatcheng.dll\t202240\t65637\n"
            "2\tOLK.2.06.3550-2.06.3551.pat\t100000\t267877\n");

  fs::create_directory(root() / "out");
  for (const char* name : {"versionInfoFile.txt", "patcheng.dll", "OLK.2.06.3550-2.06.3551.pat"}) {
    Result extract = Run({"extract", "olkpatch.exe", name, "-o", "out/x.bin"});
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(ReadFile("out/x.bin"), ReadFile(name)) << name;
  }
  // Looked up as the installer looks it up.
  Result upper = Run({"extract", "olkpatch.exe", "VERSIONINFOFILE.TXT", "-o", "v.txt"});
  EXPECT_EQ(upper.status, 0) << upper.err;
  EXPECT_EQ(ReadFile("v.txt"), "3550\r\n3551\r\n");
}

TEST_F(OlkpackTest, PutsTheDirectoryOnTheNext64KiBBoundary) {
  WriteMembers();
  const struct {
    size_t stub;
    const char* header;
  } cases[] = {
      {1, "directory at 65536, 3 members\n"},
      {65535, "directory at 65536, 3 members\n"},
      {65536, "directory at 65536, 3 members\n"},  // already on a boundary
      {65537, "directory at 131072, 3 members\n"},
  };
  for (const auto& c : cases) {
    WriteFile("stub.exe", "M" + std::string(c.stub - 1, 'z'));
    ASSERT_EQ(Pack("stub.exe", "o.exe").status, 0) << c.stub;
    Result list = Run({"list", "o.exe"});
    EXPECT_EQ(list.out.substr(0, list.out.find('\n') + 1), c.header) << c.stub;
    EXPECT_EQ(ReadFile("o.exe").substr(0, c.stub), ReadFile("stub.exe")) << c.stub;
  }
}

struct BadInput {
  std::vector<std::string> args;
  std::string prefix;  // how the one error line starts
  std::string cause;   // what it must say
};

// Every failure: exit status 1, exactly one line on stderr naming the file
// and the cause, nothing on stdout, and no file written, replaced or left
// behind (good.out, an earlier good output, stays as it was).
TEST_F(OlkpackTest, RefusesBadInputWithOneLineAndNoOutput) {
  WriteFile("stub.exe", "MZ" + Bytes(1000, 4));
  WriteMembers();
  ASSERT_EQ(Pack("stub.exe", "packed.exe").status, 0);
  const std::string packed = ReadFile("packed.exe");
  WriteFile("plain.exe", "MZ" + Bytes(5000, 5));
  WriteFile("tiny.exe", "MZ");
  std::string magic = packed;
  magic.replace(magic.size() - 12, 12, std::string("EmbedFs 2.0", 12));
  WriteFile("magic.exe", magic);
  std::string truncated = packed;
  truncated[65536] = '\x04';  // four entries in a directory that holds three
  WriteFile("truncated.exe", truncated);
  WriteFile("cut.exe", packed.substr(0, 70000) + packed.substr(packed.size() - 16));
  WriteFile("sub/VERSIONINFOFILE.TXT", "1\r\n2\r\n");
  WriteFile("good.out", "an earlier good output");
  fs::create_directory(root() / "folder.exe");

  const std::vector<BadInput> cases = {
      {{"list", "plain.exe"}, "olkpack: plain.exe: ", "no EmbedFs archive"},
      {{"list", "tiny.exe"}, "olkpack: tiny.exe: ", "shorter than the 16-byte trailer"},
      {{"list", "magic.exe"}, "olkpack: magic.exe: ", "wrong archive magic \"EmbedFs 2.0\""},
      {{"list", "truncated.exe"}, "olkpack: truncated.exe: ", "truncated directory"},
      {{"list", "cut.exe"}, "olkpack: cut.exe: ", "member data runs past the end"},
      {{"list", "missing.exe"}, "olkpack: missing.exe: ", "No such file or directory"},
      {{"list", "folder.exe"}, "olkpack: folder.exe: ", "is a folder"},
      {{"extract", "packed.exe", "nothere.bin", "-o", "good.out"}, "olkpack: packed.exe: ",
       "no member named \"nothere.bin\""},
      {{"extract", "plain.exe", "patcheng.dll", "-o", "good.out"}, "olkpack: plain.exe: ",
       "no EmbedFs archive"},
      {{"extract", "packed.exe", "patcheng.dll", "-o", "nofolder/x.dll"},
       "olkpack: nofolder/x.dll: ", "cannot create the output file"},
      {{"pack", "--stub", "missing.exe", "-o", "good.out", "patcheng.dll"},
       "olkpack: missing.exe: ", "No such file or directory"},
      {{"pack", "--stub", "stub.exe", "-o", "good.out", "patcheng.dll", "missing.pat"},
       "olkpack: missing.pat: ", "No such file or directory"},
      {{"pack", "--stub", "stub.exe", "-o", "good.out", "versionInfoFile.txt",
        "sub/VERSIONINFOFILE.TXT"},
       "olkpack: sub/VERSIONINFOFILE.TXT: ", "already taken by versionInfoFile.txt"},
      {{"pack", "--stub", "packed.exe", "-o", "good.out", "patcheng.dll"},
       "olkpack: packed.exe: ", "already carries an EmbedFs archive"},
      {{"pack", "--stub", "stub.exe", "-o", "nofolder/x.exe", "patcheng.dll"},
       "olkpack: nofolder/x.exe: ", "cannot create the output file"},
      {{}, "olkpack: ", "no command given"},
      {{"frobnicate"}, "olkpack: ", "unknown command \"frobnicate\""},
      {{"list"}, "olkpack list: ", "usage: olkpack list FILE.exe"},
      {{"pack", "--stub", "stub.exe", "patcheng.dll"}, "olkpack pack: ", "usage: olkpack pack"},
      {{"pack", "--stub", "stub.exe", "-o", "good.out"}, "olkpack pack: ", "usage: olkpack pack"},
      {{"extract", "packed.exe", "-o", "good.out"}, "olkpack extract: ", "usage: olkpack extract"},
  };
  const std::set<std::string> before = Files();
  for (const BadInput& c : cases) {
    std::string what;
    for (const std::string& a : c.args) what += a + " ";
    Result r = Run(c.args);
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err.rfind(c.prefix, 0), 0u) << what << "\n" << r.err;
    EXPECT_NE(r.err.find(c.cause), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << "\n" << r.err;
    EXPECT_EQ(Files(), before) << what;
    EXPECT_EQ(ReadFile("good.out"), "an earlier good output") << what;
  }
}

}  // namespace

namespace {

// From two client builds to an installer whose patch data turns one into
// the other; every refusal is one line and leaves no output.
TEST_F(OlkpackTest, InstallerFromTwoBuilds) {
  WriteFile("stub.exe", "MZ" + Bytes(30000, 4));
  WriteFile("engine.bin", "MZ" + Bytes(5000, 5));
  WriteFile("old/vorn.dll", "MZ" + Bytes(70000, 6));
  WriteFile("old/zorp.ini", "build=3550\r\n");
  WriteFile("new/vorn.dll", "MZ" + Bytes(70000, 6) + "more");
  WriteFile("new/zorp.ini", "build=3551\r\n");

  const std::vector<std::string> common = {"old", "new", "--stub", "stub.exe",
                                           "--engine", "engine.bin", "-o"};
  auto installer = [&](const std::string& from, const std::string& to, const std::string& out) {
    std::vector<std::string> args = {"installer", "--from", from, "--to", to};
    args.insert(args.end(), common.begin(), common.end());
    args.push_back(out);
    return Run(args);
  };

  Result ok = installer("3550", "3551", "olkpatch3551.exe");
  ASSERT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("0\tversionInfoFile.txt\t12\t"), std::string::npos) << ok.out;
  EXPECT_NE(ok.out.find("1\tpatcheng.dll\t5002\t"), std::string::npos) << ok.out;
  EXPECT_NE(ok.out.find("2\tOLK.3550-3551.pat\t"), std::string::npos) << ok.out;
  ASSERT_EQ(Run({"extract", "olkpatch3551.exe", "OLK.3550-3551.pat", "-o", "p.pat"}).status, 0);
  fs::create_directories(root() / "client");
  fs::copy(root() / "old", root() / "client", fs::copy_options::recursive);
  EXPECT_EQ(Run({"apply", "client", "p.pat", "--quiet", "--no-sync"}).status, 0);
  EXPECT_EQ(ReadFile("client/vorn.dll"), ReadFile("new/vorn.dll"));
  EXPECT_EQ(ReadFile("client/zorp.ini"), "build=3551\r\n");

  const std::pair<std::vector<std::string>, std::string> refusals[] = {
      {{"35a", "3551"}, "olkpack: --from 35a: not a build number\n"},
      {{"3550", ""}, ""},  // usage
      {{"3550", "3550"},
       "olkpack: --from 3550 --to 3550: the builds are equal: there is nothing to patch\n"},
  };
  for (const auto& [builds, line] : refusals) {
    Result r = installer(builds[0], builds[1], "refused.exe");
    EXPECT_EQ(r.status, 1);
    if (!line.empty()) EXPECT_EQ(r.err, line);
    EXPECT_FALSE(fs::exists(root() / "refused.exe"));
  }
  Result missingTree = Run({"installer", "--from", "1", "--to", "2", "gone", "new", "--stub",
                            "stub.exe", "--engine", "engine.bin", "-o", "refused.exe"});
  EXPECT_EQ(missingTree.status, 1);
  EXPECT_EQ(missingTree.err, "olkpack: gone: not a readable folder\n");
  // No scratch folder is left beside the output.
  for (const auto& e : fs::directory_iterator(root()))
    EXPECT_EQ(e.path().filename().string().rfind(".olkpack-installer", 0), std::string::npos);
}

}  // namespace
