#include "emulator/bus_timing.h"

#include <algorithm>

namespace torv2::emulator {

std::chrono::nanoseconds BusTiming::TransferTime(std::size_t bytes) const {
  using namespace std::chrono;
  const std::size_t packets = std::max<std::size_t>(1, (bytes + PacketSize() - 1) / PacketSize());
  if (speed == BusSpeed::Full) {
    return milliseconds((packets + 18) / 19);
  }
  return microseconds(125 * ((packets + 12) / 13));
}

int ChunksHandled(const VirtualProgrammer& p) {
  return p.stepCount(Step::ChunkAck) + p.stepCount(Step::ReadChunk) + p.stepCount(Step::BlockData);
}

WireCost ProtocolFloor(const BusTiming& timing, std::span<const std::size_t> hostWrites,
                       std::span<const VirtualProgrammer::DeviceWrite> deviceWrites,
                       std::size_t chunks) {
  WireCost cost;
  for (std::size_t n : hostWrites) {
    ++cost.outTransfers;
    cost.busTime += timing.TransferTime(n);
  }
  const std::size_t packet = timing.PacketSize();
  for (const auto& w : deviceWrites) {
    if (w.readWhole) {
      ++cost.inTransfers;
      cost.busTime += timing.TransferTime(w.size);
      continue;
    }
    for (std::size_t left = w.size; left > 0; left -= std::min(left, packet)) {
      ++cost.inTransfers;
      cost.busTime += timing.TransferTime(std::min(left, packet));
    }
  }
  cost.busTime += timing.deviceDelayPerChunk * chunks;
  return cost;
}

WireCost TransfersCost(const BusTiming& timing, std::span<const std::size_t> outTransfers,
                       std::span<const std::size_t> inTransfers, std::size_t chunks) {
  WireCost cost;
  for (std::size_t n : outTransfers) {
    ++cost.outTransfers;
    cost.busTime += timing.TransferTime(n);
  }
  for (std::size_t n : inTransfers) {
    ++cost.inTransfers;
    cost.busTime += timing.TransferTime(n);
  }
  cost.busTime += timing.deviceDelayPerChunk * chunks;
  return cost;
}

}  // namespace torv2::emulator
