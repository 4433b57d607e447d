#pragma once
// A device interface class GUID, as Windows keeps it: Data1..Data3 little-endian in memory.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torv2::link {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  friend bool operator==(const Guid&, const Guid&) = default;

  // "B91D9E33-6927-4B4D-A40D-484C312B8C26", with or without braces, any letter case.
  static std::optional<Guid> Parse(std::string_view text);
  // The 16 bytes as Windows stores the structure.
  static Guid FromBytes(std::span<const std::uint8_t, 16> bytes);
  std::array<std::uint8_t, 16> Bytes() const;
  // Upper-case, with braces: "{B91D9E33-6927-4B4D-A40D-484C312B8C26}".
  std::string ToString() const;
};

// The programmer's device interface class.
inline constexpr Guid DeviceInterfaceGuid{
    0xB91D9E33, 0x6927, 0x4B4D, {0xA4, 0x0D, 0x48, 0x4C, 0x31, 0x2B, 0x8C, 0x26}};

}  // namespace torv2::link
