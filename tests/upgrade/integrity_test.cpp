// A changed byte anywhere in what the device reads back is never taken for a good upgrade.
#include <gtest/gtest.h>

#include <random>

#include "emulator/inprocess_transport.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace torv2::upgrade {
namespace {

using namespace std::chrono_literals;
using emulator::Image;
using emulator::VirtualProgrammer;

TEST(Integrity, AFlippedReadBackByteNeverPasses) {
  const auto mainImage = testing::TestImage(20000, 1);
  const auto subImage = testing::TestImage(2500, 2);
  emulator::InProcessTransport device;
  std::mt19937 random(20261210);  // fixed seed: the same offsets on every run

  for (const Image image : {Image::Main, Image::Sub}) {
    const std::size_t size = image == Image::Main ? mainImage.size() : subImage.size();
    std::uniform_int_distribution<std::size_t> offsets(0, size - 1);
    std::uniform_int_distribution<int> masks(1, 255);
    for (int trial = 0; trial < 150; ++trial) {
      const std::size_t offset = trial == 0 ? 0 : trial == 1 ? size - 1 : offsets(random);
      const auto mask = static_cast<std::uint8_t>(masks(random));
      SCOPED_TRACE(::testing::Message() << (image == Image::Main ? "main" : "sub") << " byte "
                                        << offset << " ^ " << int{mask});
      link::UsbLink link(device, {20ms, 20ms});  // closing an upgrader cancels its link for good
      testing::FakeHost host;
      Upgrader upgrader(link, host, UpgraderTimings{1ms});
      upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                         {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
      upgrader.SetDeviceUsable(true);
      device.WithProgrammer([&](VirtualProgrammer& p) {
        p.faults().flipReadBackByte = emulator::Faults::ByteFlip{image, offset, mask};
      });
      upgrader.StartJob();
      upgrader.WaitForJob();

      const JobResult job = upgrader.LastJob();
      if (image == Image::Main) {
        ASSERT_EQ(job.outcome, JobOutcome::Completed);
        ASSERT_EQ(job.mainOk, 0);
        ASSERT_EQ(host.results().front().mainResult, "Torv2 Main Execute - Upgrade Fail");
      } else {
        ASSERT_EQ(job.outcome, JobOutcome::Failed);
        ASSERT_EQ(host.messages(), std::vector<std::string>{kMsgUpgradeError});
        ASSERT_TRUE(host.results().empty());
      }
    }
  }
}

}  // namespace
}  // namespace torv2::upgrade
