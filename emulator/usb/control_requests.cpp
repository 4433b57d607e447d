#include "emulator/usb/control_requests.h"

#include <algorithm>

namespace torv2::emulator::usb {
namespace {

// bmRequestType values.
constexpr std::uint8_t kInStandardDevice = 0x80;
constexpr std::uint8_t kInStandardInterface = 0x81;
constexpr std::uint8_t kInStandardEndpoint = 0x82;
constexpr std::uint8_t kOutStandardDevice = 0x00;
constexpr std::uint8_t kOutStandardInterface = 0x01;
constexpr std::uint8_t kOutStandardEndpoint = 0x02;
constexpr std::uint8_t kInVendorDevice = 0xC0;
constexpr std::uint8_t kInVendorInterface = 0xC1;

// Standard bRequest values.
constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetFeature = 3;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;

ControlAnswer Stall() {
  return {.stall = true, .data = {}};
}

ControlAnswer Data(const std::vector<std::uint8_t>& bytes, const SetupPacket& setup) {
  if (bytes.empty()) return Stall();
  const std::size_t n = std::min<std::size_t>(bytes.size(), setup.length);
  return {.stall = false, .data = {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)}};
}

ControlAnswer Accept() {
  return {};
}

bool IsOwnEndpoint(std::uint16_t index) {
  return index == 0x00 || index == kBulkInEndpoint || index == kBulkOutEndpoint;
}

ControlAnswer GetDescriptor(const Descriptors& d, const SetupPacket& setup) {
  const std::uint8_t type = static_cast<std::uint8_t>(setup.value >> 8);
  const std::uint8_t index = static_cast<std::uint8_t>(setup.value & 0xFF);
  switch (type) {
    case kDeviceDescriptor:
      return index == 0 ? Data(d.device, setup) : Stall();
    case kConfigurationDescriptor:
      return index == 0 ? Data(d.configuration, setup) : Stall();
    case kDeviceQualifierDescriptor:
      return index == 0 ? Data(d.deviceQualifier, setup) : Stall();
    case kBosDescriptor:
      return index == 0 ? Data(d.bos, setup) : Stall();
    case kStringDescriptor:
      if (index == kMsOs10StringIndex) return Data(d.msOs10String, setup);
      if (index < d.strings.size()) return Data(d.strings[index], setup);
      return Stall();
    default:
      return Stall();
  }
}

ControlAnswer Vendor(const Descriptors& d, const SetupPacket& setup) {
  if (setup.requestType == kInVendorDevice && !d.msOs20Set.empty() &&
      setup.request == kMsOs20VendorCode && setup.index == kMsOs20DescriptorIndex &&
      setup.value == 0) {
    return Data(d.msOs20Set, setup);
  }
  if (d.msOs10String.empty() || setup.request != kMsOs10VendorCode) return Stall();
  const std::uint8_t interfaceNumber = static_cast<std::uint8_t>(setup.value >> 8);
  const std::uint8_t page = static_cast<std::uint8_t>(setup.value & 0xFF);
  if (page != 0) return Stall();
  if (setup.requestType == kInVendorDevice && setup.index == kMsOs10CompatIdIndex) {
    return Data(d.msOs10CompatId, setup);
  }
  if (setup.requestType == kInVendorInterface && setup.index == kMsOs10PropertiesIndex &&
      interfaceNumber == kInterfaceNumber) {
    return Data(d.msOs10Properties, setup);
  }
  return Stall();
}

}  // namespace

std::optional<SetupPacket> ParseSetupPacket(std::span<const std::uint8_t> b) {
  if (b.size() < 8) return std::nullopt;
  auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); };
  return SetupPacket{
      .requestType = b[0], .request = b[1], .value = u16(2), .index = u16(4), .length = u16(6)};
}

ControlAnswer AnswerControlRequest(const Descriptors& d, const SetupPacket& setup) {
  if ((setup.requestType & 0x60) == 0x40) return Vendor(d, setup);
  if ((setup.requestType & 0x60) != 0x00) return Stall();  // class or reserved

  switch (setup.requestType) {
    case kInStandardDevice:
      if (setup.request == kGetDescriptor) return GetDescriptor(d, setup);
      if (setup.request == kGetStatus) return Data({0x00, 0x00}, setup);  // bus powered
      if (setup.request == kGetConfiguration) return Data({kConfigurationValue}, setup);
      return Stall();
    case kInStandardInterface:
      if (setup.index != kInterfaceNumber) return Stall();
      if (setup.request == kGetStatus) return Data({0x00, 0x00}, setup);
      if (setup.request == kGetInterface) return Data({0x00}, setup);
      return Stall();
    case kInStandardEndpoint:
      if (setup.request == kGetStatus && IsOwnEndpoint(setup.index)) {
        return Data({0x00, 0x00}, setup);
      }
      return Stall();
    case kOutStandardDevice:
      if (setup.request == kSetConfiguration && setup.value <= kConfigurationValue) return Accept();
      if (setup.request == kClearFeature || setup.request == kSetFeature) return Accept();
      return Stall();
    case kOutStandardInterface:
      if (setup.index != kInterfaceNumber) return Stall();
      if (setup.request == kSetInterface && setup.value == 0) return Accept();
      return Stall();
    case kOutStandardEndpoint:
      if ((setup.request == kClearFeature || setup.request == kSetFeature) &&
          IsOwnEndpoint(setup.index)) {
        return Accept();
      }
      return Stall();
    default:
      return Stall();
  }
}

}  // namespace torv2::emulator::usb
