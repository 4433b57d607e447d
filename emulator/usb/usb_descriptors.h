#pragma once
// The USB descriptors of the virtual programmer, byte for byte as the device sends them.
//
// The device is a vendor-class device with one interface (0) holding bulk IN 0x81 and bulk
// OUT 0x01. Windows learns its device interface GUID from Microsoft OS descriptors; three
// variants are built:
//
//   GuidSource::MsOs20      bcdUSB 0x0201; the BOS holds a USB 2.0 Extension capability and
//                           the Microsoft OS 2.0 platform capability; the vendor request with
//                           wIndex 7 returns the MS OS 2.0 descriptor set: set header,
//                           compatible ID "WINUSB", registry property "DeviceInterfaceGUIDs"
//                           (REG_MULTI_SZ) holding the GUID.
//   GuidSource::MsOs10Only  bcdUSB 0x0200, no BOS; string descriptor 0xEE ("MSFT100" and the
//                           vendor code); the extended compat ID (wIndex 4) and the extended
//                           properties (wIndex 5, recipient interface) holding
//                           "DeviceInterfaceGUID" (REG_SZ).
//   GuidSource::None        a decoy of the same shape without the GUID anywhere: bcdUSB 0x0201
//                           and a BOS with only the USB 2.0 Extension capability.
//
// The layouts follow Microsoft's published Microsoft OS 2.0 descriptor documents and the
// Microsoft OS 1.0 ones (Extended Compat ID and Extended Properties OS Feature Descriptors).
// All multi-byte fields are little-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torv2::emulator {

// Where the device carries its device interface GUID.
enum class GuidSource { MsOs20, MsOs10Only, None };

namespace usb {

// Test ids from pid.codes: nothing may rely on them, the host finds the programmer by its GUID.
inline constexpr std::uint16_t kVendorId = 0x1209;
inline constexpr std::uint16_t kProgrammerProductId = 0x0001;
inline constexpr std::uint16_t kDecoyProductId = 0x0002;
inline constexpr std::uint16_t kDeviceRelease = 0x0100;

inline constexpr std::uint8_t kInterfaceNumber = 0;
inline constexpr std::uint8_t kBulkInEndpoint = 0x81;
inline constexpr std::uint8_t kBulkOutEndpoint = 0x01;
inline constexpr std::uint8_t kConfigurationValue = 1;
inline constexpr std::uint8_t kControlMaxPacketSize = 64;

// The programmer's device interface GUID as the registry property holds it.
inline constexpr std::string_view kDeviceInterfaceGuidText =
    "{B91D9E33-6927-4B4D-A40D-484C312B8C26}";

// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} in wire order (first three fields little-endian).
inline constexpr std::array<std::uint8_t, 16> kMsOs20PlatformUuid = {
    0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
inline constexpr std::uint32_t kWindowsVersion81 = 0x06030000;  // dwWindowsVersion

// bRequest of the vendor requests; the host learns them from the descriptors.
inline constexpr std::uint8_t kMsOs20VendorCode = 0x5A;
inline constexpr std::uint8_t kMsOs10VendorCode = 0x4D;
inline constexpr std::uint16_t kMsOs20DescriptorIndex = 7;  // wIndex of the set request
inline constexpr std::uint16_t kMsOs10CompatIdIndex = 4;    // wIndex, recipient device
inline constexpr std::uint16_t kMsOs10PropertiesIndex = 5;  // wIndex, recipient interface
inline constexpr std::uint8_t kMsOs10StringIndex = 0xEE;

// Descriptor types.
inline constexpr std::uint8_t kDeviceDescriptor = 0x01;
inline constexpr std::uint8_t kConfigurationDescriptor = 0x02;
inline constexpr std::uint8_t kStringDescriptor = 0x03;
inline constexpr std::uint8_t kInterfaceDescriptor = 0x04;
inline constexpr std::uint8_t kEndpointDescriptor = 0x05;
inline constexpr std::uint8_t kDeviceQualifierDescriptor = 0x06;
inline constexpr std::uint8_t kBosDescriptor = 0x0F;
inline constexpr std::uint8_t kDeviceCapabilityDescriptor = 0x10;

struct Identity {
  GuidSource guidSource = GuidSource::MsOs20;
  bool highSpeed = false;
  std::uint16_t bulkMaxPacketSize = 64;
  std::string serial;  // printable ASCII, at most 126 characters; empty: no iSerialNumber
};

struct Descriptors {
  std::vector<std::uint8_t> device;           // 18 bytes
  std::vector<std::uint8_t> configuration;    // configuration, interface and endpoint descriptors
  std::vector<std::uint8_t> deviceQualifier;  // high-speed devices only
  std::vector<std::uint8_t> bos;              // empty: the device has no BOS
  std::vector<std::uint8_t> msOs20Set;        // empty: no MS OS 2.0 descriptor set
  std::vector<std::uint8_t> msOs10String;     // string 0xEE; empty: none
  std::vector<std::uint8_t> msOs10CompatId;
  std::vector<std::uint8_t> msOs10Properties;
  std::vector<std::vector<std::uint8_t>> strings;  // [0] language ids, then by string index
  // Texts for sysfs, as the kernel shows them.
  std::string manufacturer;
  std::string product;
  std::string serial;

  std::uint16_t vendorId() const;
  std::uint16_t productId() const;
  // The sysfs "descriptors" attribute: the device descriptor followed by the configuration.
  std::vector<std::uint8_t> SysfsDescriptors() const;
};

// Builds every descriptor of a device. Throws std::invalid_argument for a serial number that is
// not printable ASCII or too long for a string descriptor, or a bulk packet size that USB does
// not allow at the chosen speed (8, 16, 32 or 64 at full speed; 512 at high speed).
Descriptors BuildDescriptors(const Identity& identity);

// UTF-16LE of an ASCII text, with `terminators` NUL characters appended.
std::vector<std::uint8_t> Utf16Le(std::string_view ascii, std::size_t terminators = 0);

}  // namespace usb
}  // namespace torv2::emulator
