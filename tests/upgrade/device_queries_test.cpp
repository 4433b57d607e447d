// The status check and the version query against the in-process virtual programmer.
#include <gtest/gtest.h>

#include "emulator/inprocess_transport.h"
#include "tests/support/fake_host.h"
#include "upgrade/upgrader.h"

namespace torv2::upgrade {
namespace {

using namespace std::chrono_literals;
using emulator::FaultKind;
using emulator::Step;
using emulator::StepFault;
using emulator::VirtualProgrammer;
using Strings = std::vector<std::string>;

class Queries : public ::testing::Test {
 protected:
  emulator::InProcessTransport device_;
  link::UsbLink link_{device_, link::LinkTimeouts{20ms, 20ms}};
  testing::FakeHost host_;
  Upgrader upgrader_{link_, host_, UpgraderTimings{1ms}};

  Strings Commands() {
    return device_.WithProgrammer([](VirtualProgrammer& p) { return p.commands(); });
  }
};

struct StatusCase {
  const char* name;
  std::string status;
  std::optional<StepFault> fault;
  bool resets;
  Strings messages;
};

class Status : public Queries, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(Status, ResetsOnlyAfterAlready) {
  const StatusCase& c = GetParam();
  device_.WithProgrammer([&](VirtualProgrammer& p) {
    p.settings().statusReply = c.status;
    p.faults().atStep = c.fault;
  });
  link_.linkOpen = link_.OpenUsbLink();
  upgrader_.CheckCurrentStatus();
  EXPECT_EQ(device_.WithProgrammer([](VirtualProgrammer& p) { return p.resetCount(); }),
            c.resets ? 1 : 0);
  EXPECT_EQ(host_.messages(), c.messages);
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_FALSE(link_.linkOpen);
}

INSTANTIATE_TEST_SUITE_P(
    Upgrade, Status,
    ::testing::Values(StatusCase{"Already", "Already.", {}, true, {}},
                      StatusCase{"AlreadyAndMore", "Already. running", {}, true, {}},
                      StatusCase{"LowerCase", "already.", {}, false, {}},
                      StatusCase{"WithoutPoint", "Already", {}, false, {}},
                      StatusCase{"Ok", "OK", {}, false, {}},
                      StatusCase{"NotAcknowledged",
                                 "Already.",
                                 StepFault{Step::CommandAck, 1, FaultKind::Junk},
                                 false,
                                 {kMsgStatusFail}},
                      StatusCase{"NoReply",
                                 "Already.",
                                 StepFault{Step::StatusReply, 1, FaultKind::NoAnswer},
                                 false,
                                 {kMsgStatusDataFail}},
                      StatusCase{"EmptyReply", "", {}, false, {kMsgStatusDataFail}}),
    [](const auto& info) { return info.param.name; });

struct VersionCase {
  const char* name;
  std::string reply;
  int result;
  std::string shown;  // "" when the display is not touched
};

class Version : public Queries, public ::testing::WithParamInterface<VersionCase> {};

// Each reply is asked twice: first on a fresh upgrader, then after a good "V02.08", to see that
// a reply without a version keeps showing the last good one.
TEST_P(Version, IsTakenFromTheLastFiveCharacters) {
  const VersionCase& c = GetParam();
  device_.WithProgrammer([&](VirtualProgrammer& p) { p.settings().versionReply = c.reply; });
  EXPECT_EQ(upgrader_.ReadDeviceVersion(), c.result);
  EXPECT_EQ(upgrader_.VersionRead(), c.result == 1);
  EXPECT_EQ(host_.versions(), c.shown.empty() ? Strings{} : Strings{c.shown});
  if (!c.shown.empty()) {
    EXPECT_EQ(upgrader_.Report().currentVersion, "Current Version : " + c.shown);
  }
  EXPECT_FALSE(link_.IsOpen());

  device_.WithProgrammer([&](VirtualProgrammer& p) { p.settings().versionReply = "V02.08"; });
  ASSERT_TRUE(upgrader_.ReadDeviceVersion());
  device_.WithProgrammer([&](VirtualProgrammer& p) { p.settings().versionReply = c.reply; });
  upgrader_.ReadDeviceVersion();
  EXPECT_EQ(host_.versions().back(), c.result ? c.shown : "2.08");
  EXPECT_EQ(upgrader_.VersionRead(), c.result == 1) << "a good version before does not count";
}

INSTANTIATE_TEST_SUITE_P(
    Upgrade, Version,
    ::testing::Values(VersionCase{"Title", "MainExe - TORV2 Execute V02.08", 1, "2.08"},
                      VersionCase{"ThreeDigitMajor", "V100.50", 1, "0.50"},
                      VersionCase{"FiveCharacters", "02.08", 1, "2.08"},
                      VersionCase{"OneDigitMajor", "V2.8", 0, "0.00"},
                      VersionCase{"ThreeDecimals", "V02.080", 0, "0.00"},
                      VersionCase{"TrailingBlank", "V02.08 ", 0, "0.00"},
                      VersionCase{"Error", "Error", 0, "0.00"},
                      VersionCase{"ErrorWithVersion", "Error V02.08", 0, "0.00"},
                      VersionCase{"Empty", "", 0, ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(Queries, VersionQueryWithoutADeviceSaysSo) {
  device_.Unplug();
  EXPECT_FALSE(upgrader_.ReadDeviceVersion());
  EXPECT_EQ(host_.messages(), Strings{kMsgVersionNotReady});
  EXPECT_TRUE(host_.versions().empty());
  EXPECT_FALSE(upgrader_.VersionRead());
}

TEST_F(Queries, AnOpenLinkIsNotOpenedAgain) {
  link_.linkOpen = link_.OpenUsbLink();
  EXPECT_TRUE(upgrader_.ReadDeviceVersion());  // the model answers "... V02.07"
  EXPECT_EQ(device_.opens(), 1u);
  EXPECT_FALSE(link_.IsOpen());
}

TEST_F(Queries, StartUpChecksStatusThenVersion) {
  device_.WithProgrammer([](VirtualProgrammer& p) { p.settings().statusReply = "Already."; });
  EXPECT_TRUE(upgrader_.StartUpExchange());
  EXPECT_TRUE(upgrader_.DeviceUsable());
  EXPECT_EQ(Commands(), (Strings{"CurrentStatus", "ResetNow", "VersionRead:Torv2MainExe,"}));
  EXPECT_EQ(device_.opens(), 2u);
  EXPECT_FALSE(link_.IsOpen());
}

TEST_F(Queries, StartUpWithoutADeviceAsksNothing) {
  device_.Unplug();
  EXPECT_FALSE(upgrader_.StartUpExchange());
  EXPECT_FALSE(upgrader_.DeviceUsable());
  EXPECT_TRUE(host_.messages().empty());
}

TEST_F(Queries, StartUpCountsTheDeviceUsableEvenWithoutAVersion) {
  device_.WithProgrammer([](VirtualProgrammer& p) { p.settings().versionReply = "Error"; });
  EXPECT_TRUE(upgrader_.StartUpExchange());
  EXPECT_TRUE(upgrader_.DeviceUsable());
}

}  // namespace
}  // namespace torv2::upgrade
