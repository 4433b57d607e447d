#include "link/libusb/ms_os_descriptors.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace torv2::link::msos {
namespace {

// Little-endian reads; callers have checked that the bytes are there.
std::uint16_t U16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
         (std::uint32_t{b[at + 3]} << 24);
}

// Registry value types.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegMultiSz = 7;

// UTF-16LE code units of `bytes` up to the first NUL unit (or the end). An odd trailing byte is
// not a unit and is ignored.
std::u16string Utf16Units(std::span<const std::uint8_t> bytes) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto u = static_cast<char16_t>(U16(bytes, i));
    if (u == 0) break;
    units.push_back(u);
  }
  return units;
}

// The units as ASCII, or nullopt when one is outside it.
std::optional<std::string> Ascii(std::u16string_view units) {
  std::string text;
  text.reserve(units.size());
  for (const char16_t u : units) {
    if (u >= 0x80) return std::nullopt;
    text.push_back(static_cast<char>(u));
  }
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The GUIDs of one registry property, if its name and type are those of a device interface
// GUID property; empty otherwise. Registry value names ignore letter case.
std::vector<Guid> InterfaceGuidsOfProperty(std::span<const std::uint8_t> name, std::uint32_t type,
                                           std::span<const std::uint8_t> data) {
  const auto text = Ascii(Utf16Units(name));
  if (!text) return {};
  const bool multi = EqualsIgnoringCase(*text, "DeviceInterfaceGUIDs") && type == kRegMultiSz;
  const bool single = EqualsIgnoringCase(*text, "DeviceInterfaceGUID") && type == kRegSz;
  if (!multi && !single) return {};

  // A REG_MULTI_SZ is a run of NUL-terminated strings ended by an empty one; a REG_SZ is the
  // first of them. A missing final terminator is tolerated: the data length bounds the walk.
  std::vector<Guid> guids;
  std::size_t at = 0;
  while (at + 1 < data.size()) {
    const std::u16string units = Utf16Units(data.subspan(at));
    if (units.empty()) break;
    if (const auto ascii = Ascii(units)) {
      if (const auto guid = Guid::Parse(*ascii)) guids.push_back(*guid);
    }
    if (single) break;
    at += 2 * (units.size() + 1);
  }
  return guids;
}

// MS OS 2.0 descriptor types.
constexpr std::uint16_t kSetHeader = 0x00;
constexpr std::uint16_t kSubsetHeaderConfiguration = 0x01;
constexpr std::uint16_t kSubsetHeaderFunction = 0x02;
constexpr std::uint16_t kFeatureRegProperty = 0x04;

constexpr std::size_t kSetHeaderSize = 10;
constexpr std::size_t kSubsetHeaderSize = 8;
// wLength, wDescriptorType, wPropertyDataType, wPropertyNameLength, then the name, then
// wPropertyDataLength and the data.
constexpr std::size_t kRegPropertyFixedSize = 10;

// Where a feature of the set sits: in which configuration subset (if any) and for which
// interface.
struct Place {
  bool inConfiguration = false;
  std::uint8_t configurationIndex = 0;
  std::uint8_t interfaceNumber = 0;
};

// Parses the registry property at `d` (its wLength bytes exactly) into `out`; false when its
// inner lengths do not fit.
bool ParseMsOs20RegProperty(std::span<const std::uint8_t> d, const Place& place,
                            std::vector<InterfaceGuid>& out) {
  if (d.size() < kRegPropertyFixedSize) return false;
  const std::uint16_t type = U16(d, 4);
  const std::size_t nameLength = U16(d, 6);
  if (8 + nameLength + 2 > d.size()) return false;
  const std::size_t dataLength = U16(d, 8 + nameLength);
  if (kRegPropertyFixedSize + nameLength + dataLength > d.size()) return false;
  const auto name = d.subspan(8, nameLength);
  const auto data = d.subspan(10 + nameLength, dataLength);
  for (const Guid& g : InterfaceGuidsOfProperty(name, type, data)) {
    InterfaceGuid entry;
    if (place.inConfiguration) entry.configurationIndex = place.configurationIndex;
    entry.interfaceNumber = place.interfaceNumber;
    entry.guid = g;
    out.push_back(entry);
  }
  return true;
}

}  // namespace

std::optional<MsOs20SetInfo> ParseMsOs20PlatformCapability(std::span<const std::uint8_t> cap) {
  constexpr std::size_t kHeader = 20;  // bLength .. PlatformCapabilityUUID
  constexpr std::size_t kEntry = 8;
  if (cap.size() < 3) return std::nullopt;
  const std::size_t length = cap[0];
  if (length > cap.size() || cap[1] != 0x10 || cap[2] != 0x05) return std::nullopt;
  if (length < kHeader + kEntry || (length - kHeader) % kEntry != 0) return std::nullopt;
  if (Guid::FromBytes(cap.subspan<4, 16>()) != kMsOs20PlatformUuid) return std::nullopt;

  std::optional<MsOs20SetInfo> best;
  for (std::size_t at = kHeader; at + kEntry <= length; at += kEntry) {
    const MsOs20SetInfo entry{U32(cap, at), U16(cap, at + 4), cap[at + 6], cap[at + 7]};
    if (entry.windowsVersion < kMinWindowsVersion) continue;
    // A set cannot be shorter than its own header.
    if (entry.totalLength < kSetHeaderSize) continue;
    if (!best || entry.windowsVersion > best->windowsVersion) best = entry;
  }
  return best;
}

std::optional<MsOs20SetInfo> FindMsOs20SetInfo(std::span<const std::uint8_t> bos) {
  constexpr std::size_t kBosHeader = 5;
  if (bos.size() < kBosHeader) return std::nullopt;
  const std::size_t headerLength = bos[0];
  const std::size_t total = U16(bos, 2);
  if (bos[1] != 0x0F || headerLength < kBosHeader || total < headerLength || total > bos.size()) {
    return std::nullopt;
  }
  const auto all = bos.first(total);
  std::size_t count = bos[4];
  for (std::size_t at = headerLength; count > 0 && at < total; --count) {
    if (total - at < 3) return std::nullopt;
    const std::size_t length = all[at];
    if (length < 3 || length > total - at) return std::nullopt;
    if (const auto info = ParseMsOs20PlatformCapability(all.subspan(at, length))) return info;
    at += length;
  }
  return std::nullopt;
}

std::vector<InterfaceGuid> ParseMsOs20DescriptorSet(std::span<const std::uint8_t> set) {
  if (set.size() < kSetHeaderSize) return {};
  if (U16(set, 0) != kSetHeaderSize || U16(set, 2) != kSetHeader) return {};
  const std::size_t total = U16(set, 8);
  if (total < kSetHeaderSize || total > set.size()) return {};

  // Where the open subsets end (0: none open) and what they say.
  std::vector<InterfaceGuid> found;
  std::size_t configEnd = 0;
  std::size_t functionEnd = 0;
  std::uint8_t configIndex = 0;
  std::uint8_t interfaceNumber = 0;
  std::size_t at = kSetHeaderSize;
  while (at < total) {
    // Leave the subsets that end here. A descriptor never crosses a subset's end (checked below),
    // so `at` meets each end exactly.
    if (functionEnd == at) functionEnd = 0;
    if (configEnd == at) configEnd = 0;
    const std::size_t limit = functionEnd ? functionEnd : configEnd ? configEnd : total;
    if (limit - at < 4) return {};
    const std::size_t length = U16(set, at);
    const std::uint16_t type = U16(set, at + 2);
    if (length < 4 || length > limit - at) return {};
    const auto d = set.subspan(at, length);

    switch (type) {
      case kSubsetHeaderConfiguration: {
        if (length != kSubsetHeaderSize || configEnd || functionEnd) return {};  // no nesting
        const std::size_t subsetLength = U16(d, 6);
        if (subsetLength < kSubsetHeaderSize || subsetLength > total - at) return {};
        configEnd = at + subsetLength;
        configIndex = d[4];
        break;
      }
      case kSubsetHeaderFunction: {
        if (length != kSubsetHeaderSize || functionEnd) return {};  // no nesting
        const std::size_t subsetLength = U16(d, 6);
        const std::size_t outer = configEnd ? configEnd : total;
        if (subsetLength < kSubsetHeaderSize || subsetLength > outer - at) return {};
        functionEnd = at + subsetLength;
        interfaceNumber = d[4];
        break;
      }
      case kFeatureRegProperty: {
        const Place place{configEnd != 0, configIndex,
                          functionEnd ? interfaceNumber : std::uint8_t{0}};
        if (!ParseMsOs20RegProperty(d, place, found)) return {};
        break;
      }
      case kSetHeader:
        return {};  // only at the start
      default:
        break;  // other features (compatible ID, model ID, ...) say nothing about the GUID
    }
    at += length;
  }
  return found;
}

std::optional<std::uint8_t> ParseMsOs10StringDescriptor(std::span<const std::uint8_t> desc) {
  // bLength 0x12, bDescriptorType 3, "MSFT100" in UTF-16LE, bMS_VendorCode, bPad.
  static constexpr std::array<std::uint8_t, 14> kSignature = {'M', 0,   'S', 0,   'F', 0,   'T',
                                                              0,   '1', 0,   '0', 0,   '0', 0};
  constexpr std::size_t kLength = 18;
  if (desc.size() < kLength || desc[0] < kLength || desc[0] > desc.size() || desc[1] != 0x03) {
    return std::nullopt;
  }
  if (!std::equal(kSignature.begin(), kSignature.end(), desc.begin() + 2)) return std::nullopt;
  return desc[16];
}

std::optional<std::uint32_t> ParseMsOs10ExtendedPropertiesLength(
    std::span<const std::uint8_t> header) {
  if (header.size() < kMsOs10ExtendedPropertiesHeaderSize) return std::nullopt;
  const std::uint32_t length = U32(header, 0);
  if (length < kMsOs10ExtendedPropertiesHeaderSize || U16(header, 4) != 0x0100 ||
      U16(header, 6) != kMsOs10ExtendedPropertiesIndex) {
    return std::nullopt;
  }
  return length;
}

std::vector<Guid> ParseMsOs10ExtendedProperties(std::span<const std::uint8_t> desc) {
  const auto length = ParseMsOs10ExtendedPropertiesLength(desc);
  if (!length || *length > desc.size()) return {};
  const auto all = desc.first(*length);
  std::size_t count = U16(all, 8);

  // Each section: dwSize, dwPropertyDataType, wPropertyNameLength, the name,
  // dwPropertyDataLength, the data.
  constexpr std::size_t kSectionFixedSize = 14;
  std::vector<Guid> found;
  std::size_t at = kMsOs10ExtendedPropertiesHeaderSize;
  for (; count > 0; --count) {
    if (all.size() - at < kSectionFixedSize) return {};
    const std::size_t size = U32(all, at);
    if (size < kSectionFixedSize || size > all.size() - at) return {};
    const auto s = all.subspan(at, size);
    const std::uint32_t type = U32(s, 4);
    const std::size_t nameLength = U16(s, 8);
    if (10 + nameLength + 4 > size) return {};
    const std::size_t dataLength = U32(s, 10 + nameLength);
    if (dataLength > size - kSectionFixedSize - nameLength) return {};
    const auto name = s.subspan(10, nameLength);
    const auto data = s.subspan(14 + nameLength, dataLength);
    for (const Guid& g : InterfaceGuidsOfProperty(name, type, data)) found.push_back(g);
    at += size;
  }
  return found;
}

std::optional<std::string> ParseStringDescriptor(std::span<const std::uint8_t> desc) {
  if (desc.size() < 2 || desc[0] < 2 || desc[0] > desc.size() || desc[1] != 0x03) {
    return std::nullopt;
  }
  const auto body = desc.subspan(2, desc[0] - 2u);
  std::string text;
  for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
    char32_t c = U16(body, i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < body.size()) {
      const char32_t low = U16(body, i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a lone surrogate
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (c >> 6)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (c >> 12)));
      text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (c >> 18)));
      text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return text;
}

}  // namespace torv2::link::msos
