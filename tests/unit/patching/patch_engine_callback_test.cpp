#include "patching/patch_engine_callback.h"

#include <gtest/gtest.h>

#include "host_world.h"
#include "run_globals.h"
#include "platform/host/host_control.h"
#include "ui/progress_window.h"
#include "ui/resource_ids.h"

namespace {

class CallbackTest : public HostWorld {
 protected:
  void SetUp() override {
    HostWorld::SetUp();
    d_ = OpenRunGlobals(root());
  }
  void TearDown() override {
    CloseRunGlobals();
    HostWorld::TearDown();
  }
  platform::host::FakeDialog* d_ = nullptr;
};

TEST_F(CallbackTest, ItemProgressUsesTheLow16BitsUnclamped) {
  const std::pair<uint32_t, intptr_t> cases[] = {
      {0x4000, 50}, {0x8000, 100}, {0xFFFF, 199}, {0x10000 | 0x4000, 50}};
  for (auto [value, percent] : cases) {
    EXPECT_STREQ(PatchEngineCallback(5, &value), "");
    EXPECT_EQ(d_->positions[IDC_ITEM_PROGRESS], percent) << value;
  }
}

TEST_F(CallbackTest, ItemsStepsAndTexts) {
  int32_t count = 2;
  PatchEngineCallback(22, nullptr);
  PatchEngineCallback(6, &count);
  PatchEngineCallback(7, "vorn.dll");
  PatchEngineCallback(1, "a line");
  PatchEngineCallback(8, nullptr);
  EXPECT_EQ(d_->items[IDC_LOG_PANE],
            "Searching for Systems to Update...\r\nvorn.dll\r\na line\r\n");
  EXPECT_EQ(d_->items[IDC_ITEM_TEXT], "vorn.dll");
  EXPECT_EQ(d_->items[IDC_OVERALL_COUNTER], "1/2");
  // Id 8: the item bar goes to 0 before the overall step.
  EXPECT_EQ(d_->positionHistory, (std::vector<intptr_t>{0, 50}));
}

TEST_F(CallbackTest, OtherIdsOnlyServiceTheWindow) {
  for (uint32_t id : {0u, 9u, 13u, 21u, 23u, 1000u}) {
    int drained = 0;
    platform::host::QueueMessage([&] { ++drained; });
    EXPECT_STREQ(PatchEngineCallback(id, "ignored"), "") << id;
    EXPECT_EQ(drained, 1) << id;
  }
  EXPECT_EQ(d_->items[IDC_LOG_PANE], "");
  EXPECT_TRUE(d_->positionHistory.empty());
}

}  // namespace
