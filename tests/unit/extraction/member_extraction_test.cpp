#include "archive/member_extraction.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "archive/embedded_archive.h"
#include "archive_bytes.h"
#include "host_world.h"
#include "run_globals.h"
#include "platform/host/host_control.h"
#include "ui/progress_window.h"
#include "ui/resource_ids.h"

namespace {

using platform::host::FakeDialog;

class MemberExtractionTest : public HostWorld {
 protected:
  void SetUp() override {
    HostWorld::SetUp();
    engine_ = std::string("MZ") + std::string(202240 - 2, '\x17');
    WriteFile("olkpatch.exe",
              InstallerBytes({{"versionInfoFile.txt", "3550\r\n3551\r\n"},
                              {"patcheng.dll", engine_},
                              {"empty.bin", ""}}));
    platform::host::SetOwnPath((root() / "olkpatch.exe").string());
    std::filesystem::create_directories(root() / "client");
    dialog_ = OpenRunGlobals(root() / "client");
  }
  void TearDown() override {
    CloseRunGlobals();
    HostWorld::TearDown();
  }
  std::string Pane() { return dialog_->items[IDC_LOG_PANE]; }

  std::string engine_;
  FakeDialog* dialog_ = nullptr;
};

TEST_F(MemberExtractionTest, WritesFourChunksWithTheItemBarFollowing) {
  WriteFile("tmp/patcheng.dll", std::string(300000, 'o'));  // replaced, not appended to
  EXPECT_TRUE(ExtractMember("PATCHENG.DLL", "tmp\\patcheng.dll"));
  EXPECT_EQ(ReadFile("tmp/patcheng.dll"), engine_);
  EXPECT_EQ(dialog_->positionHistory, (std::vector<intptr_t>{32, 64, 97, 100, 0}));
  EXPECT_EQ(platform::host::MappedViewCount(), 0);
  EXPECT_EQ(Pane(), "");
}

TEST_F(MemberExtractionTest, EmptyMemberGivesAnEmptyFile) {
  EXPECT_TRUE(ExtractMember("empty.bin", "empty.out"));
  EXPECT_TRUE(std::filesystem::exists(root() / "empty.out"));
  EXPECT_EQ(std::filesystem::file_size(root() / "empty.out"), 0u);
  EXPECT_EQ(dialog_->positionHistory, (std::vector<intptr_t>{0}));
}

TEST_F(MemberExtractionTest, FailuresAreLoggedAndLeaveNothingOpen) {
  EXPECT_FALSE(ExtractMember("OLK.pat", "out.pat"));
  EXPECT_FALSE(std::filesystem::exists(root() / "out.pat"));
  EXPECT_FALSE(ExtractMember("patcheng.dll", "missing\\folder\\patcheng.dll"));
  EXPECT_EQ(Pane(),
            "can't extract OLK.pat from this patchfile\r\n"
            "Error calling CreateFile(missing\\folder\\patcheng.dll) error=3\r\n");
  EXPECT_EQ(platform::host::MappedViewCount(), 0);
  EXPECT_EQ(platform::host::OpenHandleCount(), 2);  // the log file and the archive's mapping
}

TEST_F(MemberExtractionTest, LongMessagesAreCutToTheirBuffers) {
  std::string longName(300, 'n');
  EXPECT_FALSE(ExtractMember(longName.c_str(), "x"));
  std::string expected = "can't extract " + longName;
  EXPECT_EQ(Pane(), expected.substr(0, 127) + "\r\n");
}

TEST_F(MemberExtractionTest, ClosingTheWindowBetweenChunksEndsTheProcess) {
  platform::host::QueueMessage([this] {
    platform::host::SendToDialog(g_progressWindow->window, platform::dialog::kWmCommand, 2, 0);
  });
  EXPECT_THROW(ExtractMember("patcheng.dll", "patcheng.dll"), platform::host::ProcessTerminated);
}

TEST_F(MemberExtractionTest, TouchRefreshesTimesOrLogsWhyNot) {
  WriteFile("client/script/quandrel.code", "code");
  std::filesystem::last_write_time(root() / "client/script/quandrel.code",
                                   std::filesystem::file_time_type::clock::now() -
                                       std::chrono::hours(24 * 365));
  TouchFile("client\\script\\quandrel.code");
  auto age = std::filesystem::file_time_type::clock::now() -
             std::filesystem::last_write_time(root() / "client/script/quandrel.code");
  EXPECT_LT(age, std::chrono::minutes(1));

  TouchFile("client\\script\\missing.code");
  EXPECT_FALSE(std::filesystem::exists(root() / "client/script/missing.code"));
  EXPECT_EQ(Pane(), "unable to open client\\script\\missing.code, error=2\r\n");
}

TEST_F(MemberExtractionTest, ApplyErrorIsLoggedAndShown) {
  ShowApplyError("Old file not found");
  auto boxes = platform::host::CallsNamed("MessageBox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Old file not found");
  EXPECT_EQ(boxes[0].detail, "Error applying patch");
  EXPECT_EQ(boxes[0].number, 0x10u);
  EXPECT_EQ(Pane(), "Old file not found\r\n");
}

}  // namespace
