// The virtual programmer's descriptors as bytes, checked against tables written out by hand
// from Microsoft's published layouts (MS OS 2.0 set header, compatible ID, registry property,
// platform capability; MS OS 1.0 string, extended compat ID, extended properties) and the USB
// 2.0 descriptor layouts. A parser elsewhere in the project is written from the same layouts;
// these tables make sure both sides agree with the documents rather than with each other.

#include "emulator/usb/usb_descriptors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator/usb/control_requests.h"

namespace torv2::emulator::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

// UTF-16LE of ASCII text plus NUL characters.
Bytes W(const std::string& text, int nuls) {
  Bytes out;
  for (const char c : text) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  out.insert(out.end(), 2 * static_cast<std::size_t>(nuls), 0);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const std::string kGuid = "{B91D9E33-6927-4B4D-A40D-484C312B8C26}";

TEST(UsbDescriptors, MsOs20SetMatchesTheLayoutByteForByte) {
  const Descriptors d = BuildDescriptors({.guidSource = GuidSource::MsOs20});
  const Bytes expected = Cat({
      // Set header: wLength 10, wDescriptorType 0 (SET_HEADER), dwWindowsVersion 0x06030000,
      // wTotalLength 162.
      {0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x06, 0xA2, 0x00},
      // Compatible ID: wLength 20, wDescriptorType 3, CompatibleID "WINUSB", SubCompatibleID 0.
      {0x14, 0x00, 0x03, 0x00, 'W', 'I', 'N', 'U', 'S', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      // Registry property: wLength 132, wDescriptorType 4, wPropertyDataType 7 (REG_MULTI_SZ),
      // wPropertyNameLength 42, the name, wPropertyDataLength 80, the GUID and two NULs.
      {0x84, 0x00, 0x04, 0x00, 0x07, 0x00, 0x2A, 0x00},
      W("DeviceInterfaceGUIDs", 1),
      {0x50, 0x00},
      W(kGuid, 2),
  });
  EXPECT_EQ(d.msOs20Set, expected);
}

TEST(UsbDescriptors, BosHoldsUsb20ExtensionAndMsOs20PlatformCapability) {
  const Descriptors d = BuildDescriptors({.guidSource = GuidSource::MsOs20});
  const Bytes expected = {
      // BOS: bLength 5, type 0x0F, wTotalLength 40, bNumDeviceCaps 2.
      0x05, 0x0F, 0x28, 0x00, 0x02,
      // USB 2.0 Extension: bLength 7, type 0x10, capability 2, bmAttributes 0.
      0x07, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00,
      // Platform: bLength 28, type 0x10, capability 5, bReserved 0,
      0x1C, 0x10, 0x05, 0x00,
      // PlatformCapabilityUUID D8DD60DF-4589-4CC7-9CD2-659D9E648A9F,
      0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A,
      0x9F,
      // dwWindowsVersion 0x06030000, wMSOSDescriptorSetTotalLength 162, vendor code, no
      // alternate enumeration.
      0x00, 0x00, 0x03, 0x06, 0xA2, 0x00, kMsOs20VendorCode, 0x00};
  EXPECT_EQ(d.bos, expected);
  EXPECT_EQ(d.device[2], 0x01);  // bcdUSB 0x0201: hosts read the BOS
  EXPECT_EQ(d.device[3], 0x02);
  EXPECT_TRUE(d.msOs10String.empty());
}

TEST(UsbDescriptors, MsOs10DescriptorsMatchTheLayoutByteForByte) {
  const Descriptors d = BuildDescriptors({.guidSource = GuidSource::MsOs10Only});
  EXPECT_EQ(d.msOs10String, Cat({{0x12, 0x03}, W("MSFT100", 0), {kMsOs10VendorCode, 0x00}}));
  EXPECT_EQ(d.msOs10CompatId,
            Bytes({// Header: dwLength 40, bcdVersion 1.00, wIndex 4, bCount 1, 7 reserved.
                   0x28, 0x00, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0,
                   // Function: bFirstInterfaceNumber 0, reserved 1, compatible ID "WINUSB",
                   // sub-compatible ID 0, 6 reserved.
                   0x00, 0x01, 'W', 'I', 'N', 'U', 'S', 'B', 0, 0,  //
                   0, 0, 0, 0, 0, 0, 0, 0,                          //
                   0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(d.msOs10Properties,
            Cat({// Header: dwLength 142, bcdVersion 1.00, wIndex 5, wCount 1.
                 {0x8E, 0x00, 0x00, 0x00, 0x00, 0x01, 0x05, 0x00, 0x01, 0x00},
                 // Property: dwSize 132, dwPropertyDataType 1 (REG_SZ), wPropertyNameLength 40,
                 {0x84, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x28, 0x00},
                 W("DeviceInterfaceGUID", 1),
                 // dwPropertyDataLength 78, the GUID and its NUL.
                 {0x4E, 0x00, 0x00, 0x00},
                 W(kGuid, 1)}));
  EXPECT_TRUE(d.bos.empty());
  EXPECT_TRUE(d.msOs20Set.empty());
  EXPECT_EQ(d.device[2], 0x00);  // bcdUSB 0x0200
  EXPECT_EQ(d.device[3], 0x02);
}

TEST(UsbDescriptors, DecoyCarriesNoGuid) {
  const Descriptors d = BuildDescriptors({.guidSource = GuidSource::None});
  EXPECT_EQ(d.bos, Bytes({0x05, 0x0F, 0x0C, 0x00, 0x01, 0x07, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(d.msOs20Set.empty());
  EXPECT_TRUE(d.msOs10String.empty());
  EXPECT_NE(d.productId(), BuildDescriptors({}).productId());
}

struct SpeedCase {
  bool highSpeed;
  std::uint16_t packetSize;
};

class DeviceAndConfiguration : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(DeviceAndConfiguration, MatchTheUsbLayout) {
  const SpeedCase c = GetParam();
  const Descriptors d = BuildDescriptors({.guidSource = GuidSource::MsOs20,
                                          .highSpeed = c.highSpeed,
                                          .bulkMaxPacketSize = c.packetSize,
                                          .serial = "S1"});
  const auto lo = static_cast<std::uint8_t>(c.packetSize & 0xFF);
  const auto hi = static_cast<std::uint8_t>(c.packetSize >> 8);
  EXPECT_EQ(d.device, Bytes({18, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00, 64, 0x09, 0x12, 0x01, 0x00,
                             0x00, 0x01, 1, 2, 3, 1}));
  EXPECT_EQ(d.configuration,
            Bytes({9, 0x02, 32,   0,    1,  1,    0,    0x80, 50,  // configuration
                   9, 0x04, 0,    0,    2,  0xFF, 0x00, 0x00, 0,   // interface 0, vendor class
                   7, 0x05, 0x81, 0x02, lo, hi,   0,               // bulk IN
                   7, 0x05, 0x01, 0x02, lo, hi,   0}));            // bulk OUT
  EXPECT_EQ(d.strings.at(3), Cat({{6, 0x03}, W("S1", 0)}));
  EXPECT_EQ(d.deviceQualifier.empty(), !c.highSpeed);
}

INSTANTIATE_TEST_SUITE_P(Speeds, DeviceAndConfiguration,
                         ::testing::Values(SpeedCase{false, 64}, SpeedCase{true, 512}));

TEST(UsbDescriptors, RefusesWhatNoUsbDeviceCouldHave) {
  EXPECT_THROW(BuildDescriptors({.highSpeed = false, .bulkMaxPacketSize = 512}),
               std::invalid_argument);
  EXPECT_THROW(BuildDescriptors({.highSpeed = true, .bulkMaxPacketSize = 64}),
               std::invalid_argument);
  EXPECT_THROW(BuildDescriptors({.serial = std::string(127, 'x')}), std::invalid_argument);
  EXPECT_THROW(BuildDescriptors({.serial = "tab\there"}), std::invalid_argument);
  EXPECT_NO_THROW(BuildDescriptors({.serial = std::string(126, 'x')}));
  EXPECT_EQ(BuildDescriptors({}).device[16], 0);  // no serial: no iSerialNumber
}

TEST(ControlRequests, AnswersAreCutToWLength) {
  const Descriptors d = BuildDescriptors({});
  const SetupPacket device{.requestType = 0x80, .request = 6, .value = 0x0100, .length = 8};
  const ControlAnswer a = AnswerControlRequest(d, device);
  EXPECT_FALSE(a.stall);
  EXPECT_EQ(a.data, Bytes(d.device.begin(), d.device.begin() + 8));
  const SetupPacket set{
      .requestType = 0xC0, .request = kMsOs20VendorCode, .index = 7, .length = 0xFFFF};
  EXPECT_EQ(AnswerControlRequest(d, set).data, d.msOs20Set);
}

TEST(ControlRequests, SetupPacketIsLittleEndian) {
  const Bytes raw = {0xC1, 0x4D, 0x00, 0x01, 0x05, 0x00, 0x0A, 0x01};
  const auto s = ParseSetupPacket(raw);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->requestType, 0xC1);
  EXPECT_EQ(s->request, 0x4D);
  EXPECT_EQ(s->value, 0x0100);
  EXPECT_EQ(s->index, 5);
  EXPECT_EQ(s->length, 0x010A);
  EXPECT_FALSE(ParseSetupPacket(Bytes(7, 0)).has_value());
}

}  // namespace
}  // namespace torv2::emulator::usb
