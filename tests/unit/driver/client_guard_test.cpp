#include "driver/client_guard.h"

#include <gtest/gtest.h>

#include "host_world.h"

namespace {

using platform::host::CallsNamed;

class ClientGuard : public HostWorld {};

TEST_F(ClientGuard, NoClientMeansNoRequestAndNoSleep) {
  EXPECT_TRUE(CloseRunningClient());
  EXPECT_EQ(CallsNamed("FindWindow").size(), 1u);
  EXPECT_EQ(CallsNamed("FindWindow")[0].text, "pluvoScreen");
  EXPECT_TRUE(CallsNamed("SendMessage").empty());
  EXPECT_TRUE(CallsNamed("Sleep").empty());
}

TEST_F(ClientGuard, ClientThatObeysIsAskedOnce) {
  auto* client = platform::host::AddWindow("pluvoScreen", true);
  EXPECT_TRUE(CloseRunningClient());
  EXPECT_EQ(client->closeRequests, 1);
  ASSERT_EQ(CallsNamed("Sleep").size(), 1u);
  EXPECT_EQ(CallsNamed("Sleep")[0].number, 100u);
}

TEST_F(ClientGuard, ClientThatIgnoresIsAskedExactlyThreeTimes) {
  auto* client = platform::host::AddWindow("pluvoScreen", false);
  platform::host::AddWindow("SomeOtherClass", false);
  EXPECT_FALSE(CloseRunningClient());
  EXPECT_EQ(client->closeRequests, 3);
  EXPECT_EQ(CallsNamed("Sleep").size(), 3u);
  EXPECT_EQ(CallsNamed("FindWindow").size(), 4u);
}

TEST_F(ClientGuard, FourthWindowOfTheClassRemains) {
  for (int i = 0; i < 4; ++i) platform::host::AddWindow("pluvoScreen", true);
  EXPECT_FALSE(CloseRunningClient());
  EXPECT_EQ(CallsNamed("SendMessage").size(), 3u);
}

TEST_F(ClientGuard, LaunchMissingProgramFails) {
  EXPECT_FALSE(LaunchProgram("missing\\olk.exe", nullptr));
  WriteFile("olk.exe", "MZ");
  EXPECT_TRUE(LaunchProgram("olk.exe", nullptr));
  auto launches = CallsNamed("Launch");
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_FALSE(launches[1].hasDetail);  // no command line: the path serves
}

TEST_F(ClientGuard, PauseSleepsTenTimesAndDrainsAfterEach) {
  PauseWithMessages();
  const auto& calls = platform::host::Calls();
  ASSERT_EQ(calls.size(), 20u);
  for (size_t i = 0; i < calls.size(); i += 2) {
    EXPECT_EQ(calls[i].name, "Sleep");
    EXPECT_EQ(calls[i].number, 300u);
    EXPECT_EQ(calls[i + 1].name, "DrainMessages");
  }
}

}  // namespace
