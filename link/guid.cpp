#include "link/guid.h"

#include <cstdio>

namespace torv2::link {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  // 8-4-4-4-12 hex digits; collect the 32 digits as 16 bytes in reading order.
  std::array<std::uint8_t, 16> be{};
  std::size_t digit = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const int v = HexValue(text[i]);
    if (v < 0) return std::nullopt;
    be[digit / 2] = static_cast<std::uint8_t>((be[digit / 2] << 4) | v);
    ++digit;
  }
  Guid g;
  g.data1 = (std::uint32_t{be[0]} << 24) | (std::uint32_t{be[1]} << 16) |
            (std::uint32_t{be[2]} << 8) | be[3];
  g.data2 = static_cast<std::uint16_t>((be[4] << 8) | be[5]);
  g.data3 = static_cast<std::uint16_t>((be[6] << 8) | be[7]);
  for (std::size_t i = 0; i < 8; ++i) g.data4[i] = be[8 + i];
  return g;
}

Guid Guid::FromBytes(std::span<const std::uint8_t, 16> b) {
  Guid g;
  g.data1 = std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
            (std::uint32_t{b[3]} << 24);
  g.data2 = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
  g.data3 = static_cast<std::uint16_t>(b[6] | (b[7] << 8));
  for (std::size_t i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
  return g;
}

std::array<std::uint8_t, 16> Guid::Bytes() const {
  std::array<std::uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[4 + i] = static_cast<std::uint8_t>(data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[6 + i] = static_cast<std::uint8_t>(data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) b[8 + i] = data4[i];
  return b;
}

std::string Guid::ToString() const {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1,
                data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6],
                data4[7]);
  return text;
}

}  // namespace torv2::link
