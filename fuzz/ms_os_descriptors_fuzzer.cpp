// The descriptor parsers through which the host learns a device's interface GUID, all fed the
// same bytes: BOS and MS OS 2.0 platform capability, MS OS 2.0 descriptor set, MS OS 1.0 string
// 0xEE and extended properties, string descriptors, and GUID texts.
//
// Holds, besides memory safety: what a parser returns follows from the bytes it was given
// (signatures, lengths, versions), every GUID found survives printing and parsing again, and a
// string descriptor becomes well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fuzz/support/fuzz_input.h"
#include "link/guid.h"
#include "link/libusb/ms_os_descriptors.h"

using namespace torv2;
using namespace torv2::link;

namespace {

void CheckGuid(const Guid& g) {
  const std::string text = g.ToString();
  FUZZ_CHECK(text.size() == 38);
  const auto again = Guid::Parse(text);
  FUZZ_CHECK(again && *again == g);
  FUZZ_CHECK(Guid::FromBytes(g.Bytes()) == g);
}

// Well-formed UTF-8 with no surrogate code points and nothing above U+10FFFF.
bool WellFormedUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    char32_t c = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 1;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      n = 2;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      n = 3;
      c = b & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;  // cut short
    for (std::size_t k = 1; k <= n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);

  if (const auto info = msos::ParseMsOs20PlatformCapability(bytes)) {
    FUZZ_CHECK(size >= 28 && bytes[0] <= size && bytes[1] == 0x10 && bytes[2] == 0x05);
    FUZZ_CHECK(info->windowsVersion >= msos::kMinWindowsVersion);
    FUZZ_CHECK(info->totalLength >= 10);
  }
  if (const auto info = msos::FindMsOs20SetInfo(bytes)) {
    FUZZ_CHECK(size >= 5 && bytes[1] == 0x0F);
    FUZZ_CHECK(info->windowsVersion >= msos::kMinWindowsVersion);
  }
  for (const msos::InterfaceGuid& entry : msos::ParseMsOs20DescriptorSet(bytes)) {
    CheckGuid(entry.guid);
  }
  if (const auto code = msos::ParseMsOs10StringDescriptor(bytes)) {
    FUZZ_CHECK(size >= 18 && bytes[1] == 0x03 && *code == bytes[16]);
  }
  if (const auto length = msos::ParseMsOs10ExtendedPropertiesLength(bytes)) {
    FUZZ_CHECK(*length >= msos::kMsOs10ExtendedPropertiesHeaderSize);
  }
  for (const Guid& g : msos::ParseMsOs10ExtendedProperties(bytes)) CheckGuid(g);
  if (const auto text = msos::ParseStringDescriptor(bytes)) {
    FUZZ_CHECK(bytes[1] == 0x03);
    // Each UTF-16 unit becomes at most three bytes (a pair, four).
    FUZZ_CHECK(text->size() <= 3 * (bytes[0] / 2u));
    FUZZ_CHECK(WellFormedUtf8(*text));
  }
  if (const auto g = Guid::Parse(std::string_view(reinterpret_cast<const char*>(data), size))) {
    CheckGuid(*g);
  }
  return 0;
}
