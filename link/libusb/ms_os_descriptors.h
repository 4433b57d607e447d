#pragma once
// Parsers for the descriptors through which a device names its Windows device interface class:
// the Microsoft OS 2.0 platform capability in the BOS descriptor, the MS OS 2.0 descriptor set,
// and the older MS OS 1.0 string descriptor 0xEE and extended properties feature descriptor.
// Plain C++ over byte spans: every byte comes from the device, so every length is checked
// against what arrived, nothing is read past the span, and anything malformed gives "nothing
// found" rather than a partial answer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/guid.h"

namespace torv2::link::msos {

// UUID of the Microsoft OS 2.0 platform capability, D8DD60DF-4589-4CC7-9CD2-659D9E648A9F.
inline constexpr Guid kMsOs20PlatformUuid{
    0xD8DD60DF, 0x4589, 0x4CC7, {0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F}};
// Windows 8.1, the first Windows that reads MS OS 2.0 descriptors.
inline constexpr std::uint32_t kMinWindowsVersion = 0x06030000;

// wIndex of the vendor request that fetches the MS OS 2.0 descriptor set.
inline constexpr std::uint16_t kMsOs20DescriptorIndex = 7;
// String descriptor index of the MS OS 1.0 signature, and wIndex of the extended properties
// feature descriptor.
inline constexpr std::uint8_t kMsOs10StringIndex = 0xEE;
inline constexpr std::uint16_t kMsOs10ExtendedPropertiesIndex = 5;
inline constexpr std::size_t kMsOs10ExtendedPropertiesHeaderSize = 10;

// One "descriptor set information" entry of the MS OS 2.0 platform capability.
struct MsOs20SetInfo {
  std::uint32_t windowsVersion = 0;
  std::uint16_t totalLength = 0;  // wLength of the vendor request
  std::uint8_t vendorCode = 0;    // bRequest of the vendor request
  std::uint8_t altEnumCode = 0;

  friend bool operator==(const MsOs20SetInfo&, const MsOs20SetInfo&) = default;
};

// One device capability descriptor (bLength, bDescriptorType 0x10, bDevCapabilityType, ...).
// The entry for the highest Windows version from kMinWindowsVersion on, if this is a well-formed
// MS OS 2.0 platform capability that has one.
std::optional<MsOs20SetInfo> ParseMsOs20PlatformCapability(std::span<const std::uint8_t> cap);

// A whole BOS descriptor with its device capabilities: the first MS OS 2.0 platform capability
// that gives an entry.
std::optional<MsOs20SetInfo> FindMsOs20SetInfo(std::span<const std::uint8_t> bos);

// A device interface GUID and the interface it applies to.
struct InterfaceGuid {
  // From a configuration subset: the configuration's index; none when the set has no subsets.
  std::optional<std::uint8_t> configurationIndex;
  // The function subset's first interface; 0 outside any function subset.
  std::uint8_t interfaceNumber = 0;
  Guid guid;

  friend bool operator==(const InterfaceGuid&, const InterfaceGuid&) = default;
};

// The GUIDs of the registry properties "DeviceInterfaceGUIDs" (REG_MULTI_SZ) and
// "DeviceInterfaceGUID" (REG_SZ) of an MS OS 2.0 descriptor set, in descriptor order. Empty when
// the set is malformed anywhere or names no GUID.
std::vector<InterfaceGuid> ParseMsOs20DescriptorSet(std::span<const std::uint8_t> set);

// The vendor code of an MS OS 1.0 string descriptor ("MSFT100" and the code), if it is one.
std::optional<std::uint8_t> ParseMsOs10StringDescriptor(std::span<const std::uint8_t> desc);

// dwLength of an extended properties feature descriptor, from its first 10 bytes, when the
// header is well-formed; tells how much to ask for in full.
std::optional<std::uint32_t> ParseMsOs10ExtendedPropertiesLength(
    std::span<const std::uint8_t> header);

// The GUIDs of the same two properties in an MS OS 1.0 extended properties feature
// descriptor. Empty when it is malformed anywhere or names no GUID.
std::vector<Guid> ParseMsOs10ExtendedProperties(std::span<const std::uint8_t> desc);

// The text of a USB string descriptor (UTF-16LE) as UTF-8; nullopt if malformed.
std::optional<std::string> ParseStringDescriptor(std::span<const std::uint8_t> desc);

}  // namespace torv2::link::msos
