#include "ui/progress_window.h"

#include <gtest/gtest.h>

#include <string>

#include "host_world.h"
#include "platform/host/host_control.h"
#include "ui/resource_ids.h"

namespace {

using platform::host::FakeDialog;
namespace dialog = platform::dialog;

const std::string kSeparator = "\n-----------------\n";

class ProgressWindowTest : public HostWorld {
 protected:
  void SetUp() override {
    HostWorld::SetUp();
    std::filesystem::create_directories(root() / "client");
  }
  FakeDialog* Open(ProgressWindow& w) {
    w.Create((root() / "client").c_str());
    return platform::host::DialogOf(w.window);
  }
  std::string Log() { return ReadFile("client/patch_log.log"); }
  static void CloseCommand(ProgressWindow& w, int id) {
    platform::host::SendToDialog(w.window, dialog::kWmCommand, static_cast<uintptr_t>(id), 0);
  }
};

TEST_F(ProgressWindowTest, OpensVisibleWithTheLogFileStarted) {
  ProgressWindow w;
  FakeDialog* d = Open(w);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->templateId, IDD_PROGRESS_WINDOW);
  EXPECT_TRUE(d->visible);
  w.AppendLine("Applying patch");
  w.AppendLine("");
  EXPECT_EQ(d->items[IDC_LOG_PANE], "Applying patch\r\n\r\n");
  EXPECT_EQ(Log(), kSeparator + "Applying patch\r\n\r\n");
}

TEST_F(ProgressWindowTest, EachRunIsAppendedAfterTheEarlierOnes) {
  WriteFile("client/patch_log.log", kSeparator + "a much longer line of an earlier run\r\n");
  ProgressWindow w;
  Open(w);
  w.AppendLine("second run");
  EXPECT_EQ(Log(), kSeparator + "a much longer line of an earlier run\r\n" + kSeparator +
                       "second run\r\n");
}

TEST_F(ProgressWindowTest, LinesGoAtTheEndWhateverIsSelected) {
  // The log file is held by another program: the first line says so.
  platform::Handle other = platform::file::Open((root() / "client/patch_log.log").c_str(),
                                                platform::kGenericRead, platform::kShareNone,
                                                platform::kOpenAlways, 0);
  ProgressWindow w;
  FakeDialog* d = Open(w);
  // The platform gave the pane the focus and selected all of it; then the
  // user clicks into the middle.
  w.AppendLine("one");
  d->selections[IDC_LOG_PANE] = {2, 10};
  w.AppendLine("two");
  EXPECT_EQ(d->items[IDC_LOG_PANE],
            "Error creating log file, nothing will be written to log\r\none\r\ntwo\r\n");
  platform::file::Close(other);
  EXPECT_EQ(Log(), "");
}

TEST_F(ProgressWindowTest, LongLineIsCutBeforeItsLineEnd) {
  ProgressWindow w;
  FakeDialog* d = Open(w);
  w.AppendLine(std::string(600, 'x').c_str());
  w.AppendLine(nullptr);  // adds nothing
  EXPECT_EQ(d->items[IDC_LOG_PANE], std::string(509, 'x') + "\r\n");
  EXPECT_EQ(Log(), kSeparator + std::string(509, 'x') + "\r\n");
}

TEST_F(ProgressWindowTest, NothingHappensWithoutAWindow) {
  platform::host::FailDialogCreation(true);
  ProgressWindow w;
  EXPECT_EQ(w.Create((root() / "client").c_str()), nullptr);
  EXPECT_FALSE(w.AppendLine("lost"));
  w.StepOverall();
  w.SetItemProgress(50);
  EXPECT_FALSE(std::filesystem::exists(root() / "client/patch_log.log"));
}

TEST_F(ProgressWindowTest, StepOverallArithmetic) {
  struct Case {
    int32_t total;
    int steps;
    std::vector<intptr_t> bars;
    const char* counter;
  };
  const Case cases[] = {
      {0, 2, {}, "2/0"},  // no total: the bar is left alone
      {3, 3, {33, 66, 100}, "3/3"},
      {4, 5, {25, 50, 75, 100, 125}, "5/4"},  // more steps than announced
  };
  for (const Case& c : cases) {
    ProgressWindow w;
    FakeDialog* d = Open(w);
    w.SetTotalSteps(c.total);
    for (int i = 0; i < c.steps; ++i) w.StepOverall();
    EXPECT_EQ(d->positionHistory, c.bars) << c.counter;
    EXPECT_EQ(d->items[IDC_OVERALL_COUNTER], c.counter);
  }
  // 29 / 100 * 100.0 is just under 29 in double precision.
  ProgressWindow w;
  FakeDialog* d = Open(w);
  w.SetTotalSteps(100);
  for (int i = 0; i < 29; ++i) w.StepOverall();
  EXPECT_EQ(d->positions[IDC_OVERALL_PROGRESS], 28);
}

TEST_F(ProgressWindowTest, ItemProgressServicesTheWindowFirst) {
  ProgressWindow w;
  FakeDialog* d = Open(w);
  bool handled = false;
  platform::host::QueueMessage([&] {
    handled = true;
    EXPECT_TRUE(d->positionHistory.empty());
  });
  w.SetItemProgress(40);
  EXPECT_TRUE(handled);
  EXPECT_EQ(d->positions[IDC_ITEM_PROGRESS], 40);
}

TEST_F(ProgressWindowTest, ClosingEndsTheProcessAtOnce) {
  for (int id : {1, 2}) {
    ProgressWindow w;
    FakeDialog* d = Open(w);
    w.AppendLine("before");
    platform::host::QueueMessage([&] { CloseCommand(w, id); });
    EXPECT_THROW(w.SetItemProgress(10), platform::host::ProcessTerminated);
    EXPECT_TRUE(d->ended);
    EXPECT_EQ(d->endResult, id);
    EXPECT_TRUE(d->positionHistory.empty());  // the bar is never set
    EXPECT_EQ(platform::host::OpenHandleCount(), 0);  // the log was closed first
  }
}

TEST_F(ProgressWindowTest, OtherCommandsAreHandledOnlyWithoutNotification) {
  ProgressWindow w;
  Open(w);
  intptr_t result = -1;
  EXPECT_TRUE(w.OnMessage(dialog::kWmCommand, IDC_LOG_PANE, 0, result));
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(w.OnMessage(dialog::kWmCommand, (0x0100u << 16) | IDC_LOG_PANE, 0, result));
}

}  // namespace
