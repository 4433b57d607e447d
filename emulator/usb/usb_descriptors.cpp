#include "emulator/usb/usb_descriptors.h"

#include <stdexcept>

namespace torv2::emulator::usb {
namespace {

// Appends little-endian fields to a byte vector.
class Bytes {
 public:
  Bytes& u8(std::uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  Bytes& u16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
      out_.push_back(static_cast<std::uint8_t>(v >> shift));
    return *this;
  }
  template <class Range>
  Bytes& raw(const Range& range) {
    out_.insert(out_.end(), std::begin(range), std::end(range));
    return *this;
  }
  Bytes& zeros(std::size_t n) {
    out_.insert(out_.end(), n, 0);
    return *this;
  }
  // An 8-byte compatible ID field: the ASCII text padded with NULs.
  Bytes& id8(std::string_view text) {
    raw(text);
    return zeros(8 - text.size());
  }
  std::size_t size() const { return out_.size(); }
  std::vector<std::uint8_t> take() { return std::move(out_); }

 private:
  std::vector<std::uint8_t> out_;
};

std::uint16_t Narrow16(std::size_t n) {
  if (n > 0xFFFF) throw std::logic_error("descriptor too long");
  return static_cast<std::uint16_t>(n);
}

std::vector<std::uint8_t> StringDescriptor(std::string_view ascii) {
  const std::vector<std::uint8_t> text = Utf16Le(ascii);
  Bytes d;
  d.u8(static_cast<std::uint8_t>(2 + text.size())).u8(kStringDescriptor).raw(text);
  return d.take();
}

void CheckSerial(std::string_view serial) {
  if (serial.size() > 126) throw std::invalid_argument("serial number longer than 126 characters");
  for (const char c : serial) {
    if (c < 0x20 || c > 0x7E) throw std::invalid_argument("serial number is not printable ASCII");
  }
}

std::uint16_t CheckedPacketSize(const Identity& id) {
  if (id.highSpeed) {
    if (id.bulkMaxPacketSize != 512)
      throw std::invalid_argument("a high-speed bulk endpoint has 512-byte packets");
  } else if (id.bulkMaxPacketSize != 8 && id.bulkMaxPacketSize != 16 &&
             id.bulkMaxPacketSize != 32 && id.bulkMaxPacketSize != 64) {
    throw std::invalid_argument("a full-speed bulk endpoint has 8, 16, 32 or 64-byte packets");
  }
  return id.bulkMaxPacketSize;
}

// USB 2.0 Extension capability (USB 2.0 LPM ECN): no LPM.
void AppendUsb20Extension(Bytes& bos) {
  bos.u8(7).u8(kDeviceCapabilityDescriptor).u8(0x02).u32(0);
}

// Microsoft OS 2.0 descriptor set for a device with a single function: the features sit
// directly after the set header, without configuration or function subsets.
std::vector<std::uint8_t> BuildMsOs20Set() {
  const std::vector<std::uint8_t> name = Utf16Le("DeviceInterfaceGUIDs", 1);
  // REG_MULTI_SZ: one string, its NUL, and the NUL that ends the list.
  const std::vector<std::uint8_t> value = Utf16Le(kDeviceInterfaceGuidText, 2);

  Bytes compatibleId;  // MS_OS_20_FEATURE_COMPATBLE_ID
  compatibleId.u16(20).u16(0x0003).id8("WINUSB").id8("");

  Bytes property;  // MS_OS_20_FEATURE_REG_PROPERTY
  const std::size_t propertyLength = 2 + 2 + 2 + 2 + name.size() + 2 + value.size();
  property.u16(Narrow16(propertyLength))
      .u16(0x0004)
      .u16(0x0007)  // REG_MULTI_SZ
      .u16(Narrow16(name.size()))
      .raw(name)
      .u16(Narrow16(value.size()))
      .raw(value);

  const std::size_t total = 10 + compatibleId.size() + property.size();
  Bytes set;  // MS_OS_20_SET_HEADER_DESCRIPTOR
  set.u16(10).u16(0x0000).u32(kWindowsVersion81).u16(Narrow16(total));
  set.raw(compatibleId.take()).raw(property.take());
  return set.take();
}

std::vector<std::uint8_t> BuildMsOs20PlatformCapability(std::size_t setLength) {
  Bytes cap;
  cap.u8(28)
      .u8(kDeviceCapabilityDescriptor)
      .u8(0x05)  // PLATFORM
      .u8(0)     // bReserved
      .raw(kMsOs20PlatformUuid)
      // Descriptor set information.
      .u32(kWindowsVersion81)
      .u16(Narrow16(setLength))
      .u8(kMsOs20VendorCode)
      .u8(0);  // bAltEnumCode: no alternate enumeration
  return cap.take();
}

std::vector<std::uint8_t> BuildMsOs10String() {
  Bytes d;
  d.u8(18).u8(kStringDescriptor).raw(Utf16Le("MSFT100")).u8(kMsOs10VendorCode).u8(0);
  return d.take();
}

// Extended Compat ID OS Feature Descriptor: a header and one function section.
std::vector<std::uint8_t> BuildMsOs10CompatId() {
  Bytes d;
  d.u32(16 + 24).u16(0x0100).u16(kMsOs10CompatIdIndex).u8(1).zeros(7);
  d.u8(kInterfaceNumber).u8(0x01).id8("WINUSB").id8("").zeros(6);
  return d.take();
}

// Extended Properties OS Feature Descriptor holding one REG_SZ property.
std::vector<std::uint8_t> BuildMsOs10Properties() {
  const std::vector<std::uint8_t> name = Utf16Le("DeviceInterfaceGUID", 1);
  const std::vector<std::uint8_t> value = Utf16Le(kDeviceInterfaceGuidText, 1);
  const std::size_t section = 4 + 4 + 2 + name.size() + 4 + value.size();
  Bytes d;
  d.u32(static_cast<std::uint32_t>(10 + section)).u16(0x0100).u16(kMsOs10PropertiesIndex).u16(1);
  d.u32(static_cast<std::uint32_t>(section))
      .u32(1)  // REG_SZ
      .u16(Narrow16(name.size()))
      .raw(name)
      .u32(static_cast<std::uint32_t>(value.size()))
      .raw(value);
  return d.take();
}

}  // namespace

std::vector<std::uint8_t> Utf16Le(std::string_view ascii, std::size_t terminators) {
  std::vector<std::uint8_t> out;
  out.reserve(2 * (ascii.size() + terminators));
  for (const char c : ascii) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  out.insert(out.end(), 2 * terminators, 0);
  return out;
}

std::uint16_t Descriptors::vendorId() const {
  return static_cast<std::uint16_t>(device.at(8) | (device.at(9) << 8));
}

std::uint16_t Descriptors::productId() const {
  return static_cast<std::uint16_t>(device.at(10) | (device.at(11) << 8));
}

std::vector<std::uint8_t> Descriptors::SysfsDescriptors() const {
  std::vector<std::uint8_t> out = device;
  out.insert(out.end(), configuration.begin(), configuration.end());
  return out;
}

Descriptors BuildDescriptors(const Identity& id) {
  CheckSerial(id.serial);
  const std::uint16_t packetSize = CheckedPacketSize(id);
  const bool programmer = id.guidSource != GuidSource::None;

  Descriptors d;
  d.manufacturer = programmer ? "ZARN" : "Example";
  d.product = programmer ? "TORV II programmer (virtual)" : "Virtual USB device";
  d.serial = id.serial;

  d.strings.push_back({4, kStringDescriptor, 0x09, 0x04});  // English (United States)
  d.strings.push_back(StringDescriptor(d.manufacturer));
  d.strings.push_back(StringDescriptor(d.product));
  if (!id.serial.empty()) d.strings.push_back(StringDescriptor(id.serial));

  const std::uint16_t bcdUsb = id.guidSource == GuidSource::MsOs10Only ? 0x0200 : 0x0201;
  Bytes device;
  device.u8(18)
      .u8(kDeviceDescriptor)
      .u16(bcdUsb)
      .u8(0x00)  // class per interface
      .u8(0x00)
      .u8(0x00)
      .u8(kControlMaxPacketSize)
      .u16(kVendorId)
      .u16(programmer ? kProgrammerProductId : kDecoyProductId)
      .u16(kDeviceRelease)
      .u8(1)  // iManufacturer
      .u8(2)  // iProduct
      .u8(id.serial.empty() ? 0 : 3)
      .u8(1);  // bNumConfigurations
  d.device = device.take();

  Bytes config;
  config.u8(9)
      .u8(kConfigurationDescriptor)
      .u16(9 + 9 + 7 + 7)
      .u8(1)  // bNumInterfaces
      .u8(kConfigurationValue)
      .u8(0)     // iConfiguration
      .u8(0x80)  // bus powered
      .u8(50);   // 100 mA
  config.u8(9)
      .u8(kInterfaceDescriptor)
      .u8(kInterfaceNumber)
      .u8(0)  // bAlternateSetting
      .u8(2)  // bNumEndpoints
      .u8(0xFF)
      .u8(0x00)
      .u8(0x00)
      .u8(0);  // iInterface
  config.u8(7).u8(kEndpointDescriptor).u8(kBulkInEndpoint).u8(0x02).u16(packetSize).u8(0);
  config.u8(7).u8(kEndpointDescriptor).u8(kBulkOutEndpoint).u8(0x02).u16(packetSize).u8(0);
  d.configuration = config.take();

  if (id.highSpeed) {
    Bytes q;
    q.u8(10).u8(kDeviceQualifierDescriptor).u16(0x0200).u8(0).u8(0).u8(0);
    q.u8(kControlMaxPacketSize).u8(1).u8(0);
    d.deviceQualifier = q.take();
  }

  switch (id.guidSource) {
    case GuidSource::MsOs20: {
      d.msOs20Set = BuildMsOs20Set();
      const std::vector<std::uint8_t> platform = BuildMsOs20PlatformCapability(d.msOs20Set.size());
      Bytes bos;
      bos.u8(5).u8(kBosDescriptor).u16(Narrow16(5 + 7 + platform.size())).u8(2);
      AppendUsb20Extension(bos);
      bos.raw(platform);
      d.bos = bos.take();
      break;
    }
    case GuidSource::MsOs10Only:
      d.msOs10String = BuildMsOs10String();
      d.msOs10CompatId = BuildMsOs10CompatId();
      d.msOs10Properties = BuildMsOs10Properties();
      break;
    case GuidSource::None: {
      Bytes bos;
      bos.u8(5).u8(kBosDescriptor).u16(5 + 7).u8(1);
      AppendUsb20Extension(bos);
      d.bos = bos.take();
      break;
    }
  }
  return d;
}

}  // namespace torv2::emulator::usb
