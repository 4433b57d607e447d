#pragma once
// The device's answers on the default control pipe: standard requests for its descriptors and
// state, and the vendor requests that return the Microsoft OS descriptors. Anything else
// stalls, as a real device does.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "emulator/usb/usb_descriptors.h"

namespace torv2::emulator::usb {

struct SetupPacket {
  std::uint8_t requestType = 0;  // bmRequestType
  std::uint8_t request = 0;      // bRequest
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;  // wLength

  bool deviceToHost() const { return (requestType & 0x80) != 0; }
};

// The eight setup bytes; nullopt when fewer are given.
std::optional<SetupPacket> ParseSetupPacket(std::span<const std::uint8_t> bytes);

struct ControlAnswer {
  bool stall = false;
  std::vector<std::uint8_t> data;  // the IN data stage, at most wLength bytes; empty for OUT
};

ControlAnswer AnswerControlRequest(const Descriptors& descriptors, const SetupPacket& setup);

}  // namespace torv2::emulator::usb
