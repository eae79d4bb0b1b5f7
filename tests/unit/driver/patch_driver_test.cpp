// The patch run as the user sees it: which boxes, in which order, with which
// texts, and which program is started at the end.
#include "driver/patch_driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/embedded_archive.h"
#include "archive_bytes.h"
#include "host_world.h"
#include "patching/patch_engine_contract.h"
#include "platform/platform.h"
#include "run_globals.h"
#include "ui/progress_window.h"

namespace {

using platform::host::Call;
using platform::host::CallsNamed;
namespace ui = platform::ui;

const char kB1[] =
    "OLK is still running in the background.  The patch can not be applied while OLK is running";
const char kB2[] =
    "This is not an official OLK patch.  It is only intended for test purposes. \n"
    "You might not be able to connect to quellspire after you apply this patch. \n"
    "Please locate the folder where your test client is located. \n";
const char kB5[] =
    "The patch has NOT been applied, there was an unexpected error applying the patch "
    "(patch version could not be determined)";
const char kB3Caption[] = "Test patches should not be applied to your main install";

// An engine that patches nothing and reports success.
int32_t OLK_ENGINE_CALL EngineThatSucceeds(const char*, PatchEngineCallbackFn, uint32_t) {
  return 0;
}

class PatchRunTest : public HostWorld {
 protected:
  void SetUp() override {
    HostWorld::SetUp();
    std::filesystem::create_directories(root() / "tmp");
    setenv("TMP", (root() / "tmp").c_str(), 1);
    WriteFile("olkpatch.exe", InstallerBytes(ShippedMembers()));
    platform::host::SetOwnPath((root() / "olkpatch.exe").string());
    platform::host::SetLibraryExport("PatchApply32@12",
                                     reinterpret_cast<void*>(&EngineThatSucceeds));
    // A client of the from build at the starting folder "c:\".
    WriteFile("c:/vorn.dll", "MZ");
    WriteFile("c:/zorp.ini", "[client]\r\nbuild=3550\r\n");
  }

  void TearDown() override {
    CloseRunGlobals();
    HostWorld::TearDown();
  }

  // Runs the installer started with `arguments` after its name.
  int RunWith(const std::string& arguments) {
    return RunAs("\"C:\\dl\\olkpatch.exe\" " + arguments);
  }
  // Runs the installer started with this whole command line.
  int RunAs(const std::string& commandLine) {
    CloseRunGlobals();
    platform::host::SetCommandLine(commandLine);
    return RunInstaller(nullptr);
  }
  // Forgets what an earlier run of the same test did.
  void ResetWorld() {
    platform::host::Reset();
    platform::host::SetOwnPath((root() / "olkpatch.exe").string());
    platform::host::SetLibraryExport("PatchApply32@12",
                                     reinterpret_cast<void*>(&EngineThatSucceeds));
  }

  static std::vector<std::string> BoxCaptions() {
    std::vector<std::string> out;
    for (const Call& c : CallsNamed("MessageBox")) out.push_back(c.detail);
    return out;
  }
};

TEST_F(PatchRunTest, TypicalRunWarnsThenReportsSuccess) {
  EXPECT_EQ(RunWith(""), 0);
  auto boxes = CallsNamed("MessageBox");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, kB2);
  EXPECT_EQ(boxes[0].detail, "test patch");
  EXPECT_EQ(boxes[0].number, 0x30u);
  EXPECT_EQ(boxes[1].text, "OLK client upgraded from 3550 to 3551.");
  EXPECT_EQ(boxes[1].detail, "Patch applied");
  EXPECT_EQ(boxes[1].number, 0u);
  EXPECT_TRUE(CallsNamed("Launch").empty());
}

TEST_F(PatchRunTest, EntryPreparesRunsAndTearsDownInOrder) {
  RunWith("/path=x");
  std::vector<std::string> order;
  for (const Call& c : platform::host::Calls())
    if (c.name == "RestrictDllSearchToSystem" || c.name == "SessionBegin" ||
        c.name == "PostQuitMessage" || c.name == "MessageLoop" || c.name == "SessionEnd")
      order.push_back(c.name);
  EXPECT_EQ(order, (std::vector<std::string>{"RestrictDllSearchToSystem", "SessionBegin",
                                             "PostQuitMessage", "MessageLoop", "SessionEnd"}));
  // Only the log file stays open: the window and its log end with the process.
  EXPECT_EQ(platform::host::OpenHandleCount(), 1);
  EXPECT_EQ(platform::host::MappedViewCount(), 0);
  EXPECT_EQ(g_embeddedArchive, nullptr);
}

TEST_F(PatchRunTest, RunningClientEndsTheRunAfterThreeRequests) {
  auto* client = platform::host::AddWindow("pluvoScreen", false);
  EXPECT_EQ(RunWith(""), 0);
  EXPECT_EQ(client->closeRequests, 3);
  auto boxes = CallsNamed("MessageBox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kB1);
  EXPECT_EQ(boxes[0].detail, "OLK process still running");
  EXPECT_EQ(boxes[0].number, 0x10u);
  EXPECT_EQ(CallsNamed("PostQuitMessage").size(), 1u);
}

TEST_F(PatchRunTest, PathSwitchSkipsTheNotice) {
  RunWith("/path=\"D:\\Test Client\"");
  EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Patch applied"}));
}

TEST_F(PatchRunTest, MissingVersionInfoFailsBeforeAnyFolderIsAsked) {
  Members members = ShippedMembers();
  members.erase(members.begin());
  WriteFile("olkpatch.exe", InstallerBytes(members));
  RunWith("/path=x");
  auto boxes = CallsNamed("MessageBox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kB5);
  EXPECT_EQ(boxes[0].detail, "Don't give up.");
  EXPECT_EQ(boxes[0].number, 0x10u);
}

TEST_F(PatchRunTest, CancellingTheFolderDialogEndsQuietly) {
  std::filesystem::remove(root() / "c:/vorn.dll");
  EXPECT_EQ(RunWith("/path=x"), 0);
  EXPECT_EQ(CallsNamed("DialogBox").size(), 1u);
  EXPECT_TRUE(CallsNamed("MessageBox").empty());
  EXPECT_TRUE(CallsNamed("CreateDialog").empty());  // no progress window
  EXPECT_FALSE(std::filesystem::exists(root() / "c:/patch_log.log"));
  EXPECT_EQ(CallsNamed("PostQuitMessage").size(), 1u);
}

TEST_F(PatchRunTest, MainInstallNeedsTwoConfirmations) {
  // "c:\\" normalises to "c:\", which is exactly the starting folder.
  platform::host::ScriptBoxAnswers({ui::kIdNo, ui::kIdYes, ui::kIdNo, ui::kIdYes, ui::kIdYes});
  RunWith("/path=c:\\\\");
  EXPECT_EQ(BoxCaptions(),
            (std::vector<std::string>{kB3Caption, kB3Caption, "Are you really sure?", kB3Caption,
                                      "Are you really sure?", "Patch applied"}));
  auto boxes = CallsNamed("MessageBox");
  EXPECT_EQ(boxes[0].number, 4u);
  EXPECT_EQ(boxes[2].number, 4u);
  EXPECT_EQ(boxes[2].text,
            "Are you really sure you want to apply this test patch to the client at this "
            "location\nYou will not be asked again.  If you select yes this test patch will be\n"
            "applied to the client installed here: c:\\");
}

TEST_F(PatchRunTest, ComparisonWithTheMainInstallIsExact) {
  RunWith("/path=C:\\\\");  // "C:\" differs from "c:\" in case only
  EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Patch applied"}));
}

struct HandOver {
  const char* commandLine;
  const char* program;      // null: nothing started
  const char* programArgs;  // null: started without command line
  bool successBox;
};

TEST_F(PatchRunTest, HandsOverToTheNextProgram) {
  const std::string longId(250, '7');
  const std::string longChain = "/patches=" + longId;
  const HandOver cases[] = {
      {"/patches=3552", "c:\\cache\\olkpatch3552.exe", "olkpatch3552.exe /path=\"c:\\\" ", false},
      {"/patches=3552+3553 /start_client", "c:\\cache\\olkpatch3552.exe",
       "olkpatch3552.exe /path=\"c:\\\" /patches=3553 /start_client", false},
      {"/patches=3552+", "c:\\cache\\olkpatch3552.exe",
       "olkpatch3552.exe /path=\"c:\\\" /patches=", false},
      {"/path=\"c:\\\" /patches=3553 /start_client", "c:\\cache\\olkpatch3553.exe",
       "olkpatch3553.exe /path=\"c:\\\"  /start_client", false},
      {"/start_client", "c:\\olk.exe", nullptr, false},
      {"/sleep", nullptr, nullptr, true},
      {"/path", nullptr, nullptr, true},
      // A chain whose command line would not fit is not started, never cut.
      {longChain.c_str(), nullptr, nullptr, false},
  };
  for (const HandOver& c : cases) {
    ResetWorld();
    RunWith(c.commandLine);
    auto launches = CallsNamed("Launch");
    if (c.program) {
      ASSERT_EQ(launches.size(), 1u) << c.commandLine;
      EXPECT_EQ(launches[0].text, c.program) << c.commandLine;
      EXPECT_EQ(launches[0].hasDetail, c.programArgs != nullptr) << c.commandLine;
      if (c.programArgs) {
        EXPECT_EQ(launches[0].detail, c.programArgs) << c.commandLine;
      }
    } else {
      EXPECT_TRUE(launches.empty()) << c.commandLine;
    }
    bool sawSuccess = false;
    for (const std::string& caption : BoxCaptions()) sawSuccess |= caption == "Patch applied";
    EXPECT_EQ(sawSuccess, c.successBox) << c.commandLine;
  }
}

TEST_F(PatchRunTest, SwitchesAreReadAfterTheProgramsName) {
  // A quoted program name may be followed by a switch with no blank between.
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"\"C:\\dl\\olkpatch.exe\"/path=\"D:\\Test Client\"", {"Patch applied"}},
      {"\"C:\\Program Files\\olk patch.exe\"\t/path=x", {"Patch applied"}},
      {"C:\\dl\\olkpatch.exe /path=x", {"Patch applied"}},
      {"\"C:\\dl\\olkpatch.exe\"", {"test patch", "Patch applied"}},
      {"olkpatch.exe", {"test patch", "Patch applied"}},
  };
  for (const auto& [commandLine, captions] : cases) {
    ResetWorld();
    EXPECT_EQ(RunAs(commandLine), 0);
    EXPECT_EQ(BoxCaptions(), captions) << commandLine;
  }
}

TEST_F(PatchRunTest, OutOfMemoryTakesTheDesignedPaths) {
  // The run's allocations, in order: the archive reader at start-up, the
  // progress window, the fresh archive reader of patch application, the
  // buffer that compares the extracted engine with its member, and the copy
  // of the next installer's command line. Each one that fails ends the run
  // as designed: no crash, exit code 0, nothing started after a failure.
  struct Case {
    int failing;
    std::vector<std::string> boxes;
    bool progressWindow;
    bool launched;
  };
  const Case cases[] = {
      {1, {"Don't give up."}, false, false},
      {2, {}, false, true},  // the run goes on unseen, as without a window
      {3, {"Error applying patch", "Don't give up."}, true, false},
      {4, {"Could not load the patch dll.", "Don't give up."}, true, false},
      {5, {}, true, false},
      {6, {}, true, true},  // there is no sixth
  };
  for (const Case& c : cases) {
    ResetWorld();
    platform::host::FailNothrowAllocation(c.failing);
    EXPECT_EQ(RunWith("/path=x /patches=3552"), 0);
    EXPECT_EQ(BoxCaptions(), c.boxes) << c.failing;
    EXPECT_EQ(CallsNamed("CreateDialog").size(), c.progressWindow ? 1u : 0u) << c.failing;
    EXPECT_EQ(CallsNamed("Launch").size(), c.launched ? 1u : 0u) << c.failing;
    if (c.failing == 3) {
      EXPECT_EQ(CallsNamed("MessageBox")[0].text, "Not enough memory to complete the operation");
    }
    EXPECT_EQ(platform::host::LoadedLibraryCount(), 0);
  }
}

TEST_F(PatchRunTest, SleepPausesAboutThreeSeconds) {
  RunWith("/path=x /sleep");
  uint64_t slept = 0;
  for (const Call& c : CallsNamed("Sleep")) slept += c.number;
  EXPECT_EQ(slept, 3000u);
}

}  // namespace
