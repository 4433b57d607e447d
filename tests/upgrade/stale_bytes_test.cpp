// A device that still holds bytes from an exchange the host gave up on when the link opens again:
// the version query and the upgrade job both complete, with the same bytes on the wire as
// without them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace torv2::upgrade {
namespace {

using namespace std::chrono_literals;
using emulator::VirtualProgrammer;

// Queues bytes on the device as it is opened: what a device that keeps its state across the
// host's close and open still has queued. Staged after the open, so that it holds whether or not
// the model starts afresh when its interface is claimed.
class HeldAcrossTheOpen final : public link::UsbTransport {
 public:
  explicit HeldAcrossTheOpen(emulator::InProcessTransport& device) : device_(device) {}

  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& guid,
                                              std::chrono::milliseconds timeout) override {
    auto opened = device_.OpenDevice(guid, timeout);
    if (opened) {
      device_.WithProgrammer([&](VirtualProgrammer& p) {
        for (const std::string& w : held) {
          p.SendRaw(std::span(reinterpret_cast<const std::uint8_t*>(w.data()), w.size()));
        }
      });
    }
    return opened;
  }

  std::vector<std::string> held;  // device writes, queued at every open

 private:
  emulator::InProcessTransport& device_;
};

enum class Attempt { VersionQuery, Job };

struct HeldCase {
  const char* name;
  std::vector<std::string> held;
};

struct Outcome {
  std::string hostBytes;
  std::vector<std::string> messages;
  int versionRead = 0;
  JobResult job;
};

Outcome Attempted(Attempt attempt, const std::vector<std::string>& held) {
  const std::vector<std::uint8_t> mainImage = testing::TestImage(9000, 1);
  const std::vector<std::uint8_t> subImage = testing::TestImage(1500, 2);
  emulator::InProcessTransport device;
  HeldAcrossTheOpen transport(device);
  transport.held = held;
  link::UsbLink link(transport, {20ms, 20ms, 5ms});
  testing::FakeHost host;
  Upgrader upgrader(link, host, UpgraderTimings{1ms});
  upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                     {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
  upgrader.SetDeviceUsable(true);
  Outcome out;
  if (attempt == Attempt::VersionQuery) {
    out.versionRead = upgrader.ReadDeviceVersion();
  } else {
    upgrader.StartJob();
    upgrader.WaitForJob();
    out.job = upgrader.LastJob();
  }
  out.messages = host.messages();
  out.hostBytes = device.WithProgrammer(
      [](VirtualProgrammer& p) { return std::string(p.hostBytes().begin(), p.hostBytes().end()); });
  return out;
}

class HeldBytes : public ::testing::TestWithParam<std::tuple<Attempt, HeldCase>> {};

TEST_P(HeldBytes, AreNotTakenAsAnswers) {
  const auto& [attempt, c] = GetParam();
  const Outcome clean = Attempted(attempt, {});
  const Outcome held = Attempted(attempt, c.held);

  EXPECT_EQ(held.messages, std::vector<std::string>{});
  if (attempt == Attempt::VersionQuery) {
    EXPECT_EQ(held.versionRead, 1);
  } else {
    EXPECT_EQ(held.job.outcome, JobOutcome::Completed);
    EXPECT_EQ(held.job.mainOk, 1);
    EXPECT_EQ(held.job.subOk, 1);
  }
  EXPECT_EQ(held.hostBytes, clean.hostBytes) << "the wire exchange is the same";
}

INSTANTIATE_TEST_SUITE_P(
    Upgrade, HeldBytes,
    ::testing::Combine(::testing::Values(Attempt::VersionQuery, Attempt::Job),
                       ::testing::Values(
                           // The final verdict after a sub image that failed its comparison.
                           HeldCase{"FinalVerdict", {"$OK#9a"}},
                           // A late acknowledgement, then a reply the host had given up on.
                           HeldCase{"LateAckThenReply", {"+", "$Ready.#23"}},
                           // The first half of a version reply.
                           HeldCase{"HalfSentReply", {"$MainExe - TOR"}})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == Attempt::Job ? "Job" : "VersionQuery") +
             std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace torv2::upgrade
