#pragma once
// Device-side bytes for scripted exchanges in tests.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "link/packet.h"

namespace torv2::testing {

inline std::string Checksum(std::string_view payload) {
  std::uint8_t sum = 0;
  for (char c : payload) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  char d[2];
  link::RenderChecksum(sum, d);
  return std::string(d, 2);
}

inline std::string Reply(std::string_view payload) {
  return "$" + std::string(payload) + "#" + Checksum(payload);
}

inline std::string Escaped(std::string_view payload) {
  return "$$$$" + std::string(payload) + "####" + Checksum(payload);
}

inline std::string Str(const std::vector<std::uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

inline std::span<const std::uint8_t> Span(std::string_view s) {
  return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The device sends each string as one USB write, in order, whenever the host reads.
inline void DeviceSends(emulator::InProcessTransport& device,
                        const std::vector<std::string>& writes) {
  device.WithProgrammer([&](emulator::VirtualProgrammer& p) {
    for (const auto& w : writes) p.SendRaw(Span(w));
  });
}

inline std::string HostSent(emulator::InProcessTransport& device) {
  return device.WithProgrammer([](emulator::VirtualProgrammer& p) { return Str(p.hostBytes()); });
}

inline std::vector<std::size_t> HostWriteSizes(emulator::InProcessTransport& device) {
  return device.WithProgrammer([](emulator::VirtualProgrammer& p) { return p.hostWriteSizes(); });
}

}  // namespace torv2::testing
