// The libusb transport through real libusb against virtual programmers under umockdev: finding
// the programmer by its GUID, and the link's reads, time-outs, unplugging and cancelling.
#include "link/libusb/libusb_transport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "emulator/umockdev/umockdev_bed.h"
#include "link/packet.h"
#include "link/usb_link.h"
#include "tests/usb/reopening_cases.h"

namespace torv2::link {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using emulator::UmockdevBed;
using emulator::VirtualProgrammer;
using emulator::VirtualUsbDevice;
using emulator::VirtualUsbOptions;

constexpr auto kSetup = 1000ms;

std::unique_ptr<LibusbTransport> MakeTransport(LibusbOptions options = {}) {
  auto transport = LibusbTransport::Create(std::move(options));
  EXPECT_NE(transport, nullptr);
  return transport;
}

// Waits (without sleeping) until `done` holds; false after a generous deadline.
template <class Pred>
bool WaitUntil(Pred done) {
  const auto deadline = Clock::now() + 10s;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// --- finding the programmer ---

struct DiscoveryCase {
  const char* name;
  std::vector<emulator::GuidSource> devices;  // plugged in this order, on ports 1, 2, ...
  int opened;                                 // index of the device opened; -1: none
  std::vector<GuidSource> listed;             // what List() reports, in order
};

class Discovery : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(Discovery, OpensTheFirstDeviceThatCarriesTheGuid) {
  const DiscoveryCase& c = GetParam();
  UmockdevBed bed;
  std::vector<VirtualUsbDevice*> devices;
  for (std::size_t i = 0; i < c.devices.size(); ++i) {
    devices.push_back(&bed.Add({.guidSource = c.devices[i], .serial = "SN" + std::to_string(i)}));
  }
  const auto transport = MakeTransport();
  ASSERT_NE(transport, nullptr);

  const auto listed = transport->List(DeviceInterfaceGuid, kSetup);
  ASSERT_EQ(listed.size(), c.listed.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < c.devices.size(); ++i) {
    if (c.devices[i] == emulator::GuidSource::None) continue;
    const AttachedProgrammer& p = listed[next];
    EXPECT_EQ(p.source, c.listed[next]);
    EXPECT_EQ(p.serialNumber, "SN" + std::to_string(i));
    EXPECT_EQ(p.address.bus, devices[i]->busnum());
    EXPECT_EQ(p.address.address, devices[i]->devnum());
    EXPECT_EQ(p.interfaceNumber, 0);
    ++next;
  }

  UsbLink link(*transport);
  EXPECT_EQ(link.OpenUsbLink(), c.opened >= 0 ? 1 : 0);
  if (c.opened >= 0) {
    EXPECT_EQ(link.bulkInPipeId(), 0x81);
    EXPECT_EQ(link.bulkOutPipeId(), 0x01);
  }
  link.CloseUsbLink();
  // The name it goes by, kept after the close: the one opened, or none.
  EXPECT_EQ(link.OpenedName(), c.opened >= 0 ? "SN" + std::to_string(c.opened) : "");
  // Listing claims nothing; opening claims the one device only, never a decoy.
  for (std::size_t i = 0; i < devices.size(); ++i) {
    EXPECT_EQ(devices[i]->claims(), static_cast<int>(i) == c.opened ? 1u : 0u) << "device " << i;
  }
}

using enum emulator::GuidSource;
INSTANTIATE_TEST_SUITE_P(
    Cases, Discovery,
    ::testing::Values(DiscoveryCase{"NoDevice", {}, -1, {}},
                      DiscoveryCase{"OnlyADecoy", {None}, -1, {}},
                      DiscoveryCase{"MsOs20", {MsOs20}, 0, {GuidSource::MsOs20}},
                      DiscoveryCase{
                          "DecoyFirstIsPassedOver", {None, MsOs20}, 1, {GuidSource::MsOs20}},
                      DiscoveryCase{"MsOs10Only", {None, MsOs10Only}, 1, {GuidSource::MsOs10}},
                      DiscoveryCase{"FirstOfTwoProgrammers",
                                    {MsOs10Only, None, MsOs20},
                                    0,
                                    {GuidSource::MsOs10, GuidSource::MsOs20}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiscoveryOrder, PortPathDecidesNotTheAddress) {
  UmockdevBed bed;
  VirtualUsbDevice& first = bed.Add({.serial = "PORT1"});
  VirtualUsbDevice& second = bed.Add({.serial = "PORT2"});
  bed.Replug(first);  // back on its port, at an address above the second device's
  ASSERT_GT(first.devnum(), second.devnum());

  const auto transport = MakeTransport();
  ASSERT_NE(transport, nullptr);
  const auto listed = transport->List(DeviceInterfaceGuid, kSetup);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].serialNumber, "PORT1");
  EXPECT_EQ(listed[1].serialNumber, "PORT2");
  EXPECT_LT(listed[0].portPath, listed[1].portPath);

  UsbLink link(*transport);
  ASSERT_TRUE(link.OpenUsbLink());
  link.CloseUsbLink();
  EXPECT_EQ(first.claims(), 1u);
  EXPECT_EQ(second.claims(), 0u);
}

TEST(DiscoveryOrder, RestrictedToOneAddress) {
  UmockdevBed bed;
  VirtualUsbDevice& decoy = bed.Add({.guidSource = None});
  VirtualUsbDevice& first = bed.Add({});
  VirtualUsbDevice& second = bed.Add({});
  const auto at = [](const VirtualUsbDevice& d) {
    return UsbAddress{static_cast<std::uint8_t>(d.busnum()), static_cast<std::uint8_t>(d.devnum())};
  };

  const auto onlySecond = MakeTransport({.onlyDevice = at(second)});
  ASSERT_NE(onlySecond, nullptr);
  ASSERT_EQ(onlySecond->List(DeviceInterfaceGuid, kSetup).size(), 1u);
  UsbLink link(*onlySecond);
  ASSERT_TRUE(link.OpenUsbLink());
  link.CloseUsbLink();
  EXPECT_EQ(first.claims(), 0u);
  EXPECT_EQ(second.claims(), 1u);

  // Naming a device that does not carry the GUID opens nothing.
  const auto onlyDecoy = MakeTransport({.onlyDevice = at(decoy)});
  ASSERT_NE(onlyDecoy, nullptr);
  UsbLink decoyLink(*onlyDecoy);
  EXPECT_FALSE(decoyLink.OpenUsbLink());
  EXPECT_EQ(decoy.claims(), 0u);
}

// The re-enumeration rows (reopening_cases.h) through libusb: the devices come back at new
// addresses on the same ports.
class UmockdevReopenBench {
 public:
  UmockdevReopenBench(const std::string& first, const std::string& second)
      : devices_{&bed_.Add({.serial = first, .reenumerationDelay = 600s}),
                 &bed_.Add({.serial = second, .reenumerationDelay = 600s})} {}

  std::unique_ptr<LibusbTransport> Transport(reopening::Named named, std::size_t index) {
    LibusbOptions options;
    const VirtualUsbDevice& d = *devices_.at(index);
    if (named == reopening::Named::BySerial) options.onlySerial = d.options().serial;
    if (named == reopening::Named::ByPort) {
      options.onlyBus = static_cast<std::uint8_t>(d.busnum());
      options.onlyPortPath = {static_cast<std::uint8_t>(index + 1)};
    }
    return MakeTransport(std::move(options));
  }
  void Unplug(std::size_t index) { bed_.Unplug(*devices_.at(index)); }
  void Replug(std::size_t index) {
    VirtualUsbDevice& d = *devices_.at(index);
    const int oldAddress = d.devnum();
    bed_.Replug(d);
    EXPECT_NE(d.devnum(), oldAddress) << "device " << index << " is back at its old address";
  }
  void Reenumerate(std::size_t index) { bed_.Reenumerate(*devices_.at(index)); }
  std::size_t Opens(std::size_t index) const { return devices_.at(index)->claims(); }

 private:
  UmockdevBed bed_;
  std::array<VirtualUsbDevice*, 2> devices_;
};

class Reopening : public ::testing::TestWithParam<reopening::ReopenCase> {};

TEST_P(Reopening, AProgrammerThatRestartsIsNotSwappedForAnother) {
  reopening::CheckARestartingProgrammerIsNotSwapped<UmockdevReopenBench>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Libusb, Reopening, ::testing::ValuesIn(reopening::kReopenCases),
                         reopening::CaseName);

// --- the opened device's own results ---

TEST(LibusbDevice, ReportsEachWayATransferEnds) {
  UmockdevBed bed;
  VirtualUsbDevice& programmer = bed.Add({});
  const auto transport = MakeTransport();
  ASSERT_NE(transport, nullptr);
  const auto device = transport->OpenDevice(DeviceInterfaceGuid, kSetup);
  ASSERT_NE(device, nullptr);

  const auto pipes = device->QueryPipes();
  ASSERT_TRUE(pipes.has_value());
  ASSERT_EQ(pipes->size(), 2u);
  EXPECT_EQ((*pipes)[0].type, PipeType::Bulk);
  EXPECT_EQ((*pipes)[0].maximumPacketSize, 64);
  EXPECT_EQ((*pipes)[1].type, PipeType::Bulk);
  const std::uint8_t in = (*pipes)[0].pipeId & 0x80 ? (*pipes)[0].pipeId : (*pipes)[1].pipeId;
  const std::uint8_t out = (*pipes)[0].pipeId & 0x80 ? (*pipes)[1].pipeId : (*pipes)[0].pipeId;

  std::array<std::uint8_t, 64> buffer{};
  // Nothing to send: the time-out, with nothing moved.
  TransferResult r = device->BulkRead(in, buffer, 30ms);
  EXPECT_EQ(r.status, TransferStatus::TimedOut);
  EXPECT_EQ(r.transferred, 0u);
  // A packet longer than the transfer: overflow (the reason the link reads whole packets).
  const std::array<std::uint8_t, 64> packet{};
  programmer.WithProgrammer([&](VirtualProgrammer& p) { p.SendRaw(packet); });
  r = device->BulkRead(in, std::span(buffer).first(1), 1000ms);
  EXPECT_EQ(r.status, TransferStatus::Overflow);
  // A short packet ends a transfer with what it carried.
  const std::array<std::uint8_t, 5> shortPacket{1, 2, 3, 4, 5};
  programmer.WithProgrammer([&](VirtualProgrammer& p) { p.SendRaw(shortPacket); });
  r = device->BulkRead(in, buffer, 1000ms);
  EXPECT_EQ(r.status, TransferStatus::Ok);
  EXPECT_EQ(r.transferred, 5u);
  // A pipe of the wrong direction is refused without a transfer.
  const std::size_t urbs = programmer.bulkInUrbs() + programmer.bulkOutUrbs();
  EXPECT_EQ(device->BulkRead(out, buffer, 1000ms).status, TransferStatus::Error);
  EXPECT_EQ(device->BulkWrite(in, buffer, 1000ms).status, TransferStatus::Error);
  EXPECT_EQ(programmer.bulkInUrbs() + programmer.bulkOutUrbs(), urbs);

  bed.Unplug(programmer);
  EXPECT_EQ(device->BulkWrite(out, buffer, 1000ms).status, TransferStatus::NoDevice);
  device->Cancel();
  EXPECT_EQ(device->BulkRead(in, buffer, 1000ms).status, TransferStatus::Cancelled);
}

// --- the link over libusb ---

class LinkOverLibusb : public ::testing::Test {
 protected:
  void Open(VirtualUsbOptions options, LinkTimeouts timeouts) {
    device_ = &bed_.Add(std::move(options));
    transport_ = MakeTransport();
    ASSERT_NE(transport_, nullptr);
    link_.emplace(*transport_, timeouts);
    ASSERT_TRUE(link_->OpenUsbLink());
    link_->linkOpen = true;
  }

  void DeviceSends(std::span<const std::uint8_t> bytes) {
    device_->WithProgrammer([&](VirtualProgrammer& p) { p.SendRaw(bytes); });
  }

  // Starts a 1-byte read on another thread and returns once its URB waits at the device.
  std::future<std::uint32_t> StartPendingRead() {
    const std::size_t urbs = device_->bulkInUrbs();
    auto read = std::async(std::launch::async, [this] {
      std::uint8_t b = 0;
      return link_->LinkRead(std::span(&b, 1));
    });
    EXPECT_TRUE(WaitUntil([&] { return device_->bulkInUrbs() > urbs; }));
    return read;
  }

  UmockdevBed bed_;  // before any libusb context
  VirtualUsbDevice* device_ = nullptr;
  std::unique_ptr<LibusbTransport> transport_;
  std::optional<UsbLink> link_;  // destroyed first: closes the device before the context
};

struct PacketCase {
  bool highSpeed;
  std::size_t bytesSent;
  std::size_t urbs;  // bulk IN transfers it takes to read them one byte at a time
};

class PacketReads : public LinkOverLibusb, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(PacketReads, OneByteReadsLoseNothingOfAPacket) {
  const PacketCase& c = GetParam();
  Open({.highSpeed = c.highSpeed}, {1000ms, 1000ms});
  std::vector<std::uint8_t> sent(c.bytesSent);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7 + 1);
  DeviceSends(sent);

  const std::size_t urbsBefore = device_->bulkInUrbs();
  std::vector<std::uint8_t> got;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    std::uint8_t b = 0;
    ASSERT_EQ(link_->LinkRead(std::span(&b, 1)), 1u) << "byte " << i;
    got.push_back(b);
  }
  EXPECT_EQ(got, sent);
  EXPECT_EQ(device_->bulkInUrbs() - urbsBefore, c.urbs);
}

INSTANTIATE_TEST_SUITE_P(Cases, PacketReads,
                         ::testing::Values(PacketCase{false, 64, 1}, PacketCase{false, 100, 2},
                                           PacketCase{true, 512, 1}, PacketCase{true, 700, 2}),
                         [](const auto& info) {
                           return std::string(info.param.highSpeed ? "HighSpeed" : "FullSpeed") +
                                  std::to_string(info.param.bytesSent);
                         });

TEST_F(LinkOverLibusb, UnansweredReadEndsAfterItsTimeout) {
  Open({}, {50ms, 50ms});
  std::uint8_t b = 0;
  const auto start = Clock::now();
  EXPECT_EQ(link_->LinkRead(std::span(&b, 1)), 0u);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 45ms);
  EXPECT_LT(took, 2s);
  // The link stays usable: the next reply is read whole.
  const std::array<std::uint8_t, 3> reply{'a', 'b', 'c'};
  DeviceSends(reply);
  std::array<std::uint8_t, 3> got{};
  EXPECT_EQ(link_->LinkRead(got), 3u);
  EXPECT_EQ(got, reply);
}

TEST_F(LinkOverLibusb, UnplugFailsThePendingReadAndEveryLaterTransfer) {
  Open({}, {1000ms, 10s});
  auto read = StartPendingRead();
  const auto start = Clock::now();
  bed_.Unplug(*device_);
  EXPECT_EQ(read.get(), 0u);
  EXPECT_LT(Clock::now() - start, 2s);

  std::uint8_t b = '+';
  EXPECT_EQ(link_->LinkWrite(std::span(&b, 1)), 0u);
  EXPECT_EQ(link_->LinkRead(std::span(&b, 1)), 0u);
  link_->CloseUsbLink();

  // Plugged in again, a new context finds it at its new address.
  bed_.Replug(*device_);
  const auto again = MakeTransport();
  ASSERT_NE(again, nullptr);
  UsbLink link(*again);
  EXPECT_TRUE(link.OpenUsbLink());
}

TEST_F(LinkOverLibusb, CancelFromAnotherThreadEndsThePendingReadAtOnce) {
  Open({}, {1000ms, 10s});
  auto read = StartPendingRead();
  const auto start = Clock::now();
  link_->Cancel();
  EXPECT_EQ(read.get(), 0u);
  EXPECT_LT(Clock::now() - start, 2s);

  // Every later transfer fails at once, without reaching the device.
  const std::size_t in = device_->bulkInUrbs();
  const std::size_t out = device_->bulkOutUrbs();
  std::uint8_t b = '+';
  EXPECT_EQ(link_->LinkWrite(std::span(&b, 1)), 0u);
  EXPECT_EQ(link_->LinkRead(std::span(&b, 1)), 0u);
  EXPECT_EQ(device_->bulkInUrbs(), in);
  EXPECT_EQ(device_->bulkOutUrbs(), out);
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST_F(LinkOverLibusb, StatusCommandAndReplyOnTheWire) {
  Open({}, {1000ms, 1000ms});
  ASSERT_EQ(link_->LinkWrite(Bytes("$gCurrentStatus#ce")), 18u);
  // '+' and then the reply packet, "$Ready.#" and the sum of "Ready." in two hex digits.
  std::string got;
  while (got.size() < 1 + 8 + 2) {
    std::uint8_t b = 0;
    ASSERT_EQ(link_->LinkRead(std::span(&b, 1)), 1u) << "after \"" << got << '"';
    got.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(got, "+$Ready.#23");
  device_->WithProgrammer([](VirtualProgrammer& p) {
    EXPECT_EQ(p.commands(), std::vector<std::string>{"CurrentStatus"});
  });
}

TEST_F(LinkOverLibusb, StatusQueryThroughTheFraming) {
  Open({}, {1000ms, 1000ms});
  ASSERT_TRUE(SendCommandPacket(*link_, "CurrentStatus", nullptr));
  std::vector<std::uint8_t> reply(kReplyBufferSize);
  ASSERT_EQ(ReceiveReplyPacket(*link_, reply), 6);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(reply.data())), "Ready.");
}

TEST_F(LinkOverLibusb, WhatTheDeviceHeldAtTheOpenIsDrainedBeforeTheFirstCommand) {
  Open({}, {1000ms, 1000ms, 20ms});
  // A late acknowledgement, a whole reply and half of one, in three USB transfers.
  DeviceSends(Bytes("+"));
  DeviceSends(Bytes("$OK#9a"));
  DeviceSends(Bytes("$Rea"));
  ASSERT_TRUE(SendCommandPacket(*link_, "CurrentStatus", nullptr));
  std::vector<std::uint8_t> reply(kReplyBufferSize);
  ASSERT_EQ(ReceiveReplyPacket(*link_, reply), 6);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(reply.data())), "Ready.");
  device_->WithProgrammer([](VirtualProgrammer& p) {
    const std::string sent(p.hostBytes().begin(), p.hostBytes().end());
    EXPECT_EQ(sent, "$gCurrentStatus#ce+");
  });
}

TEST_F(LinkOverLibusb, LongWriteArrivesWholeAndInOrder) {
  Open({}, {1000ms, 1000ms});
  // Longer than one usbfs URB (libusb splits at 16 KiB), no frame in it for the firmware.
  std::vector<std::uint8_t> data(40'000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>('a' + i % 26);
  EXPECT_EQ(link_->LinkWrite(data), data.size());
  device_->WithProgrammer([&](VirtualProgrammer& p) { EXPECT_EQ(p.hostBytes(), data); });
}

}  // namespace
}  // namespace torv2::link
