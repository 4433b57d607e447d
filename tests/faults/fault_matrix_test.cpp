// Every exchange point of a whole upgrade, with every fault the virtual programmer can put there,
// through real libusb under umockdev. Each case checks the outcome against the failure tables
// (message or none, report or error path, the refusal flag), the "cause:" line the command line
// prints for it (the step and what happened), that the link ends closed, that no single transfer
// waited longer than one time-out, and that the next attempt completes.
//
// The device is the hardware-like model, one for the whole matrix: claiming and closing change
// nothing on it, so every attempt meets whatever the attempt before left queued or half done,
// as the next attempt on real hardware would. Only an unplugged device restarts (power).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/console_host.h"
#include "emulator/umockdev/umockdev_bed.h"
#include "link/libusb/libusb_transport.h"
#include "tests/faults/fault_matrix_cases.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace torv2 {
namespace {

using namespace std::chrono_literals;
using namespace fault_matrix;

class FaultMatrix : public ::testing::TestWithParam<std::tuple<int, FaultKind>> {
 protected:
  static void SetUpTestSuite() {
    bed_ = std::make_unique<emulator::UmockdevBed>();
    device_ = &bed_->Add();
    // The test images carry no title where the device reads its version: the device answers
    // the version query with a fixed text, so the causes of its faults read the same each time.
    device_->WithProgrammer([](emulator::VirtualProgrammer& p) {
      p.settings().versionReply = "MainExe - TORV2 Execute V02.07";
    });
  }
  static void TearDownTestSuite() {
    bed_.reset();
    PrintSummary();
  }

  Attempt RunJob() {
    auto libusb = link::LibusbTransport::Create();
    EXPECT_NE(libusb, nullptr);
    TimedTransport transport(*libusb);
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

  static inline std::unique_ptr<emulator::UmockdevBed> bed_;
  static inline emulator::VirtualUsbDevice* device_ = nullptr;
  const std::vector<std::uint8_t> main_ = testing::TestImage(kMainSize, 1);
  const std::vector<std::uint8_t> sub_ = testing::TestImage(kSubSize, 2);
};

TEST_P(FaultMatrix, OutcomeMatchesTheFailureTables) {
  const auto [index, kind] = GetParam();
  const Point& point = kPoints[index];
  device_->WithProgrammer([&](emulator::VirtualProgrammer& p) {
    p.faults() = {};
    p.faults().atStep = StepFault{point.step, point.occurrence, kind};
  });
  CheckFaultedRun(point, kind, RunJob());

  // The fault is spent; a device that dropped off comes back. The next attempt completes.
  if (!device_->attached()) bed_->Replug(*device_);
  CheckTheNextAttemptCompletes(RunJob());

  Results()[{index, static_cast<int>(kind)}] = !HasFailure();
}

INSTANTIATE_TEST_SUITE_P(Upgrade, FaultMatrix,
                         ::testing::Combine(::testing::Range(0,
                                                             static_cast<int>(std::size(kPoints))),
                                            ::testing::ValuesIn(kKinds)),
                         CaseName);

}  // namespace
}  // namespace torv2
