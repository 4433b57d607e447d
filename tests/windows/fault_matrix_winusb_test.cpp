// The fault matrix (tests/faults/fault_matrix_cases.h) through the WinUSB transport over the
// simulated Windows: the same cases and the same expectations as through libusb on Linux.
//
// The device is the hardware-like model, one for the whole matrix: opening and closing change
// nothing on it, so every attempt meets whatever the attempt before left queued or half done.
// Only an unplugged device restarts (power).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "emulator/winusb/simulated_windows.h"
#include "link/usb_link.h"
#include "link/winusb/winusb_transport.h"
#include "tests/faults/fault_matrix_cases.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"

namespace torv2 {
namespace {

using namespace std::chrono_literals;
using namespace fault_matrix;

class FaultMatrixWinUsb : public ::testing::TestWithParam<std::tuple<int, FaultKind>> {
 protected:
  static void SetUpTestSuite() {
    emulator::winusb::SimulatedDevice device;
    // The test images carry no title where the device reads its version: the device answers
    // the version query with a fixed text, so the causes of its faults read the same each time.
    device.settings.versionReply = "MainExe - TORV2 Execute V02.07";
    device.settings.recordHostBytes = false;
    world_ = std::make_unique<emulator::winusb::SimulatedWindows>(
        std::vector<emulator::winusb::SimulatedDevice>{device});
  }
  static void TearDownTestSuite() {
    world_.reset();
    PrintSummary();
  }

  Attempt RunJob() {
    link::winusb::WinUsbTransport winusb(world_->api());
    TimedTransport transport(winusb);
    link::UsbLink link(transport, {kTimeout, kTimeout});
    testing::FakeHost host;
    upgrade::Upgrader upgrader(link, host, upgrade::UpgraderTimings{1ms});
    upgrader.SetImages({main_.data(), static_cast<std::uint32_t>(main_.size())},
                       {sub_.data(), static_cast<std::uint32_t>(sub_.size())});
    upgrader.SetDeviceUsable(true);
    upgrader.StartJob();
    upgrader.WaitForJob();
    return {upgrader.LastJob(), upgrader.SubSocketError(),        host.messages(),
            host.causes(),      !link.IsOpen() && !link.linkOpen, transport.longest()};
  }

  static inline std::unique_ptr<emulator::winusb::SimulatedWindows> world_;
  const std::vector<std::uint8_t> main_ = testing::TestImage(kMainSize, 1);
  const std::vector<std::uint8_t> sub_ = testing::TestImage(kSubSize, 2);
};

TEST_P(FaultMatrixWinUsb, OutcomeMatchesTheFailureTables) {
  const auto [index, kind] = GetParam();
  const Point& point = kPoints[index];
  world_->WithProgrammer(0, [&](emulator::VirtualProgrammer& p) {
    p.faults() = {};
    p.faults().atStep = StepFault{point.step, point.occurrence, kind};
  });
  CheckFaultedRun(point, kind, RunJob());

  // The fault is spent; a device that dropped off comes back. The next attempt completes.
  if (!world_->OnTheBus(0)) world_->Replug(0);
  CheckTheNextAttemptCompletes(RunJob());
  EXPECT_EQ(world_->heldFiles(), 0);
  EXPECT_EQ(world_->heldInterfaces(), 0);

  Results()[{index, static_cast<int>(kind)}] = !HasFailure();
}

INSTANTIATE_TEST_SUITE_P(Upgrade, FaultMatrixWinUsb,
                         ::testing::Combine(::testing::Range(0,
                                                             static_cast<int>(std::size(kPoints))),
                                            ::testing::ValuesIn(kKinds)),
                         CaseName);

}  // namespace
}  // namespace torv2
