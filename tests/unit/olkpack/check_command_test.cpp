// olkpack check: support staff's look at a player's folder. It must name
// every file that stands in the way, end with the code the apply would
// give, and change nothing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "olkpack_fixture.h"

using namespace olkpack_test;

namespace {

TEST_F(OlkpackTest, CheckListsEveryFileInTheWayAndChangesNothing) {
  fs::create_directories(root() / "old/data");
  fs::create_directories(root() / "new/data");
  const std::pair<const char*, std::string> builds[] = {
      {"a.dll", Bytes(4000, 1)}, {"b.dat", Bytes(3000, 2)}, {"data/c.ini", "build=1\r\n"}, {"keep.txt", "keep"}};
  for (const auto& [name, bytes] : builds) {
    WriteFile(std::string("old/") + name, bytes);
    WriteFile(std::string("new/") + name, bytes + "+");
  }
  ASSERT_EQ(Run({"diff", "old", "new", "-o", "p.pat", "--quiet"}).status, 0);
  fs::copy("old", root() / "client", fs::copy_options::recursive);

  Result ok = Run({"check", "client", "p.pat"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("ok: the patch applies (4 files to write"), std::string::npos) << ok.out;

  WriteFile("client/a.dll", "edited by the player");
  fs::remove(root() / "client/data/c.ini");
  fs::remove(root() / "client/b.dat");
  fs::create_directory(root() / "client/b.dat");  // a folder where a file is changed
  const auto before = Files();
  Result r = Run({"check", "client", "p.pat"});
  EXPECT_EQ(r.status, 36) << r.out;  // a.dll comes first, as in the apply
  for (const char* name : {"a.dll", "b.dat", "data\\c.ini"})
    EXPECT_NE(r.out.find(name), std::string::npos) << name << "\n" << r.out;
  EXPECT_NE(r.out.find("the patch would stop with 36"), std::string::npos) << r.out;

  Result j = Run({"check", "client", "p.pat", "--json"});
  EXPECT_EQ(j.status, 36);
  const auto report = nlohmann::json::parse(j.out);
  EXPECT_EQ(report["result"], 36);
  EXPECT_EQ(report["findings"].size(), 3u);
  EXPECT_EQ(Files(), before);  // nothing changed, nothing left behind

  // The apply ends as the check said.
  EXPECT_EQ(Run({"apply", "client", "p.pat", "--quiet", "--no-sync"}).status, 36);

  // Its errors: one line, exit status 1.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"check"}, {"check", "client"}}) {
    Result e = Run(args);
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(std::count(e.err.begin(), e.err.end(), '\n'), 1) << e.err;
  }
  Result missing = Run({"check", "client", "nowhere.pat"});
  EXPECT_EQ(missing.status, 7);
}

}  // namespace
