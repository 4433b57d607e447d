// A device that still holds bytes from an exchange the host gave up on when the link opens again:
// the version query and the upgrade job both complete, with the same bytes on the wire as
// without them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "tests/upgrade/held_bytes_cases.h"

namespace torv2::upgrade {
namespace {

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

// The device, made afresh for each attempt, behind the transport above.
class InProcessBench {
 public:
  explicit InProcessBench(const std::vector<std::string>& held) { transport_.held = held; }
  link::UsbTransport& transport() { return transport_; }
  std::string HostSent() {
    return device_.WithProgrammer([](VirtualProgrammer& p) {
      return std::string(p.hostBytes().begin(), p.hostBytes().end());
    });
  }

 private:
  emulator::InProcessTransport device_;
  HeldAcrossTheOpen transport_{device_};
};

// The held-bytes rows (held_bytes_cases.h) over the in-process transport.
class HeldBytes : public ::testing::TestWithParam<held_bytes::Param> {};

TEST_P(HeldBytes, AreNotTakenAsAnswers) {
  held_bytes::CheckHeldBytesAreNotTakenAsAnswers<InProcessBench>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Upgrade, HeldBytes,
                         ::testing::Combine(::testing::ValuesIn(held_bytes::kAttempts),
                                            ::testing::ValuesIn(held_bytes::kHeldCases)),
                         held_bytes::CaseName);

}  // namespace
}  // namespace torv2::upgrade
