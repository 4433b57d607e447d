#pragma once
// How long transfers take on the bus. Full speed: 64-byte packets, at most 19 of them in a 1 ms
// frame. High speed: 512-byte packets, at most 13 in a 125 us microframe. Every transfer takes
// at least one (micro)frame: the host schedules it, the device answers in a later one.

#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

#include "emulator/virtual_programmer.h"

namespace torv2::emulator {

enum class BusSpeed { Full, High };

struct BusTiming {
  BusSpeed speed = BusSpeed::Full;
  // The device's own time for each downloaded chunk and each read-back chunk or block.
  std::chrono::microseconds deviceDelayPerChunk{0};

  std::size_t PacketSize() const { return speed == BusSpeed::Full ? 64 : 512; }
  std::chrono::nanoseconds TransferTime(std::size_t bytes) const;
};

// The chunks the device has worked on, each costing it deviceDelayPerChunk: every downloaded
// chunk, every chunk of the main image and every block of the sub image read back.
int ChunksHandled(const VirtualProgrammer& programmer);

struct WireCost {
  std::size_t inTransfers = 0;
  std::size_t outTransfers = 0;
  std::chrono::nanoseconds busTime{0};
};

// The least the exchange can cost: every host write is one OUT transfer; a device write read
// whole is one IN transfer, one read a byte at a time is one IN transfer per packet (a read asks
// the bus for one packet and keeps the rest, as WinUSB does). Plus the device's chunk delays.
WireCost ProtocolFloor(const BusTiming& timing, std::span<const std::size_t> hostWrites,
                       std::span<const VirtualProgrammer::DeviceWrite> deviceWrites,
                       std::size_t chunks);

// What the transfers a host really issued cost on the bus.
WireCost TransfersCost(const BusTiming& timing, std::span<const std::size_t> outTransfers,
                       std::span<const std::size_t> inTransfers, std::size_t chunks);

}  // namespace torv2::emulator
