// The olkpack program run as a user runs it, in a fresh temporary folder:
// exit status, stdout, stderr and the files it leaves behind.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive_image.h"
#include "host_world.h"

namespace olkpack_test {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string Bytes(size_t length, unsigned seed) { return archive_image::Pattern(length, seed); }

class OlkpackTest : public HostWorld {
 protected:
  void SetUp() override {
    HostWorld::SetUp();
    fs::create_directory(root() / "logs");
  }

  Result Run(const std::vector<std::string>& args) { return RunProgram(OLKPACK_PATH, args); }

  // Any program, its output kept as Run() keeps olkpack's.
  Result RunProgram(const std::string& program, const std::vector<std::string>& args) {
    std::string command = Quote(program);
    for (const std::string& a : args) command += " " + Quote(a);
    command += " </dev/null >logs/out.txt 2>logs/err.txt";
    int raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFile("logs/out.txt");
    r.err = ReadFile("logs/err.txt");
    return r;
  }

  // The three members of a shipped installer (the patch data kept small).
  void WriteMembers() {
    WriteFile("versionInfoFile.txt", "3550\r\n3551\r\n");
    WriteFile("patcheng.dll", "MZ" + Bytes(202240 - 2, 1));
    WriteFile("OLK.2.06.3550-2.06.3551.pat", Bytes(100000, 2));
  }
  Result Pack(const std::string& stub, const std::string& out) {
    return Run({"pack", "--stub", stub, "-o", out, "versionInfoFile.txt", "patcheng.dll",
                "OLK.2.06.3550-2.06.3551.pat"});
  }

  std::set<std::string> Files() {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root()))
      if (e.is_regular_file() && e.path().parent_path() != root() / "logs")
        names.insert(fs::relative(e.path(), root()).string());
    return names;
  }
};

}  // namespace olkpack_test
