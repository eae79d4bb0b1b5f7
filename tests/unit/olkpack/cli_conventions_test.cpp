// What every olkpack command does alike: --version, help, progress on
// stderr in its three forms, --json reports on stdout.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "olkpack_fixture.h"

using namespace olkpack_test;

namespace {

const char* const kCommands[] = {"diff", "installer", "apply", "check", "info", "sign", "pack", "list", "extract"};

size_t Lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

TEST_F(OlkpackTest, VersionAndHelp) {
  Result version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("olkpack ", 0), 0u);
  EXPECT_EQ(Lines(version.out), 1u);
  EXPECT_EQ(version.err, "");

  Result all = Run({"--help"});
  EXPECT_EQ(all.status, 0);
  EXPECT_NE(all.out.find("exit status:"), std::string::npos);
  EXPECT_NE(all.out.find("38 a file is in use"), std::string::npos);
  for (const char* command : kCommands) {
    EXPECT_NE(all.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    Result help = Run({"help", command});
    Result flag = Run({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(flag.status, 0) << command;
    EXPECT_EQ(help.err + flag.err, "") << command;
    EXPECT_EQ(help.out, flag.out) << command;
    EXPECT_NE(help.out.find(std::string("usage: olkpack ") + command), std::string::npos) << help.out;
  }
  // --help wins over missing arguments and does nothing else.
  EXPECT_EQ(Run({"diff", "--help", "-o", "x.pat"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(root() / "x.pat"));

  const std::pair<std::vector<std::string>, std::string> mistakes[] = {
      {{"help", "frobnicate"}, "olkpack: help: unknown command \"frobnicate\""},
      {{"help", "diff", "apply"}, "olkpack: help: name one command"},
      {{"--version", "x"}, "olkpack: --version takes no arguments"},
      {{"diff", "a", "b", "-o", "x.pat", "--frob"}, "olkpack diff: The following argument was not expected: --frob"},
      {{"diff", "a", "b", "-o", "x.pat", "--threads", "0"}, "olkpack diff: --threads: "},
      {{"info"}, "olkpack info: PATCH.pat is required (usage: olkpack info PATCH.pat"},
  };
  for (const auto& [args, start] : mistakes) {
    Result r = Run(args);
    EXPECT_EQ(r.status, 1) << start;
    EXPECT_EQ(r.out, "") << start;
    EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(root() / "x.pat"));
}

class ProgressTest : public OlkpackTest {
 protected:
  void SetUp() override {
    OlkpackTest::SetUp();
    for (int i = 0; i < 20; ++i) {
      WriteFile("old/f" + std::to_string(i) + ".bin", Bytes(30000, i));
      WriteFile("new/f" + std::to_string(i) + ".bin", Bytes(30000, i) + "changed");
    }
    WriteFile("new/added.txt", "hello");
  }
};

TEST_F(ProgressTest, PlainLinesWhenNotATerminalAndNothingWhenQuiet) {
  Result lines = Run({"diff", "old", "new", "-o", "p.pat"});
  ASSERT_EQ(lines.status, 0) << lines.err;
  EXPECT_EQ(lines.out, "");
  EXPECT_EQ(lines.err,
            "olkpack diff: comparing old and new\n"
            "olkpack diff: encoding 21 files (586.1 KiB)\n"
            "olkpack diff: writing the patch data\n"
            "olkpack diff: 1 added, 0 removed, 20 changed, 0 unchanged files; 0 folders added, 0 removed\n"
            "olkpack diff: old 585.9 KiB, new 586.1 KiB, patch " +
                lines.err.substr(lines.err.rfind("patch ") + 6));
  EXPECT_EQ(lines.err.find('\r'), std::string::npos);

  std::filesystem::copy(root() / "old", root() / "client", std::filesystem::copy_options::recursive);
  Result apply = Run({"apply", "client", "p.pat", "--no-sync"});
  ASSERT_EQ(apply.status, 0) << apply.err;
  EXPECT_NE(apply.err.find("olkpack apply: writing 21 files (586.1 KiB)\n"), std::string::npos) << apply.err;
  EXPECT_NE(apply.err.find("olkpack apply: done: 21 files written (586.1 KiB)\n"), std::string::npos) << apply.err;

  Result quiet = Run({"diff", "old", "new", "-o", "q.pat", "--quiet"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out + quiet.err, "");
  std::filesystem::remove_all(root() / "client");
  std::filesystem::copy(root() / "old", root() / "client", std::filesystem::copy_options::recursive);
  Result quietApply = Run({"apply", "--quiet", "--no-sync", "client", "q.pat"});
  EXPECT_EQ(quietApply.status, 0);
  EXPECT_EQ(quietApply.out + quietApply.err, "");
}

// On a terminal the line is redrawn in place with files, bytes and rate.
TEST_F(ProgressTest, RedrawnLineOnATerminal) {
  // script(1) gives the command a terminal and records what it shows.
  Result r = RunProgram("script", {"-qfec", Quote(OLKPACK_PATH) + " diff old new -o p.pat --threads 1", "logs/tty.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string screen = ReadFile("logs/tty.txt");
  EXPECT_NE(screen.find("\r\033[Kolkpack diff: encoding 21 files (586.1 KiB): "), std::string::npos) << screen;
  EXPECT_NE(screen.find("21/21 files, 586.1 KiB of 586.1 KiB"), std::string::npos) << screen;
  EXPECT_NE(screen.find("olkpack diff: 1 added"), std::string::npos) << screen;
}

TEST_F(ProgressTest, JsonReports) {
  Result diff = Run({"diff", "old", "new", "-o", "p.pat", "--json", "--quiet"});
  ASSERT_EQ(diff.status, 0) << diff.err;
  ASSERT_EQ(Lines(diff.out), 1u);
  nlohmann::json d = nlohmann::json::parse(diff.out);
  EXPECT_EQ(d["command"], "diff");
  EXPECT_EQ(d["result"], 0);
  EXPECT_EQ(d["files"]["added"], 1);
  EXPECT_EQ(d["files"]["changed"], 20);
  EXPECT_EQ(d["bytes"]["new"], 20 * 30007 + 5);
  EXPECT_EQ(d["bytes"]["patch"], std::filesystem::file_size(root() / "p.pat"));
  EXPECT_TRUE(d["seconds"].is_number());

  Result info = Run({"info", "p.pat", "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  nlohmann::json i = nlohmann::json::parse(info.out);
  ASSERT_EQ(i["entries"].size(), 21u);
  EXPECT_EQ(i["entries"][0]["kind"], "add");
  EXPECT_EQ(i["entries"][0]["path"], "added.txt");
  EXPECT_EQ(i["entries"][0]["new_size"], 5);

  std::filesystem::copy(root() / "old", root() / "client", std::filesystem::copy_options::recursive);
  Result apply = Run({"apply", "client", "p.pat", "--json", "--quiet", "--no-sync"});
  ASSERT_EQ(apply.status, 0) << apply.err;
  nlohmann::json a = nlohmann::json::parse(apply.out);
  EXPECT_EQ(a["result"], 0);
  EXPECT_EQ(a["files"]["written"], 21);
  // Applied once more, the files no longer match: the engine's code, in the
  // report and as the exit status.
  WriteFile("client/f3.bin", "something else");
  Result again = Run({"apply", "client", "p.pat", "--json", "--quiet", "--no-sync"});
  nlohmann::json b = nlohmann::json::parse(again.out);
  EXPECT_EQ(again.status, 36) << again.err;
  EXPECT_EQ(b["result"], 36);
  EXPECT_EQ(b["result_name"], "a file to update has unexpected contents");

  const struct {
    std::vector<std::string> args;
    int status;
  } failures[] = {
      {{"info", "missing.pat", "--json"}, 7},
      {{"apply", "client", "missing.pat", "--json", "--quiet"}, 7},
      {{"diff", "old", "gone", "-o", "x.pat", "--json", "--quiet"}, 1},
  };
  for (const auto& f : failures) {
    Result r = Run(f.args);
    EXPECT_EQ(r.status, f.status) << f.args[0];
    EXPECT_EQ(nlohmann::json::parse(r.out)["result"], f.status) << r.out;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(root() / "x.pat"));
}

}  // namespace
