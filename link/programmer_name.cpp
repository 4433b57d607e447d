#include "link/programmer_name.h"

#include <cstdio>

namespace torv2::link {

std::string PortName(std::uint8_t bus, const std::vector<std::uint8_t>& portPath) {
  if (portPath.empty()) return {};
  std::string name = std::to_string(bus) + "-";
  for (std::size_t i = 0; i < portPath.size(); ++i) {
    name += (i ? "." : "") + std::to_string(portPath[i]);
  }
  return name;
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto hex = [&out](const char* format, unsigned value) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, format, value);
    out += escaped;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7F) {
        hex("\\x%02x", b);
      } else if (b == '\\') {
        out += "\\\\";
      } else {
        out += static_cast<char>(b);
      }
      ++i;
      continue;
    }
    // A UTF-8 sequence: its length from the lead byte, then continuation bytes only, and no
    // longer than the code point needs.
    const std::size_t length = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    char32_t c = length == 4 ? b & 0x07 : length == 3 ? b & 0x0F : b & 0x1F;
    bool valid = length > 0 && b < 0xF5 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    valid = valid && !(length == 3 && c < 0x800) && !(length == 4 && c < 0x10000) &&
            !(c >= 0xD800 && c <= 0xDFFF) && c <= 0x10FFFF;
    if (!valid) {
      hex("\\x%02x", b);
      ++i;
    } else if (c <= 0x9F) {
      hex("\\u%04x", static_cast<unsigned>(c));  // a C1 control
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string ProgrammerName(std::string_view serial, std::string_view port,
                           std::string_view address) {
  return Printable(!serial.empty() ? serial : !port.empty() ? port : address);
}

}  // namespace torv2::link
