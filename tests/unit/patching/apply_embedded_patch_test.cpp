// Patch application with a stand-in engine: what is extracted where, what the
// engine is given, what the user reads, and what is left behind.
#include "patching/apply_embedded_patch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/embedded_archive.h"
#include "archive_bytes.h"
#include "host_world.h"
#include "run_globals.h"
#include "patching/patch_engine_contract.h"
#include "platform/host/host_control.h"
#include "ui/progress_window.h"
#include "ui/resource_ids.h"

namespace {

using platform::host::CallsNamed;

struct EngineCall {
  std::string commandLine;
  std::string patchData;  // the patch data file as the engine found it
};
std::vector<EngineCall> g_engineCalls;
int32_t g_engineResult = 0;

int32_t OLK_ENGINE_CALL StandInEngine(const char* commandLine, PatchEngineCallbackFn callback,
                                      uint32_t flag) {
  EXPECT_EQ(flag, 1u);
  std::string line = commandLine;
  // "<folder>" "<patch data>"
  std::string patchPath = line.substr(line.find("\" \"") + 3);
  patchPath.pop_back();
  for (char& c : patchPath)
    if (c == '\\') c = '/';
  std::ifstream in(patchPath, std::ios::binary);
  g_engineCalls.push_back({line, std::string(std::istreambuf_iterator<char>(in), {})});
  callback(7, "vorn.dll");
  return g_engineResult;
}

class ApplyTest : public HostWorld {
 protected:
  void SetUp() override {
    HostWorld::SetUp();
    g_engineCalls.clear();
    g_engineResult = 0;
    std::filesystem::create_directories(root() / "tmp");
    setenv("TMP", (root() / "tmp").c_str(), 1);
    WriteFile("client/script/quandrel.code", "code");
    Fresh(ShippedMembers());
  }
  // A new world: the installer packed with `members`, a stand-in engine
  // (unless told otherwise), a fresh archive reader and progress window.
  void Fresh(const Members& members, bool withExport = true) {
    platform::host::Reset();
    Pack(members);
    platform::host::SetOwnPath((root() / "olkpatch.exe").string());
    if (withExport)
      platform::host::SetLibraryExport("PatchApply32@12",
                                       reinterpret_cast<void*>(&StandInEngine));
    d_ = OpenRunGlobals(root() / "client");
  }
  void TearDown() override {
    CloseRunGlobals();
    unsetenv("TMP");
    HostWorld::TearDown();
  }
  void Pack(const Members& members) { WriteFile("olkpatch.exe", InstallerBytes(members)); }
  std::string Tmp() { return (root() / "tmp").string() + "\\"; }
  std::string Pane() { return d_->items[IDC_LOG_PANE]; }
  bool TempIsEmpty() { return std::filesystem::is_empty(root() / "tmp"); }
  std::vector<std::string> Boxes() {
    std::vector<std::string> out;
    for (auto& c : CallsNamed("MessageBox")) out.push_back(c.detail + ": " + c.text);
    return out;
  }
  platform::host::FakeDialog* d_ = nullptr;
};

TEST_F(ApplyTest, SuccessLogsEveryStepAndCleansUp) {
  WriteFile("tmp/OLK.2.06.3550-2.06.3551.pat", "stale");  // an earlier run's leftover
  chmod((root() / "tmp/OLK.2.06.3550-2.06.3551.pat").c_str(), 0444);
  auto oldTime = std::filesystem::last_write_time(root() / "client/script/quandrel.code") -
                 std::chrono::hours(48);
  std::filesystem::last_write_time(root() / "client/script/quandrel.code", oldTime);

  EXPECT_TRUE(ApplyEmbeddedPatch("client"));

  ASSERT_EQ(g_engineCalls.size(), 1u);
  const std::string commandLine = "\"client\" \"" + Tmp() + "OLK.2.06.3550-2.06.3551.pat\"";
  EXPECT_EQ(g_engineCalls[0].commandLine, commandLine);
  EXPECT_EQ(g_engineCalls[0].patchData, ShippedMembers()[2].data);
  EXPECT_EQ(Pane(), "Extracting embedded files\r\nloading .dll\r\npatching... \r\n" + commandLine +
                        "\r\nvorn.dll\r\nPatchApply returned 0\r\n"
                        "updating timestamp on quandrel.code\r\ndone\r\n");
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(TempIsEmpty());
  EXPECT_EQ(platform::host::LoadedLibraryCount(), 0);
  EXPECT_GT(std::filesystem::last_write_time(root() / "client/script/quandrel.code"), oldTime);
}

TEST_F(ApplyTest, EngineResultsInTheUsersWords) {
  const std::pair<int32_t, std::string> cases[] = {
      {2, "Not enough memory to complete the operation"},
      {7, "Error opening patch file, could be caused by a disk error"},
      {9, "Invalid patch file, the patch file has been corrupted"},
      {15, "Old file not found, the patcher did not find the file it was trying to update"},
      {18, "PATCH was unable to open the named file. It was attempting to open this file to "
           "\t\t\t\t\tcreate a file for the updated version of the system. This can be caused by "
           "a disk\t\t\t\t\tor network error or if a directory exists by the same name as the "
           "file that PATCH is trying to open."},
      {29, "Insufficient Disk Space to Apply Patch "},
      {36, "Could not patch the file because the size or checksum of the file is invalid"},
      {38, "This error is usually caused by a write permission error. This file may be locked "
           "or in use."},
      {37, "Error applying patch: 37"},
      {-5, "Error applying patch: -5"},
  };
  for (const auto& [code, text] : cases) {
    Fresh(ShippedMembers());
    g_engineResult = code;
    EXPECT_FALSE(ApplyEmbeddedPatch("client"));
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Error applying patch: " + text}) << code;
    EXPECT_NE(Pane().find("PatchApply returned " + std::to_string(code) + "\r\n" + text + "\r\n"),
              std::string::npos)
        << code;
    EXPECT_TRUE(TempIsEmpty());
  }
}

TEST_F(ApplyTest, PatchDataMemberIsTheFirstNamedOlk) {
  Fresh({{"versionInfoFile.txt", "3550\r\n3551\r\n"},
         {"Olk-mixed-case.pat", "no"},
         {"folk-songs.txt", "first match"},
         {"patcheng.dll", "MZ"},
         {"OLK.pat", "second"}});
  EXPECT_TRUE(ApplyEmbeddedPatch("client"));
  ASSERT_EQ(g_engineCalls.size(), 1u);
  EXPECT_EQ(g_engineCalls[0].patchData, "first match");
  EXPECT_NE(g_engineCalls[0].commandLine.find("folk-songs.txt\""), std::string::npos);
}

TEST_F(ApplyTest, FailuresBeforeTheEngine) {
  struct Case {
    Members members;
    std::string log;    // the last line logged
    std::string boxes;  // caption: text, or empty
  };
  const Case cases[] = {
      {{{"Olk.pat", "x"}, {"patcheng.dll", "MZ"}},
       "Error, invalid path file, there is no embedded patch file",
       "invalid patch file: Error, corrupt patch file, the embedded patch file is missing"},
      {{}, "Error, invalid path file, there is no embedded patch file",
       "invalid patch file: Error, corrupt patch file, the embedded patch file is missing"},
      {{{"OLK.pat", "x"}}, "Could not load the patch dll.",
       "Could not load the patch dll.: Error loading patcheng.dll"},
      {{{"OLK.pat", "x"}, {"patcheng.dll", "not a library"}}, "Could not load the patch dll.",
       "Could not load the patch dll.: Error loading patcheng.dll"},
  };
  for (const Case& c : cases) {
    Fresh(c.members);
    EXPECT_FALSE(ApplyEmbeddedPatch("client"));
    EXPECT_TRUE(g_engineCalls.empty());
    std::string pane = Pane();
    EXPECT_EQ(pane.substr(pane.rfind(c.log)), c.log + "\r\n");
    EXPECT_EQ(Boxes(), std::vector<std::string>{c.boxes});
  }
}

TEST_F(ApplyTest, MissingExportIsOnlyLogged) {
  Fresh(ShippedMembers(), /*withExport=*/false);
  EXPECT_FALSE(ApplyEmbeddedPatch("client"));
  EXPECT_NE(Pane().find("Error binding to dll, 127\r\n"), std::string::npos);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(platform::host::LoadedLibraryCount(), 0);
}

TEST_F(ApplyTest, PatchDataThatCannotBeWrittenIsReported) {
  std::filesystem::create_directories(root() / "tmp/OLK.2.06.3550-2.06.3551.pat");
  EXPECT_FALSE(ApplyEmbeddedPatch("client"));
  EXPECT_NE(Pane().find("error extracting embedded patch file\r\n"), std::string::npos);
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "Error extracting file: Error extracting embedded patch file\n\rcheck if "
                         "there is enough free space on drive"});
}

TEST_F(ApplyTest, EngineSwappedAfterExtractionIsNotLoaded) {
  // Another program overwrites the engine file as soon as it appears.
  std::function<void()> swap = [&] {
    if (std::filesystem::exists(root() / "tmp/patcheng.dll"))
      std::ofstream(root() / "tmp/patcheng.dll", std::ios::binary) << "MZ planted";
    else
      platform::host::QueueMessage(swap);
  };
  platform::host::QueueMessage(swap);
  EXPECT_FALSE(ApplyEmbeddedPatch("client"));
  EXPECT_TRUE(CallsNamed("LoadLibrary").empty());
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "Could not load the patch dll.: Error loading patcheng.dll"});
}

TEST_F(ApplyTest, TemporaryFolderIsTheFirstOfTmpUnquotedTmpDriveRootCurrentFolder) {
  const std::string tmp = (root() / "tmp").string();
  const std::string missing = (root() / "missing").string();
  const std::string drive = (root() / "drive").string();
  struct Case {
    const char* what;
    bool tmpSet;
    std::string tmpValue;
    bool driveRootExists;
    std::string folder;  // where the files go, as the engine is told
  };
  const Case cases[] = {
      {"TMP", true, tmp, true, tmp + "\\"},
      {"TMP ending in a separator", true, tmp + "/", true, tmp + "/"},
      {"TMP with quotes", true, "\"" + tmp + "\"", true, tmp + "\\"},
      {"TMP naming a file", true, tmp + "/file", true, drive + "/"},
      {"TMP missing, with quotes", true, "\"" + missing + "\"", true, drive + "/"},
      {"TMP not set", false, "", true, drive + "/"},
      {"no drive root", true, missing, false, root().string() + "\\"},
      // Relative and with no slash at all: made a full path (choosing the
      // last separator of such a name once compared a pointer with null).
      {"TMP relative", true, "tmp", true, tmp + "\\"},
  };
  WriteFile("tmp/file", "not a folder");
  for (const Case& c : cases) {
    Fresh(ShippedMembers());
    g_engineCalls.clear();
    if (c.tmpSet)
      setenv("TMP", c.tmpValue.c_str(), 1);
    else
      unsetenv("TMP");
    std::filesystem::remove_all(drive);
    if (c.driveRootExists) std::filesystem::create_directories(drive);
    platform::host::SetDriveRoot(drive);

    EXPECT_TRUE(ApplyEmbeddedPatch("client")) << c.what;
    ASSERT_EQ(g_engineCalls.size(), 1u) << c.what;
    EXPECT_EQ(g_engineCalls[0].commandLine,
              "\"client\" \"" + c.folder + "OLK.2.06.3550-2.06.3551.pat\"")
        << c.what;
    EXPECT_EQ(g_engineCalls[0].patchData, ShippedMembers()[2].data) << c.what;
    auto loads = CallsNamed("LoadLibrary");
    ASSERT_EQ(loads.size(), 1u) << c.what;
    EXPECT_EQ(loads[0].text, c.folder + "patcheng.dll") << c.what;
    EXPECT_FALSE(std::filesystem::exists(root() / "OLK.2.06.3550-2.06.3551.pat")) << c.what;
    EXPECT_FALSE(std::filesystem::exists(root() / "drive/patcheng.dll")) << c.what;
    EXPECT_TRUE(Boxes().empty()) << c.what;
  }
}

TEST_F(ApplyTest, NoTemporaryFolderOrTooLongPathsAreRefused) {
  // A temporary folder must leave room for a temporary name (7 + 12
  // characters) within 260 bytes: 241 characters do, 242 do not. The
  // patch data path behind 241 characters is too long all the same.
  for (size_t length : {241u, 242u}) {
    Fresh(ShippedMembers());
    std::string folder = (root() / "t").string();
    folder += std::string(length - folder.size(), 't');
    std::filesystem::create_directories(folder);
    setenv("TMP", folder.c_str(), 1);
    EXPECT_FALSE(ApplyEmbeddedPatch("client"));
    EXPECT_EQ(Boxes(), std::vector<std::string>{
                           length == 241
                               ? "Error extracting file: Error, the patch data path is too long"
                               : "Error extracting file: Error, no temporary folder could be "
                                 "found (check TMP)"})
        << length;
  }
  Fresh(ShippedMembers());
  setenv("TMP", (root() / "tmp").c_str(), 1);

  // An install folder that makes the engine's command line too long.
  std::string longFolder(500, 'c');
  EXPECT_FALSE(ApplyEmbeddedPatch(longFolder.c_str()));
  EXPECT_TRUE(g_engineCalls.empty());
  EXPECT_EQ(Boxes().back(), "Error extracting file: Error, the patch engine's command line is too long");
  EXPECT_TRUE(TempIsEmpty());
}

TEST_F(ApplyTest, ForceDeleteFile) {
  WriteFile("ro.txt", "x");
  chmod((root() / "ro.txt").c_str(), 0444);
  EXPECT_TRUE(ForceDeleteFile("ro.txt"));
  EXPECT_FALSE(std::filesystem::exists(root() / "ro.txt"));
  EXPECT_TRUE(ForceDeleteFile("missing.txt"));
  EXPECT_TRUE(ForceDeleteFile("missing\\folder\\x.txt"));
}

}  // namespace
