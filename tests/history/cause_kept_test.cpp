// Why an attempt failed reaches the history: the upgrader against the virtual programmer, with a
// fault in the exchange, and the row it keeps. The row holds the words the front ends print after
// "cause: ", for a status check as for an upgrade.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "emulator/inprocess_transport.h"
#include "history/attempt_recorder.h"
#include "tests/history/history_test_support.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace torv2::history {
namespace {

using namespace std::chrono_literals;
using emulator::FaultKind;
using emulator::Step;
using emulator::StepFault;
using testing::TempFolder;

struct CauseCase {
  const char* name;
  std::function<void(emulator::InProcessTransport&)> fault;
  bool upgrade;  // the command line's upgrade; else its status
  const char* kind;
  const char* outcome;
  const char* cause;
  friend void PrintTo(const CauseCase& c, std::ostream* os) { *os << c.name; }
};

std::function<void(emulator::InProcessTransport&)> AtStep(StepFault fault) {
  return [fault](emulator::InProcessTransport& device) {
    device.WithProgrammer([&](emulator::VirtualProgrammer& p) { p.faults().atStep = fault; });
  };
}

class CauseKept : public ::testing::TestWithParam<CauseCase> {};

TEST_P(CauseKept, InTheRowOfTheAttempt) {
  const CauseCase& c = GetParam();
  TempFolder folder;
  HistoryStore store(folder.path() / "history.sqlite", nullptr);
  AttemptRecorder recorder(store, {.program = "torv2-upgrader-cli",
                                   .versionCarried = "2.08",
                                   .identity =
                                       [] {
                                         return ProgrammerIdentity{"VIRTUAL1", ""};
                                       },
                                   .statusIsPartOfUpgrade = c.upgrade});
  std::vector<std::uint8_t> mainImage = torv2::testing::TestImage(20000, 1);
  const std::vector<std::uint8_t> subImage = torv2::testing::TestImage(2500, 2);
  const char title[] = "MainExe - TORV2 Execute V02.08";
  std::memcpy(mainImage.data() + 336, title, sizeof title);
  emulator::InProcessTransport device;
  c.fault(device);
  link::UsbLink link(device, link::LinkTimeouts{20ms, 20ms});
  torv2::testing::FakeHost host;
  upgrade::Upgrader upgrader(link, host, upgrade::UpgraderTimings{1ms});
  upgrader.SetAttemptObserver(&recorder);
  upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                     {subImage.data(), static_cast<std::uint32_t>(subImage.size())});

  if (upgrader.StartUpExchange() && c.upgrade) {
    upgrader.StartJob();
    upgrader.WaitForJob();
  }

  std::string error;
  const auto rows = store.Read({}, error);
  ASSERT_TRUE(rows) << error;
  ASSERT_EQ(rows->size(), 1u);
  const AttemptRow& row = rows->front();
  EXPECT_EQ(row.kind, c.kind);
  EXPECT_EQ(row.outcome, c.outcome);
  EXPECT_EQ(row.cause, c.cause);
  // The first cause the user was told of.
  ASSERT_FALSE(host.causes().empty());
  EXPECT_EQ(upgrade::DescribeCause(host.causes().front()), row.cause);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, CauseKept,
    ::testing::Values(
        CauseCase{"NoProgrammer", [](emulator::InProcessTransport& device) { device.Unplug(); },
                  false, "status", "not ready", "opening the programmer: no programmer found"},
        // Neither the status nor the version comes: the first of the two is why.
        CauseCase{"ProgrammerSilent",
                  [](emulator::InProcessTransport& device) {
                    device.WithProgrammer(
                        [](emulator::VirtualProgrammer& p) { p.faults().noAnswer = true; });
                  },
                  false, "status", "not ready",
                  "status query: time-out after 20 ms (transfer: timed out)"},
        CauseCase{"UpgradeFindsNoProgrammer",
                  [](emulator::InProcessTransport& device) { device.Unplug(); }, true, "upgrade",
                  "not ready", "opening the programmer: no programmer found"},
        CauseCase{"UnpluggedDuringDownload", AtStep({Step::ChunkAck, 3, FaultKind::Unplug}), true,
                  "upgrade", "error",
                  "main chunk 3: device gone (transfer: no device); the job stopped at sub write "
                  "command"},
        CauseCase{"ReadBackDiffers", AtStep({Step::ReadChunk, 2, FaultKind::Corrupt}), true,
                  "upgrade", "report failure",
                  "main read-back chunk 2: read-back differs at offset 12288"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torv2::history
