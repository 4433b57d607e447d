// The upgrade job against the in-process virtual programmer: one row per way a job can end.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>

#include "emulator/inprocess_transport.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace torv2::upgrade {
namespace {

using namespace std::chrono_literals;
using emulator::FaultKind;
using emulator::Image;
using emulator::Step;
using emulator::StepFault;
using emulator::VirtualProgrammer;

constexpr char kMainOk[] = "Torv2 Main Execute - Upgrade OK";
constexpr char kMainFail[] = "Torv2 Main Execute - Upgrade Fail";
constexpr char kSubOk[] = "Torv2 Sub Execute - Upgrade OK";
constexpr char kSubFail[] = "Torv2 Sub Execute - Upgrade Fail";
constexpr char kAllSocketsFailed[] = "\n             All Sub Socket Error!\n";

// Small images: three main chunks (8192, 8192, 3616) and three sub blocks; no '#' anywhere.

class Job : public ::testing::Test {
 protected:
  void SetUp() override {
    const char title[] = "MainExe - TORV2 Execute V02.08";
    std::memcpy(mainImage_.data() + 336, title, sizeof title);
    upgrader_.SetImages({mainImage_.data(), static_cast<std::uint32_t>(mainImage_.size())},
                        {subImage_.data(), static_cast<std::uint32_t>(subImage_.size())});
    upgrader_.SetDeviceUsable(true);
  }

  void RunJob() {
    upgrader_.StartJob();
    upgrader_.WaitForJob();
  }

  template <class F>
  decltype(auto) Device(F&& f) {
    return device_.WithProgrammer(std::forward<F>(f));
  }

  std::vector<std::uint8_t> mainImage_ = testing::TestImage(20000, 1);
  std::vector<std::uint8_t> subImage_ = testing::TestImage(2500, 2);
  emulator::InProcessTransport device_;
  link::UsbLink link_{device_, link::LinkTimeouts{20ms, 20ms}};
  testing::FakeHost host_;
  Upgrader upgrader_{link_, host_, UpgraderTimings{1ms}};
};

struct JobCase {
  const char* name;
  std::function<void(VirtualProgrammer&)> device;
  std::vector<std::string> messages;
  JobOutcome outcome;
  int mainOk;
  int subOk;
  std::string socketTableRow2;  // "" when no table is expected
  bool subSocketError;
  // The device reports the title of the main image it holds: the new one once its download
  // completed, whatever the read-back found.
  std::string currentVersion = "Current Version : 2.08";
};

class JobEnds : public Job, public ::testing::WithParamInterface<JobCase> {};

const std::string kAllOkRow =
    "│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＯＫ）　│ＳＵＢ４（ＯＫ）　│";

std::function<void(VirtualProgrammer&)> At(Step step, int occurrence, FaultKind kind) {
  return [=](VirtualProgrammer& p) { p.faults().atStep = StepFault{step, occurrence, kind}; };
}

TEST_P(JobEnds, AsTheFailureTableSays) {
  const JobCase& c = GetParam();
  if (c.device) Device(c.device);
  RunJob();

  EXPECT_EQ(host_.messages(), c.messages);
  const JobResult r = upgrader_.LastJob();
  EXPECT_EQ(r.outcome, c.outcome);
  EXPECT_EQ(r.mainOk, c.mainOk);
  EXPECT_EQ(r.subOk, c.subOk);
  EXPECT_EQ(upgrader_.SubSocketError(), c.subSocketError);
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_FALSE(link_.linkOpen);
  EXPECT_FALSE(upgrader_.Busy());
  ASSERT_FALSE(host_.buttonStates().empty());
  EXPECT_EQ(host_.buttonStates().front(), false);
  EXPECT_EQ(host_.buttonStates().back(), true);
  EXPECT_EQ(host_.sink.position(), 0);

  const bool completed = c.outcome == JobOutcome::Completed;
  EXPECT_EQ(host_.ends(), completed ? 1 : 0);
  ASSERT_EQ(host_.results().size(), completed ? 1u : 0u);
  if (completed) {
    const UpgradeReport report = host_.results().front();
    EXPECT_EQ(report.mainResult, c.mainOk ? kMainOk : kMainFail);
    if (c.socketTableRow2.empty()) {
      EXPECT_EQ(report.subResult, "");
      EXPECT_EQ(report.socketTable, kAllSocketsFailed);
    } else {
      EXPECT_EQ(report.subResult, c.subOk ? kSubOk : kSubFail);
      EXPECT_NE(report.socketTable.find(c.socketTableRow2), std::string::npos)
          << report.socketTable;
    }
    EXPECT_EQ(report.currentVersion, c.currentVersion);
  }
}

const std::string kErr = kMsgUpgradeError;

INSTANTIATE_TEST_SUITE_P(
    Upgrade, JobEnds,
    ::testing::Values(
        JobCase{"Completes", nullptr, {}, JobOutcome::Completed, 1, 1, kAllOkRow, 0},
        JobCase{"MainSizeRefused",
                At(Step::SizeReply, 1, FaultKind::Refuse),
                {kErr},
                JobOutcome::Failed,
                0,
                0,
                "",
                1},
        JobCase{"MainCommandNotAcknowledged",
                At(Step::CommandAck, 1, FaultKind::Junk),
                {kErr},
                JobOutcome::Failed,
                0,
                0,
                "",
                0},
        // A refused main chunk raises the flag; the completed sub stage lowers it again.
        JobCase{"MainChunkRefused",
                At(Step::ChunkAck, 2, FaultKind::Refuse),
                {},
                JobOutcome::Completed,
                0,
                1,
                kAllOkRow,
                0,
                "Current Version : 2.07"},
        // The acknowledgement is lost: the main download fails, and the device, which dropped the
        // exchange, answers the sub stage as usual.
        JobCase{"MainChunkUnanswered",
                At(Step::ChunkAck, 1, FaultKind::NoAnswer),
                {},
                JobOutcome::Completed,
                0,
                1,
                kAllOkRow,
                0,
                "Current Version : 2.07"},
        JobCase{"MainReadBackDiffers",
                At(Step::ReadChunk, 2, FaultKind::Corrupt),
                {},
                JobOutcome::Completed,
                0,
                1,
                kAllOkRow,
                0},
        JobCase{"MainReadBackExcess",
                At(Step::ReadChunk, 1, FaultKind::WrongLength),
                {},
                JobOutcome::Completed,
                0,
                1,
                kAllOkRow,
                0},
        JobCase{"SubChunkRefused",
                At(Step::ChunkAck, 4, FaultKind::Refuse),
                {kErr},
                JobOutcome::Failed,
                1,
                0,
                "",
                1},
        JobCase{"SubSizeRefused",
                At(Step::SizeReply, 3, FaultKind::Refuse),
                {kErr},
                JobOutcome::Failed,
                1,
                0,
                "",
                1},
        JobCase{"SubBlockStatusError",
                At(Step::BlockStatus, 2, FaultKind::Refuse),
                {kErr},
                JobOutcome::Failed,
                1,
                0,
                "",
                1},
        JobCase{"SubBlockShort",
                At(Step::BlockData, 1, FaultKind::WrongLength),
                {kErr},
                JobOutcome::Failed,
                1,
                0,
                "",
                0},
        JobCase{"SubReadBackDiffers",
                At(Step::BlockData, 3, FaultKind::Corrupt),
                {kErr},
                JobOutcome::Failed,
                1,
                0,
                "",
                0},
        JobCase{"SocketStatusSevenBytes",
                At(Step::SocketStatus, 1, FaultKind::WrongLength),
                {kErr},
                JobOutcome::Failed,
                1,
                0,
                "",
                0},
        JobCase{"FinalVerdictNotOk",
                At(Step::FinalVerdict, 1, FaultKind::Refuse),
                {},
                JobOutcome::Completed,
                1,
                0,
                kAllOkRow,
                0},
        JobCase{"FinalVerdictLowerCase",
                [](VirtualProgrammer& p) { p.settings().finalVerdict = "ok"; },
                {},
                JobOutcome::Completed,
                1,
                0,
                kAllOkRow,
                0},
        JobCase{"FinalVerdictWithBlank",
                [](VirtualProgrammer& p) { p.settings().finalVerdict = "OK "; },
                {},
                JobOutcome::Completed,
                1,
                0,
                kAllOkRow,
                0},
        JobCase{"FinalVerdictLonger",
                [](VirtualProgrammer& p) { p.settings().finalVerdict = "OKAY"; },
                {},
                JobOutcome::Completed,
                1,
                0,
                kAllOkRow,
                0},
        JobCase{"FinalVerdictEmpty",
                [](VirtualProgrammer& p) { p.settings().finalVerdict = ""; },
                {kErr},
                JobOutcome::Failed,
                1,
                0,
                "",
                0},
        JobCase{"SocketsMixed",
                [](VirtualProgrammer& p) {
                  p.settings().socketStatus = {'U', 'U', 'X', 'U', 'u', 0, 'U', 'U'};
                },
                {},
                JobOutcome::Completed,
                1,
                1,
                "│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＢＡＤ）│ＳＵＢ４（ＯＫ）　│",
                0},
        JobCase{"UnpluggedMidway",
                At(Step::ReadChunk, 2, FaultKind::Unplug),
                {kErr},
                JobOutcome::Failed,
                0,
                0,
                "",
                0}),
    [](const auto& info) { return info.param.name; });

// An answer that never comes is placed at the very chunk or block whose answer it was, not one
// before or after it. Main: three chunks; sub: three chunks down, three blocks back.
struct LostAnswerCase {
  const char* name;
  Step step;
  int occurrence;
  const char* cause;
};

class LostAnswer : public Job, public ::testing::WithParamInterface<LostAnswerCase> {};

TEST_P(LostAnswer, IsPlacedAtItsOwnStep) {
  Device(At(GetParam().step, GetParam().occurrence, FaultKind::NoAnswer));
  RunJob();
  const std::vector<Cause> causes = host_.causes();
  ASSERT_FALSE(causes.empty());
  EXPECT_EQ(DescribeCause(causes.front()).substr(0, std::string(GetParam().cause).size()),
            GetParam().cause)
      << DescribeCause(causes.front());
}

INSTANTIATE_TEST_SUITE_P(
    Job, LostAnswer,
    ::testing::Values(
        LostAnswerCase{"FirstChunkAck", Step::ChunkAck, 1, "main chunk 1: time-out after 20 ms"},
        LostAnswerCase{"MainChunkAck", Step::ChunkAck, 2, "main chunk 2: time-out after 20 ms"},
        LostAnswerCase{"SubChunkAck", Step::ChunkAck, 5, "sub chunk 2: time-out after 20 ms"},
        LostAnswerCase{"ReadBackChunk", Step::ReadChunk, 3,
                       "main read-back chunk 3: time-out after 20 ms"},
        LostAnswerCase{"BlockStatus", Step::BlockStatus, 2, "sub block 2: time-out after 20 ms"},
        LostAnswerCase{"BlockData", Step::BlockData, 3, "sub block 3: time-out after 20 ms"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Job, ARefusedClickStartsNothing) {
  upgrader_.SetDeviceUsable(false);
  RunJob();
  EXPECT_EQ(host_.messages(), std::vector<std::string>{kMsgCommunicationRefused});
  EXPECT_EQ(upgrader_.LastJob().outcome, JobOutcome::Refused);
  EXPECT_EQ(host_.buttonStates(), (std::vector<bool>{false, true}));
  EXPECT_EQ(device_.opens(), 0u);
}

TEST_F(Job, ALinkThatCannotOpenShowsBothMessages) {
  device_.Unplug();
  RunJob();
  EXPECT_EQ(host_.messages(), (std::vector<std::string>{kMsgDeviceNotReady, kMsgUpgradeError}));
  EXPECT_TRUE(upgrader_.LastJob().linkNotReady);
  EXPECT_FALSE(upgrader_.Busy());
}

TEST_F(Job, SkippedStagesStillReport) {
  for (const bool withMain : {false, true}) {
    SCOPED_TRACE(withMain ? "no sub image" : "no main image");
    emulator::InProcessTransport device;
    link::UsbLink link(device, {20ms, 20ms});
    testing::FakeHost host;
    Upgrader upgrader(link, host, UpgraderTimings{1ms});
    upgrader.SetDeviceUsable(true);
    const FirmwareImage main{mainImage_.data(), static_cast<std::uint32_t>(mainImage_.size())};
    const FirmwareImage sub{subImage_.data(), static_cast<std::uint32_t>(subImage_.size())};
    if (withMain) {
      upgrader.SetImages(main, {});
    } else {
      upgrader.SetImages({}, sub);
    }
    upgrader.StartJob();
    upgrader.WaitForJob();
    ASSERT_EQ(host.results().size(), 1u);
    const UpgradeReport report = host.results().front();
    EXPECT_EQ(report.mainResult, withMain ? kMainOk : kMainFail);
    EXPECT_EQ(report.subResult, withMain ? kSubFail : kSubOk);
    // Without a sub stage no socket states came in: every socket counts as not upgraded.
    if (withMain) {
      EXPECT_NE(report.socketTable.find("ＳＵＢ８（ＢＡＤ）│"), std::string::npos);
      EXPECT_EQ(report.socketTable.find("ＯＫ"), std::string::npos);
    }
    const auto commands = device.WithProgrammer([](VirtualProgrammer& p) { return p.commands(); });
    EXPECT_EQ(commands.front(),
              withMain ? "WriteFirmware:Torv2MainExe," : "WriteFirmware:Torv2SubExe,");
  }
}

TEST_F(Job, ASecondAttemptAfterAFailureRunsFromTheStart) {
  Device(At(Step::BlockStatus, 1, FaultKind::Refuse));
  RunJob();
  ASSERT_EQ(upgrader_.LastJob().outcome, JobOutcome::Failed);
  EXPECT_EQ(upgrader_.SubSocketError(), 1) << "a failed job leaves the flag raised";
  RunJob();
  EXPECT_EQ(upgrader_.LastJob().outcome, JobOutcome::Completed);
  EXPECT_EQ(upgrader_.SubSocketError(), 0);
  EXPECT_EQ(device_.opens(), 2u);
  Device([&](VirtualProgrammer& p) {
    EXPECT_EQ(p.flash(Image::Main), mainImage_);
    EXPECT_EQ(p.flash(Image::Sub), subImage_);
  });
}

TEST_F(Job, AnOpenLinkIsUsedAndClosed) {
  link_.linkOpen = link_.OpenUsbLink();
  ASSERT_TRUE(link_.linkOpen);
  RunJob();
  EXPECT_EQ(upgrader_.LastJob().outcome, JobOutcome::Completed);
  EXPECT_EQ(device_.opens(), 1u);
  EXPECT_FALSE(link_.IsOpen());
}

TEST_F(Job, ProgressFollowsThePhases) {
  RunJob();
  EXPECT_EQ(host_.sink.labels(),
            (std::vector<std::string>{"Down", "Verify", "Down", "Verify", " (hidden)"}));
  const auto positions = host_.sink.positions();
  // Main download: 40, 81, 100, then 100 again; sub read-back ends on 100 twice, then back to 0.
  EXPECT_EQ(std::vector<int>(positions.begin(), positions.begin() + 5),
            (std::vector<int>{0, 40, 81, 100, 100}));
  EXPECT_EQ(positions.back(), 0);
}

TEST_F(Job, AVersionQueryDuringAJobWaitsForItsEnd) {
  host_.HoldResult();
  upgrader_.StartJob();
  ASSERT_TRUE(host_.WaitUntilResultShown());  // in its result dialog, the link still its own
  std::promise<std::size_t> commandsWhenRun;
  upgrader_.RunWhenLinkFree([&] {
    upgrader_.ReadDeviceVersion();
    commandsWhenRun.set_value(Device([](VirtualProgrammer& p) { return p.commands().size(); }));
  });
  const std::size_t commandsDuringJob =
      Device([](VirtualProgrammer& p) { return p.commands().size(); });
  host_.ReleaseResult();
  upgrader_.WaitForJob();
  EXPECT_EQ(commandsWhenRun.get_future().get(), commandsDuringJob + 1);
}

TEST_F(Job, ClosingTheProgramEndsAJobAtOnceWithoutMessages) {
  // The device stops answering early; the transfer would wait ten seconds.
  emulator::InProcessTransport device;
  link::UsbLink link(device, {10s, 10s});
  testing::FakeHost host;
  const auto start = std::chrono::steady_clock::now();
  {
    Upgrader upgrader(link, host, UpgraderTimings{10s});
    upgrader.SetImages({mainImage_.data(), static_cast<std::uint32_t>(mainImage_.size())}, {});
    upgrader.SetDeviceUsable(true);
    device.WithProgrammer(At(Step::ChunkAck, 2, FaultKind::NoAnswer));
    upgrader.StartJob();
    upgrader.Shutdown();
    EXPECT_EQ(upgrader.LastJob().outcome, JobOutcome::Failed);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(host.messages().empty());
  EXPECT_EQ(host.ends(), 0);
  EXPECT_FALSE(link.IsOpen());
}

}  // namespace
}  // namespace torv2::upgrade
