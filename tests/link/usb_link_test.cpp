// The link: opening, the pipe choice, closed-link transfers and the WinUSB-like receive buffer.
#include "link/usb_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <string>
#include <thread>

#include "emulator/inprocess_transport.h"

namespace torv2::link {
namespace {

using namespace std::chrono_literals;
using emulator::InProcessTransport;
using emulator::VirtualProgrammer;

constexpr LinkTimeouts kShort{20ms, 20ms};

void DeviceSends(InProcessTransport& device, std::string_view bytes) {
  device.WithProgrammer([&](VirtualProgrammer& p) {
    p.SendRaw(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  });
}

std::uint8_t ReadOne(UsbLink& link) {
  std::uint8_t b = 0;
  EXPECT_EQ(link.LinkRead(std::span(&b, 1)), 1u);
  return b;
}

TEST(UsbLink, TransfersOnAClosedLinkFailWithoutTouchingTheDevice) {
  InProcessTransport device;
  UsbLink link(device, kShort);
  std::uint8_t b[4] = {};
  EXPECT_EQ(link.LinkRead(b), 0u);
  EXPECT_EQ(link.LinkWrite(b), 0u);
  ASSERT_TRUE(link.OpenUsbLink());
  link.linkOpen = true;
  link.CloseUsbLink();
  EXPECT_FALSE(link.linkOpen);
  EXPECT_EQ(link.LinkRead(b), 0u);
  EXPECT_EQ(link.LinkWrite(b), 0u);
  link.CloseUsbLink();  // twice in a row is harmless
  EXPECT_EQ(device.bulkReads(), 0u);
  EXPECT_EQ(device.bulkWrites(), 0u);
}

TEST(UsbLink, NoProgrammerMeansNoOpen) {
  InProcessTransport other({}, {.carriesGuid = false});
  UsbLink link(other, kShort);
  EXPECT_FALSE(link.OpenUsbLink());
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(other.opens(), 0u);
}

struct PipeCase {
  const char* name;
  std::vector<PipeInfo> pipes;
  int opens;
  std::uint8_t in, out;
};

class PipeChoice : public ::testing::TestWithParam<PipeCase> {};

TEST_P(PipeChoice, LastBulkPipeOfEachDirectionWins) {
  const PipeCase& c = GetParam();
  InProcessTransport device({}, {.pipes = c.pipes});
  UsbLink link(device, kShort);
  ASSERT_EQ(link.OpenUsbLink(), c.opens);
  EXPECT_EQ(link.bulkInPipeId(), c.in);
  EXPECT_EQ(link.bulkOutPipeId(), c.out);
}

constexpr auto kBulk = PipeType::Bulk;
constexpr auto kInterrupt = PipeType::Interrupt;
INSTANTIATE_TEST_SUITE_P(
    UsbLink, PipeChoice,
    ::testing::Values(
        PipeCase{"OnePerDirection", {{kBulk, 0x81, 64}, {kBulk, 0x01, 64}}, 1, 0x81, 0x01},
        PipeCase{
            "TwoBulkIn", {{kBulk, 0x81, 64}, {kBulk, 0x01, 64}, {kBulk, 0x82, 64}}, 1, 0x82, 0x01},
        PipeCase{
            "OtherTypesPassedOver",
            {{kBulk, 0x83, 64}, {kInterrupt, 0x84, 8}, {kBulk, 0x02, 64}, {kInterrupt, 0x03, 8}},
            1,
            0x83,
            0x02},
        PipeCase{"NoBulkOut", {{kBulk, 0x81, 64}, {kInterrupt, 0x01, 64}}, 0, 0, 0},
        PipeCase{"NoBulkIn", {{kBulk, 0x01, 64}}, 0, 0, 0},
        PipeCase{"NoPipes", {}, 1, 0x81, 0x01}),  // empty list: the model's own two pipes
    [](const auto& info) { return info.param.name; });

TEST(UsbLink, AFailedOpenLeavesEveryFieldAsItWas) {
  InProcessTransport device({}, {.pipes = {{kBulk, 0x82, 64}, {kBulk, 0x03, 64}}});
  UsbLink link(device, kShort);
  ASSERT_TRUE(link.OpenUsbLink());
  link.CloseUsbLink();  // keeps the pipe ids, drops the handles

  const auto unchanged = [&] {
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.bulkInPipeId(), 0x82);
    EXPECT_EQ(link.bulkOutPipeId(), 0x03);
    EXPECT_FALSE(link.linkOpen);
  };
  device.options().pipes = {{kBulk, 0x85, 64}};  // no OUT pipe
  EXPECT_FALSE(link.OpenUsbLink());
  unchanged();
  device.options().pipeQueryFails = true;
  EXPECT_FALSE(link.OpenUsbLink());
  unchanged();
  device.Unplug();
  EXPECT_FALSE(link.OpenUsbLink());
  unchanged();
}

TEST(UsbLink, OneByteReadsOfAPacketTakeOneTransfer) {
  InProcessTransport device;
  UsbLink link(device, kShort);
  ASSERT_TRUE(link.OpenUsbLink());
  std::string packet;
  for (int i = 0; i < 64; ++i) packet.push_back(static_cast<char>('0' + i));
  DeviceSends(device, packet);
  std::string got;
  for (int i = 0; i < 64; ++i) got.push_back(static_cast<char>(ReadOne(link)));
  EXPECT_EQ(got, packet);
  EXPECT_EQ(device.bulkReads(), 1u);
}

TEST(UsbLink, SurplusBytesComeFirstAndInOrder) {
  InProcessTransport device;
  UsbLink link(device, kShort);
  ASSERT_TRUE(link.OpenUsbLink());
  DeviceSends(device, "+$OK#9a");  // an acknowledgement and a reply in one USB packet
  DeviceSends(device, "next");
  EXPECT_EQ(ReadOne(link), '+');
  std::uint8_t rest[16] = {};
  ASSERT_EQ(link.LinkRead(rest), 6u) << "buffered bytes come back without a new transfer";
  EXPECT_EQ(std::string(rest, rest + 6), "$OK#9a");
  EXPECT_EQ(device.bulkReads(), 1u);
  ASSERT_EQ(link.LinkRead(rest), 4u);
  EXPECT_EQ(std::string(rest, rest + 4), "next");
  EXPECT_EQ(device.bulkReads(), 2u);
}

TEST(UsbLink, ALongWriteSpanningPacketsIsReadWhole) {
  InProcessTransport device({.maxPacketSize = 512});
  UsbLink link(device, kShort);
  ASSERT_TRUE(link.OpenUsbLink());
  const std::string data(1500, 'z');
  DeviceSends(device, data);
  std::vector<std::uint8_t> got(8192);
  ASSERT_EQ(link.LinkRead(got), 1500u);
  EXPECT_EQ(device.bulkReads(), 1u);
}

// A device whose transfers complete with zero bytes.
class ZeroLengthDevice final : public UsbDevice {
 public:
  std::optional<std::vector<PipeInfo>> QueryPipes() override {
    return std::vector<PipeInfo>{{kBulk, 0x81, 64}, {kBulk, 0x01, 64}};
  }
  TransferResult BulkRead(std::uint8_t, std::span<std::uint8_t>,
                          std::chrono::milliseconds) override {
    return {TransferStatus::Ok, 0};
  }
  TransferResult BulkWrite(std::uint8_t, std::span<const std::uint8_t>,
                           std::chrono::milliseconds) override {
    return {TransferStatus::Ok, 0};
  }
  void Cancel() override {}
};

class ZeroLengthTransport final : public UsbTransport {
 public:
  std::unique_ptr<UsbDevice> OpenDevice(const Guid&, std::chrono::milliseconds) override {
    return std::make_unique<ZeroLengthDevice>();
  }
};

TEST(UsbLink, ATransferThatMovesNothingIsAFailure) {
  ZeroLengthTransport transport;
  UsbLink link(transport, kShort);
  ASSERT_TRUE(link.OpenUsbLink());
  std::uint8_t b[8] = {1};
  EXPECT_EQ(link.LinkRead(b), 0u);
  EXPECT_EQ(link.LinkWrite(b), 0u);
  EXPECT_EQ(link.LinkRead(std::span<std::uint8_t>()), 0u);
}

TEST(UsbLink, AReadNobodyAnswersFailsAfterTheTimeout) {
  InProcessTransport device;
  UsbLink link(device, kShort);
  ASSERT_TRUE(link.OpenUsbLink());
  std::uint8_t b = 0;
  EXPECT_EQ(link.LinkRead(std::span(&b, 1)), 0u);
  EXPECT_EQ(device.bulkReads(), 1u);
}

// Cancel and unplug end a read that would otherwise wait ten seconds. Whichever comes first, the
// read or the other thread, the read must fail quickly.
TEST(UsbLink, CancelAndUnplugEndAPendingReadAtOnce) {
  for (const bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "unplug" : "cancel");
    InProcessTransport device;
    UsbLink link(device, {10s, 10s});
    ASSERT_TRUE(link.OpenUsbLink());
    const auto start = std::chrono::steady_clock::now();
    auto reader = std::async(std::launch::async, [&] {
      std::uint8_t b = 0;
      return link.LinkRead(std::span(&b, 1));
    });
    if (unplug) {
      device.Unplug();
    } else {
      link.Cancel();
    }
    EXPECT_EQ(reader.get(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    if (!unplug) {
      std::uint8_t b = 0;
      EXPECT_EQ(link.LinkWrite(std::span(&b, 1)), 0u) << "a cancelled link stays cancelled";
      link.CloseUsbLink();
      EXPECT_FALSE(link.OpenUsbLink());
    }
  }
}

}  // namespace
}  // namespace torv2::link
