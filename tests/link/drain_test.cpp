// No stale byte is taken as an answer: what the device sent for an exchange the host gave up on
// is drained before the next command, and a link without failures reads nothing extra.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "link/packet.h"
#include "link/usb_link.h"
#include "tests/link/stale_reply_cases.h"

namespace torv2::link {
namespace {

using namespace std::chrono_literals;
using emulator::InProcessTransport;
using stale_reply::kTimeouts;

// The stale-reply rows (stale_reply_cases.h) over the in-process transport.
class StaleBytes : public ::testing::TestWithParam<stale_reply::StaleCase> {};

TEST_P(StaleBytes, AreDrainedAndTheNextAttemptCompletes) {
  InProcessTransport device;
  UsbLink link(device, kTimeouts);
  ASSERT_TRUE(link.OpenUsbLink());
  stale_reply::CheckStaleBytesAreDrained(GetParam(), link,
                                         [&](const auto& f) { device.WithProgrammer(f); });
}

INSTANTIATE_TEST_SUITE_P(Link, StaleBytes, ::testing::ValuesIn(stale_reply::kStaleCases),
                         stale_reply::CaseName);

TEST(Drain, GoodExchangesReadNothingExtra) {
  InProcessTransport device;
  UsbLink link(device, kTimeouts);
  std::vector<std::uint8_t> buffer(kReplyBufferSize);
  ASSERT_TRUE(link.OpenUsbLink());
  EXPECT_TRUE(link.Unsettled());

  std::vector<std::size_t> reads;
  for (int i = 0; i < 3; ++i) {
    const std::size_t before = device.bulkReads();
    ASSERT_TRUE(SendCommandPacket(link, "VersionRead:", "Torv2MainExe,"));
    ASSERT_GT(ReceiveReplyPacket(link, buffer), 0);
    reads.push_back(device.bulkReads() - before);
    EXPECT_FALSE(link.Unsettled());
  }
  // The first exchange after the open has one read more: the drain, which found nothing.
  EXPECT_EQ(reads[0], reads[1] + 1);
  EXPECT_EQ(reads[1], reads[2]);

  // After a failed exchange, again one read more, and only before the next command.
  ASSERT_EQ(ReceiveReplyPacket(link, buffer), 0);
  const std::size_t before = device.bulkReads();
  ASSERT_TRUE(SendCommandPacket(link, "VersionRead:", "Torv2MainExe,"));
  ASSERT_GT(ReceiveReplyPacket(link, buffer), 0);
  EXPECT_EQ(device.bulkReads() - before, reads[1] + 1);
}

// A device whose IN pipe answers from a script, then either times out or never stops talking.
class ScriptedDevice final : public UsbDevice {
 public:
  struct Read {
    TransferStatus status;
    std::size_t bytes;
  };
  ScriptedDevice(std::deque<Read> script, bool talksForever)
      : script_(std::move(script)), talksForever_(talksForever) {}

  std::optional<std::vector<PipeInfo>> QueryPipes() override {
    return std::vector<PipeInfo>{{PipeType::Bulk, 0x81, 64}, {PipeType::Bulk, 0x01, 64}};
  }
  TransferResult BulkRead(std::uint8_t, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    timeouts.push_back(timeout);
    Read r{TransferStatus::TimedOut, 0};
    if (!script_.empty()) {
      r = script_.front();
      script_.pop_front();
    } else if (talksForever_) {
      r = {TransferStatus::Ok, 64};
    }
    const std::size_t n = std::min(r.bytes, buffer.size());
    std::fill_n(buffer.begin(), n, std::uint8_t{'x'});
    return {r.status, n};
  }
  TransferResult BulkWrite(std::uint8_t, std::span<const std::uint8_t> data,
                           std::chrono::milliseconds) override {
    if (readsBeforeFirstWrite < 0) readsBeforeFirstWrite = static_cast<int>(timeouts.size());
    return {TransferStatus::Ok, data.size()};
  }
  void Cancel() override {}

  std::vector<std::chrono::milliseconds> timeouts;
  int readsBeforeFirstWrite = -1;

 private:
  std::deque<Read> script_;
  bool talksForever_;
};

class ScriptedTransport final : public UsbTransport {
 public:
  explicit ScriptedTransport(std::unique_ptr<ScriptedDevice> device)
      : device_(std::move(device)), raw_(device_.get()) {}
  std::unique_ptr<UsbDevice> OpenDevice(const Guid&, std::chrono::milliseconds) override {
    return std::move(device_);
  }
  ScriptedDevice& device() { return *raw_; }

 private:
  std::unique_ptr<ScriptedDevice> device_;
  ScriptedDevice* raw_;
};

struct EndCase {
  const char* name;
  std::deque<ScriptedDevice::Read> script;
  bool talksForever;
  int reads;  // made by the drain before the command frame goes out
};

class DrainEnds : public ::testing::TestWithParam<EndCase> {};

TEST_P(DrainEnds, WithTheFirstQuietOrFailedReadOrAtItsBound) {
  const EndCase& c = GetParam();
  ScriptedTransport transport(std::make_unique<ScriptedDevice>(c.script, c.talksForever));
  UsbLink link(transport, kTimeouts);
  ASSERT_TRUE(link.OpenUsbLink());
  SendCommandPacket(link, "ResetNow", "");
  EXPECT_EQ(transport.device().readsBeforeFirstWrite, c.reads);
  for (int i = 0; i < c.reads; ++i) EXPECT_EQ(transport.device().timeouts[i], 5ms) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Link, DrainEnds,
    ::testing::Values(EndCase{"NothingQueued", {}, false, 1},
                      EndCase{"DeviceGone", {{TransferStatus::NoDevice, 0}}, false, 1},
                      EndCase{"Cancelled", {{TransferStatus::Cancelled, 0}}, false, 1},
                      // Bytes that came before a time-out mean the device is still sending.
                      EndCase{"StillSendingAtTheTimeOut",
                              {{TransferStatus::TimedOut, 3}, {TransferStatus::Ok, 2}},
                              false,
                              3},
                      EndCase{"NeverQuiet", {}, true, 64}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace torv2::link
