// Choosing what of two build trees goes into a patch: --exclude,
// --exclude-from and --links, applied alike to both trees.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "olkpack_fixture.h"

using namespace olkpack_test;
namespace fs = std::filesystem;

namespace {

class BuildTreeTest : public OlkpackTest {
 protected:
  // The paths of a patch's entries, with their kinds.
  std::set<std::string> Entries(const std::string& patch) {
    Result info = Run({"info", patch, "--json"});
    EXPECT_EQ(info.status, 0) << info.err;
    std::set<std::string> entries;
    const nlohmann::json report = nlohmann::json::parse(info.out);
    for (const auto& e : report["entries"])
      entries.insert(e["kind"].get<std::string>() + " " + e["path"].get<std::string>());
    return entries;
  }
  Result Diff(std::vector<std::string> extra, const std::string& out = "p.pat") {
    std::vector<std::string> args = {"diff", "old", "new", "-o", out, "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }
};

TEST_F(BuildTreeTest, ExcludePatterns) {
  fs::create_directories(root() / "old");
  for (const char* file : {"game.exe", "game.pdb", "Data/a.pak", "Data/Cache/x.bin", "Logs/run.txt",
                           "Logs/old/run.txt", "tools/Logs/keep.txt", "a.bin", "ab.bin", "Data/deep/er/t.TMP"})
    WriteFile(std::string("new/") + file, file);
  const struct {
    std::vector<std::string> patterns;
    std::set<std::string> left_out;
  } cases[] = {
      {{"*.PDB"}, {"game.pdb"}},                                       // any depth, any case
      {{"logs\\"}, {"Logs", "Logs\\run.txt", "Logs\\old", "Logs\\old\\run.txt", "tools\\Logs", "tools\\Logs\\keep.txt"}},
      {{"\\Logs\\*.txt"}, {"Logs\\run.txt"}},                          // anchored; * stays in its folder
      {{"Logs/**"}, {"Logs\\run.txt", "Logs\\old", "Logs\\old\\run.txt"}},  // '/' accepted; ** crosses folders
      {{"**\\cache"}, {"Data\\Cache", "Data\\Cache\\x.bin"}},
      {{"data\\**\\*.tmp"}, {"Data\\deep\\er\\t.TMP"}},
      {{"?.bin"}, {"a.bin", "Data\\Cache\\x.bin"}},                   // one character, at any depth
      {{"game.pdb\\"}, {}},                                            // folders only
      {{"*.pdb", "a.bin"}, {"game.pdb", "a.bin"}},
  };
  ASSERT_EQ(Diff({}).status, 0);
  const std::set<std::string> all = Entries("p.pat");
  for (const auto& c : cases) {
    std::vector<std::string> args;
    for (const std::string& p : c.patterns) args.insert(args.end(), {"--exclude", p});
    Result r = Diff(args);
    ASSERT_EQ(r.status, 0) << c.patterns[0] << r.err;
    std::set<std::string> expected;
    for (const std::string& e : all) {
      const std::string path = e.substr(e.find(' ') + 1);
      if (!c.left_out.count(path)) expected.insert(e);
    }
    EXPECT_EQ(Entries("p.pat"), expected) << c.patterns[0];
  }
}

TEST_F(BuildTreeTest, BothTreesGetTheSameRules) {
  WriteFile("old/game.exe", "v1");
  WriteFile("old/settings.ini", "the player's own");
  WriteFile("old/logs/today.txt", "log");
  WriteFile("new/game.exe", "v2");
  WriteFile("rules.txt", "# what the players keep\r\n\r\nsettings.ini\r\nlogs\\\n");
  Result r = Diff({"--exclude-from", "rules.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Left out of the old tree too: nothing removes them.
  EXPECT_EQ(Entries("p.pat"), std::set<std::string>{"change game.exe"});
  fs::copy(root() / "old", root() / "client", fs::copy_options::recursive);
  ASSERT_EQ(Run({"apply", "client", "p.pat", "--quiet", "--no-sync"}).status, 0);
  EXPECT_EQ(ReadFile("client/settings.ini"), "the player's own");
  EXPECT_EQ(ReadFile("client/logs/today.txt"), "log");

  // The installer hands the rules on to its patch data.
  WriteFile("engine.dll", "MZ engine");
  WriteFile("stub.exe", "MZ stub");
  Result installer = Run({"installer", "--from", "1", "--to", "2", "old", "new", "--stub", "stub.exe", "--engine",
                          "engine.dll", "-o", "i.exe", "--exclude-from", "rules.txt", "--quiet"});
  ASSERT_EQ(installer.status, 0) << installer.err;
  ASSERT_EQ(Run({"extract", "i.exe", "OLK.1-2.pat", "-o", "i.pat"}).status, 0);
  EXPECT_EQ(Entries("i.pat"), std::set<std::string>{"change game.exe"});
}

TEST_F(BuildTreeTest, SymbolicLinks) {
  WriteFile("old/game.exe", "v1");
  WriteFile("new/game.exe", "v2");
  WriteFile("shared/movie.bik", "a movie");
  ASSERT_EQ(symlink("../shared/movie.bik", "new/movie.bik"), 0);
  ASSERT_EQ(symlink("../shared", "new/media"), 0);

  Result refused = Diff({});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "olkpack: p.pat: 'media' in the new tree is a symbolic link or junction; choose --links skip to leave "
            "links out or --links follow to take what they point to\n");

  ASSERT_EQ(Diff({"--links", "skip"}).status, 0);
  EXPECT_EQ(Entries("p.pat"), std::set<std::string>{"change game.exe"});
  Result follow = Diff({"--links", "follow"});
  ASSERT_EQ(follow.status, 0) << follow.err;
  EXPECT_EQ(Entries("p.pat"), (std::set<std::string>{"change game.exe", "add movie.bik", "add-folder media",
                                                     "add media\\movie.bik"}));
  fs::copy(root() / "old", root() / "client", fs::copy_options::recursive);
  ASSERT_EQ(Run({"apply", "client", "p.pat", "--quiet", "--no-sync"}).status, 0);
  EXPECT_EQ(ReadFile("client/media/movie.bik"), "a movie");
  EXPECT_FALSE(fs::is_symlink(root() / "client/media"));
  // Exclusion applies to links like any other name.
  EXPECT_EQ(Diff({"--exclude", "media", "--exclude", "*.bik"}).status, 0);

  // Followed, a link that leads nowhere or back up is still refused by name.
  ASSERT_EQ(symlink("..", "new/up"), 0);
  ASSERT_EQ(symlink("nowhere", "old/dangling"), 0);
  const std::pair<std::vector<std::string>, std::string> refusals[] = {
      {{"--links", "follow", "--exclude", "dangling"},
       "olkpack: out.pat: 'up' in the new tree is a symbolic link or junction; it points nowhere or back into a "
       "folder that holds it\n"},
      {{"--links", "follow", "--exclude", "up"},
       "olkpack: out.pat: 'dangling' in the old tree is a symbolic link or junction; it points nowhere or back into a "
       "folder that holds it\n"},
      {{"--links", "sometimes"}, ""},
      {{"--exclude-from", "missing.txt"}, "olkpack: missing.txt: cannot be read: No such file or directory\n"},
      {{"--exclude", ""}, "olkpack: --exclude: a pattern cannot be empty\n"},
  };
  for (const auto& [args, line] : refusals) {
    Result r = Diff(args, "out.pat");
    EXPECT_EQ(r.status, 1) << args[1];
    if (!line.empty()) EXPECT_EQ(r.err, line);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(root() / "out.pat")) << args[1];
  }
  for (const auto& e : fs::directory_iterator(root()))
    EXPECT_EQ(e.path().filename().string().find(".olkpack-"), std::string::npos) << e.path();
}

}  // namespace
