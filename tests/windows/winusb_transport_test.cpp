// The WinUSB transport through a scripted Windows: the exact calls of an open, every step at which
// an open can fail (and that nothing is left held), the pipe search, the time-outs set before each
// transfer, cancelling a transfer in flight, and the real system calls under a Windows without the
// programmer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <set>
#include <thread>

#include "link/usb_link.h"
#include "link/winusb/winusb_transport.h"
#include "tests/windows/fake_winusb.h"

namespace torv2::link::winusb {
namespace {

using ::testing::ElementsAre;
using testing::FakeDevice;
using testing::FakeWinUsb;
using ::testing::HasSubstr;
using testing::ScriptedTransfer;

constexpr char kGuidText[] = "{B91D9E33-6927-4B4D-A40D-484C312B8C26}";

std::vector<std::string> Matching(const std::vector<std::string>& calls, std::string_view prefix) {
  std::vector<std::string> out;
  for (const auto& c : calls) {
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  }
  return out;
}

std::string PolicyCall(unsigned pipe, unsigned milliseconds) {
  char text[96];
  std::snprintf(text, sizeof text, "WinUsb_SetPipePolicy pipe=0x%X policy=3 length=4 value=%u",
                pipe, milliseconds);
  return text;
}

class WinUsbTransportTest : public ::testing::Test {
 protected:
  FakeWinUsb fake;
  WinUsbTransport transport{fake.api()};
};

TEST_F(WinUsbTransportTest, OpensTheProgrammerWithTheseCallsInThisOrder) {
  UsbLink link(transport);
  ASSERT_TRUE(link.OpenUsbLink());
  const std::string path = fake.devices[0].path;
  const std::string detailSize =
      std::to_string(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  EXPECT_THAT(
      fake.calls(),
      ElementsAre(std::string("SetupDiGetClassDevsA ") + kGuidText +
                      " enumerator=null parent=null flags=0x12",
                  "SetupDiEnumDeviceInfo 0",
                  std::string("SetupDiEnumDeviceInterfaces device=0 ") + kGuidText + " member=0",
                  "SetupDiGetDeviceInterfaceDetailA device=0 size?",
                  "SetupDiGetDeviceInterfaceDetailA device=0 cbSize=" +
                      std::to_string(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) +
                      " size=" + detailSize + " devinfo=0",
                  // Who it is, for its name.
                  "SetupDiGetDeviceInstanceIdA device=0 size=200",
                  "SetupDiGetDeviceRegistryPropertyA device=0 property=0x23 size=512",
                  "SetupDiDestroyDeviceInfoList",
                  "CreateFileA " + path +
                      " access=0xC0000000 share=0x3 security=null disposition=3 flags=0x40000000 "
                      "template=null",
                  "WinUsb_Initialize", "WinUsb_QueryInterfaceSettings alt=0",
                  "WinUsb_QueryPipe alt=0 index=0", "WinUsb_QueryPipe alt=0 index=1",
                  "WinUsb_SetPipePolicy pipe=0x81 policy=3 length=4 value=10000",
                  "WinUsb_SetPipePolicy pipe=0x1 policy=3 length=4 value=10000"));
  EXPECT_EQ(link.bulkInPipeId(), 0x81);
  EXPECT_EQ(link.bulkOutPipeId(), 0x01);
  EXPECT_EQ(fake.heldSets(), 0);
  EXPECT_EQ(fake.heldFiles(), 1);
  EXPECT_EQ(fake.heldInterfaces(), 1);

  // Closing frees the WinUSB interface, then closes the device file.
  fake.ClearCalls();
  link.CloseUsbLink();
  EXPECT_THAT(fake.calls(), ElementsAre("WinUsb_Free", "CloseHandle"));
  EXPECT_EQ(fake.heldFiles(), 0);
  EXPECT_EQ(fake.heldInterfaces(), 0);
}

// Every step at which an open can fail. Each case starts from a link that was open before (pipes
// 0x83 and 0x04), so the fields it must leave alone have values of their own.
struct OpenFailure {
  const char* name;
  std::function<void(FakeWinUsb&)> arrange;
  std::vector<std::string> releases;  // the release calls, in order, after the failing step
};

void PrintTo(const OpenFailure& c, std::ostream* os) {
  *os << c.name;
}

class OpenFailureTest : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(OpenFailureTest, FailsAndLeavesEverythingAsItWas) {
  FakeWinUsb fake;
  WinUsbTransport transport(fake.api());
  UsbLink link(transport);
  fake.devices[0].pipes = {{UsbdPipeTypeBulk, 0x83, 64, 0}, {UsbdPipeTypeBulk, 0x04, 64, 0}};
  ASSERT_TRUE(link.OpenUsbLink());
  link.CloseUsbLink();
  fake.devices[0].pipes = {{UsbdPipeTypeBulk, 0x81, 64, 0}, {UsbdPipeTypeBulk, 0x01, 64, 0}};
  fake.ClearCalls();

  GetParam().arrange(fake);
  EXPECT_FALSE(link.OpenUsbLink());
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.bulkInPipeId(), 0x83);
  EXPECT_EQ(link.bulkOutPipeId(), 0x04);
  EXPECT_EQ(fake.heldSets(), 0);
  EXPECT_EQ(fake.heldFiles(), 0);
  EXPECT_EQ(fake.heldInterfaces(), 0);
  std::vector<std::string> releases;
  for (const auto& c : fake.calls()) {
    if (c == "WinUsb_Free" || c == "CloseHandle") releases.push_back(c);
  }
  EXPECT_EQ(releases, GetParam().releases);

  // A transfer on the link that did not open makes no call.
  fake.ClearCalls();
  std::uint8_t byte = 0;
  EXPECT_EQ(link.LinkRead({&byte, 1}), 0u);
  EXPECT_EQ(link.LinkWrite({&byte, 1}), 0u);
  EXPECT_TRUE(fake.calls().empty());
}

using Detail = FakeDevice::Detail;
INSTANTIATE_TEST_SUITE_P(
    EveryStep, OpenFailureTest,
    ::testing::Values(
        OpenFailure{"SetNotBuilt", [](FakeWinUsb& f) { f.setNotBuilt = true; }, {}},
        OpenFailure{"NoDeviceInTheSet", [](FakeWinUsb& f) { f.devices.clear(); }, {}},
        OpenFailure{"NoInterface", [](FakeWinUsb& f) { f.devices[0].hasInterface = false; }, {}},
        OpenFailure{"SizeQuerySucceeds",
                    [](FakeWinUsb& f) { f.devices[0].detail = Detail::kSizeQuerySucceeds; },
                    {}},
        OpenFailure{"SizeQueryOtherError",
                    [](FakeWinUsb& f) { f.devices[0].detail = Detail::kSizeOtherError; },
                    {}},
        OpenFailure{"SizeZero", [](FakeWinUsb& f) { f.devices[0].detail = Detail::kSizeZero; }, {}},
        OpenFailure{"SizeHuge", [](FakeWinUsb& f) { f.devices[0].detail = Detail::kSizeHuge; }, {}},
        OpenFailure{
            "DetailFails", [](FakeWinUsb& f) { f.devices[0].detail = Detail::kDetailFails; }, {}},
        OpenFailure{"PathWithoutTerminator",
                    [](FakeWinUsb& f) { f.devices[0].detail = Detail::kNoTerminator; },
                    {}},
        OpenFailure{
            "CreateFileFails", [](FakeWinUsb& f) { f.devices[0].createFileFails = true; }, {}},
        OpenFailure{"InitializeFails",
                    [](FakeWinUsb& f) { f.devices[0].initializeFails = true; },
                    {"CloseHandle"}},
        // The sound order: the WinUSB interface goes before the file it lives on.
        OpenFailure{"InterfaceSettingsFail",
                    [](FakeWinUsb& f) { f.devices[0].interfaceSettingsFail = true; },
                    {"WinUsb_Free", "CloseHandle"}},
        OpenFailure{"NoBulkOutPipe",
                    [](FakeWinUsb& f) {
                      f.devices[0].pipes = {{UsbdPipeTypeBulk, 0x81, 64, 0},
                                            {UsbdPipeTypeInterrupt, 0x02, 8, 1}};
                    },
                    {"WinUsb_Free", "CloseHandle"}},
        OpenFailure{"NoBulkInPipe",
                    [](FakeWinUsb& f) {
                      f.devices[0].pipes = {{UsbdPipeTypeBulk, 0x01, 64, 0}};
                    },
                    {"WinUsb_Free", "CloseHandle"}},
        OpenFailure{"EveryPipeQueryFails",
                    [](FakeWinUsb& f) {
                      f.devices[0].failingPipeQueries = {0, 1};
                    },
                    {"WinUsb_Free", "CloseHandle"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The pipe search: the last bulk pipe of each direction wins; other types and failed queries are
// passed over.
struct PipeCase {
  const char* name;
  std::vector<WINUSB_PIPE_INFORMATION> pipes;
  std::set<UCHAR> failingQueries;
  std::uint8_t in;
  std::uint8_t out;
};

void PrintTo(const PipeCase& c, std::ostream* os) {
  *os << c.name;
}

class PipeSearchTest : public ::testing::TestWithParam<PipeCase> {};

TEST_P(PipeSearchTest, TakesTheLastBulkPipeOfEachDirection) {
  FakeWinUsb fake;
  fake.devices[0].pipes = GetParam().pipes;
  fake.devices[0].failingPipeQueries = GetParam().failingQueries;
  WinUsbTransport transport(fake.api());
  UsbLink link(transport);
  ASSERT_TRUE(link.OpenUsbLink());
  EXPECT_EQ(link.bulkInPipeId(), GetParam().in);
  EXPECT_EQ(link.bulkOutPipeId(), GetParam().out);
  // The open time-out goes to the two pipes taken, IN first.
  EXPECT_THAT(Matching(fake.calls(), "WinUsb_SetPipePolicy"),
              ElementsAre(PolicyCall(GetParam().in, 10'000), PolicyCall(GetParam().out, 10'000)));
}

INSTANTIATE_TEST_SUITE_P(Pipes, PipeSearchTest,
                         ::testing::Values(PipeCase{"TwoBulkInPipes",
                                                    {{UsbdPipeTypeBulk, 0x81, 64, 0},
                                                     {UsbdPipeTypeBulk, 0x01, 64, 0},
                                                     {UsbdPipeTypeBulk, 0x82, 64, 0}},
                                                    {},
                                                    0x82,
                                                    0x01},
                                           PipeCase{"InterruptAndIsochronousPassedOver",
                                                    {{UsbdPipeTypeBulk, 0x81, 64, 0},
                                                     {UsbdPipeTypeInterrupt, 0x83, 8, 1},
                                                     {UsbdPipeTypeBulk, 0x02, 64, 0},
                                                     {UsbdPipeTypeIsochronous, 0x03, 64, 1}},
                                                    {},
                                                    0x81,
                                                    0x02},
                                           PipeCase{"AFailedQueryIsPassedOver",
                                                    {{UsbdPipeTypeBulk, 0x81, 64, 0},
                                                     {UsbdPipeTypeBulk, 0x01, 64, 0},
                                                     {UsbdPipeTypeBulk, 0x84, 64, 0}},
                                                    {2},
                                                    0x81,
                                                    0x01}),
                         [](const auto& info) { return std::string(info.param.name); });

// Which programmer opens when the set holds several devices of the class.
struct SeveralCase {
  const char* name;
  std::function<void(std::vector<FakeDevice>&)> arrange;
  std::size_t opened;  // index of the device whose path CreateFile gets; npos: none
};

void PrintTo(const SeveralCase& c, std::ostream* os) {
  *os << c.name;
}

class SeveralDevicesTest : public ::testing::TestWithParam<SeveralCase> {};

TEST_P(SeveralDevicesTest, OpensTheFirstDeviceWhosePathReads) {
  FakeWinUsb fake;
  fake.devices = {FakeDevice{}, FakeDevice{}, FakeDevice{}};
  for (std::size_t i = 0; i < fake.devices.size(); ++i) {
    fake.devices[i].path += "#" + std::to_string(i);
  }
  GetParam().arrange(fake.devices);
  WinUsbTransport transport(fake.api());
  const auto device = transport.OpenDevice(DeviceInterfaceGuid, std::chrono::milliseconds(10'000));
  const auto creates = Matching(fake.calls(), "CreateFileA");
  if (GetParam().opened == std::string::npos) {
    EXPECT_EQ(device, nullptr);
  } else {
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_THAT(creates[0], HasSubstr(fake.devices[GetParam().opened].path + " "));
  }
  // Devices after the one chosen are never asked for anything.
  for (std::size_t i = (GetParam().opened == std::string::npos ? 3 : GetParam().opened) + 1; i < 3;
       ++i) {
    EXPECT_THAT(Matching(fake.calls(), "SetupDiEnumDeviceInterfaces device=" + std::to_string(i)),
                ::testing::IsEmpty());
  }
  EXPECT_EQ(fake.heldSets(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SeveralDevicesTest,
    ::testing::Values(
        SeveralCase{"AllGoodTakesTheFirst", [](auto&) {}, 0},
        SeveralCase{"FirstWithoutInterface", [](auto& d) { d[0].hasInterface = false; }, 1},
        SeveralCase{"FirstDetailFails", [](auto& d) { d[0].detail = Detail::kDetailFails; }, 1},
        SeveralCase{"FirstInUseDoesNotFallThrough", [](auto& d) { d[0].createFileFails = true; },
                    0},
        SeveralCase{"OnlyTheLastReads",
                    [](auto& d) {
                      d[0].hasInterface = false;
                      d[1].detail = Detail::kSizeZero;
                    },
                    2},
        SeveralCase{"NoneReads",
                    [](auto& d) {
                      for (auto& x : d) x.hasInterface = false;
                    },
                    std::string::npos}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinUsbTransportTest, ListsEveryDevicePathWithoutOpeningAny) {
  fake.devices = {FakeDevice{}, FakeDevice{}, FakeDevice{}};
  fake.devices[1].hasInterface = false;
  fake.devices[2].path += "#2";
  EXPECT_THAT(transport.ListDevicePaths(DeviceInterfaceGuid),
              ElementsAre(fake.devices[0].path, fake.devices[2].path));
  EXPECT_THAT(Matching(fake.calls(), "CreateFileA"), ::testing::IsEmpty());
  EXPECT_EQ(fake.heldSets(), 0);
}

// Transfers: the pipe's time-out is set before each one; reads ask for whole packets.
class WinUsbTransferTest : public WinUsbTransportTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.OpenUsbLink());
    fake.ClearCalls();
  }
  UsbLink link{transport};
};

TEST_F(WinUsbTransferTest, ReadSetsTheTimeOutThenReadsWholePacketsAndKeepsTheRest) {
  std::vector<std::uint8_t> packet(64);
  for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i);
  fake.transfers.push_back({ScriptedTransfer::Mode::kCompletes, packet});
  std::uint8_t byte = 0xEE;
  ASSERT_EQ(link.LinkRead({&byte, 1}), 1u);
  EXPECT_EQ(byte, 0);
  EXPECT_THAT(fake.calls(),
              ElementsAre("WinUsb_SetPipePolicy pipe=0x81 policy=3 length=4 value=6000",
                          "WinUsb_ReadPipe pipe=0x81 length=64 overlapped",
                          "WinUsb_GetOverlappedResult wait"));
  // The other 63 bytes come from the receive buffer, in order, without another transfer.
  fake.ClearCalls();
  for (int i = 1; i < 64; ++i) {
    ASSERT_EQ(link.LinkRead({&byte, 1}), 1u);
    EXPECT_EQ(byte, i);
  }
  EXPECT_TRUE(fake.calls().empty());
}

TEST_F(WinUsbTransferTest, WriteSetsTheTimeOutAndReturnsWhatWasSent) {
  const std::vector<std::uint8_t> frame = {'$', 'a', '#', '6', '1'};
  fake.transfers.push_back({ScriptedTransfer::Mode::kCompletes, {}, 0, 3});  // a short write
  EXPECT_EQ(link.LinkWrite(frame), 3u);
  EXPECT_THAT(fake.calls(),
              ElementsAre("WinUsb_SetPipePolicy pipe=0x1 policy=3 length=4 value=6000",
                          "WinUsb_WritePipe pipe=0x1 length=5 overlapped",
                          "WinUsb_GetOverlappedResult wait"));
  EXPECT_THAT(fake.written(), ElementsAre(frame));
}

// Ways a transfer ends; the link counts all but real bytes as 0.
struct TransferEnd {
  const char* name;
  ScriptedTransfer script;
  std::uint32_t read;
};

void PrintTo(const TransferEnd& c, std::ostream* os) {
  *os << c.name;
}

class TransferEndTest : public ::testing::TestWithParam<TransferEnd> {};

TEST_P(TransferEndTest, ReadGivesWhatTheDeviceSentOrZero) {
  FakeWinUsb fake;
  WinUsbTransport transport(fake.api());
  UsbLink link(transport);
  ASSERT_TRUE(link.OpenUsbLink());
  fake.transfers.push_back(GetParam().script);
  std::thread device;
  if (GetParam().script.mode == ScriptedTransfer::Mode::kEndsLater) {
    device = std::thread([&] { fake.CompletePending(); });
  }
  std::uint8_t buffer[16];
  EXPECT_EQ(link.LinkRead(buffer), GetParam().read);
  if (device.joinable()) device.join();
}

using Mode = ScriptedTransfer::Mode;
INSTANTIATE_TEST_SUITE_P(
    Ends, TransferEndTest,
    ::testing::Values(TransferEnd{"Completes", {Mode::kCompletes, {'+'}}, 1},
                      TransferEnd{"CompletesEmpty", {Mode::kCompletes, {}}, 0},
                      TransferEnd{"TimesOut", {Mode::kFails, {}, ERROR_SEM_TIMEOUT}, 0},
                      TransferEnd{"DeviceGone", {Mode::kFails, {}, ERROR_DEVICE_NOT_CONNECTED}, 0},
                      TransferEnd{"CompletesLater", {Mode::kEndsLater, {'O', 'K'}}, 2},
                      TransferEnd{"TimesOutLater", {Mode::kEndsLater, {}, ERROR_SEM_TIMEOUT}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinUsbTransferTest, CancelAbortsTheTransferInFlightAndEveryLaterOne) {
  std::thread closer([&] {
    fake.WaitUntilPending();  // the read is waiting for the device
    link.Cancel();
  });
  std::uint8_t buffer[8];
  EXPECT_EQ(link.LinkRead(buffer), 0u);
  closer.join();
  EXPECT_THAT(Matching(fake.calls(), "WinUsb_AbortPipe"),
              ElementsAre("WinUsb_AbortPipe pipe=0x81"));
  fake.ClearCalls();
  EXPECT_EQ(link.LinkWrite(buffer), 0u);
  EXPECT_THAT(Matching(fake.calls(), "WinUsb_WritePipe"), ::testing::IsEmpty());
}

TEST(WinUsbTimeouts, AZeroTimeOutNeverBecomesWaitForEver) {
  FakeWinUsb fake;
  WinUsbTransport transport(fake.api());
  UsbLink link(transport, LinkTimeouts{std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
  ASSERT_TRUE(link.OpenUsbLink());
  fake.transfers.push_back({Mode::kCompletes, {'+'}});
  std::uint8_t byte;
  ASSERT_EQ(link.LinkRead({&byte, 1}), 1u);
  for (const auto& call : Matching(fake.calls(), "WinUsb_SetPipePolicy")) {
    EXPECT_THAT(call, HasSubstr("value=1"));
  }
}

TEST(WinUsbTimeouts, ATransferTheDriverNeverEndsIsAbortedAfterItsTimeOut) {
  FakeWinUsb fake;
  WinUsbTransport transport(fake.api(), WinUsbOptions{std::chrono::milliseconds(0)});
  UsbLink link(transport,
               LinkTimeouts{std::chrono::milliseconds(50), std::chrono::milliseconds(20)});
  ASSERT_TRUE(link.OpenUsbLink());
  fake.transfers.push_back({Mode::kPending});
  std::uint8_t byte;
  EXPECT_EQ(link.LinkRead({&byte, 1}), 0u);
  EXPECT_THAT(Matching(fake.calls(), "WinUsb_AbortPipe"),
              ElementsAre("WinUsb_AbortPipe pipe=0x81"));
}

// The real calls on this Windows, which has no programmer attached.
TEST(SystemWinUsb, FindsNoProgrammerAndHoldsNothing) {
  EXPECT_TRUE(SystemWinUsbApi().HasWinUsb());
  WinUsbTransport transport;
  EXPECT_TRUE(transport.ListDevicePaths(DeviceInterfaceGuid).empty());
  UsbLink link(transport);
  EXPECT_FALSE(link.OpenUsbLink());
  std::uint8_t byte = 0;
  EXPECT_EQ(link.LinkRead({&byte, 1}), 0u);
}

TEST(WindowsGuid, HasTheProgrammersBytesInMemory) {
  const GUID guid = ToWindowsGuid(DeviceInterfaceGuid);
  const std::uint8_t expected[16] = {0x33, 0x9E, 0x1D, 0xB9, 0x27, 0x69, 0x4D, 0x4B,
                                     0xA4, 0x0D, 0x48, 0x4C, 0x31, 0x2B, 0x8C, 0x26};
  EXPECT_EQ(std::memcmp(&guid, expected, sizeof expected), 0);
}

}  // namespace
}  // namespace torv2::link::winusb
