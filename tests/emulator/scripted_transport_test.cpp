// The fuzz targets' scripted transport cuts the device's writes into USB transfers exactly as the
// virtual programmer does: the same writes, split the same way, read with the same buffer sizes,
// give the same transfers (bytes, and whether each ended in an overflow) from both.
#include "fuzz/support/scripted_transport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "emulator/virtual_programmer.h"
#include "link/usb_link.h"

namespace torv2::fuzz {
namespace {

struct Cut {
  std::uint16_t packetSize;
  std::vector<std::size_t> writes;      // lengths of the device's writes
  std::size_t split;                    // 0: each write whole
  std::vector<std::size_t> capacities;  // buffer sizes of the reads, used in turn
};

std::vector<std::uint8_t> Bytes(std::size_t n, std::size_t seed) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
  return b;
}

void ExpectSameTransfers(const Cut& cut) {
  emulator::DeviceSettings settings;
  settings.maxPacketSize = cut.packetSize;
  emulator::VirtualProgrammer model(settings);
  model.faults().splitWrites = cut.split;
  ScriptedTransport scripted(cut.packetSize);
  for (std::size_t i = 0; i < cut.writes.size(); ++i) {
    const auto bytes = Bytes(cut.writes[i], i);
    model.SendRaw(bytes);
    scripted.Send(bytes, cut.split);
  }
  auto device = scripted.OpenDevice(link::DeviceInterfaceGuid, {});
  ASSERT_NE(device, nullptr);
  std::vector<std::uint8_t> buffer;
  for (std::size_t read = 0;; ++read) {
    const std::size_t capacity = cut.capacities[read % cut.capacities.size()];
    buffer.assign(capacity, 0);
    const auto want = model.TakeInTransfer(capacity);
    const auto got = device->BulkRead(0x81, buffer, {});
    if (!want) {
      EXPECT_EQ(got.status, link::TransferStatus::TimedOut) << "read " << read;
      EXPECT_EQ(got.transferred, 0u);
      break;
    }
    ASSERT_EQ(got.status,
              want->overflow ? link::TransferStatus::Overflow : link::TransferStatus::Ok)
        << "read " << read;
    ASSERT_EQ(
        std::vector(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got.transferred)),
        want->data)
        << "read " << read;
  }
}

TEST(ScriptedTransport, CutsLikeTheVirtualProgrammer) {
  const Cut cuts[] = {
      {64, {5}, 0, {64}},                 // one short packet
      {64, {64}, 0, {64}},                // exactly a packet: the write's end ends it
      {64, {200}, 0, {4096}},             // whole packets and a short one in one transfer
      {64, {200}, 0, {64}},               // one packet per read
      {64, {200}, 0, {100}},              // a packet that does not fit: overflow
      {8, {30, 3, 17}, 0, {8, 16, 1}},    // several writes, a one-byte buffer
      {512, {1000, 10}, 0, {512, 1024}},  // high speed
      {16, {100}, 5, {16}},               // split into pieces shorter than a packet
      {16, {100}, 64, {16, 64}},          // pieces longer than a packet
      {64, {8192}, 0, {8192, 16384}},     // a main image chunk
      {64, {1, 1, 1}, 1, {64}},           // one byte per transfer
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(testing::Message() << "packet " << cut.packetSize << ", " << cut.writes.size()
                                    << " writes, split " << cut.split);
    ExpectSameTransfers(cut);
  }
}

TEST(ScriptedTransport, CutsLikeTheVirtualProgrammerOverManyMixes) {
  std::uint32_t state = 12345;
  const auto next = [&](std::uint32_t n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  };
  static constexpr std::uint16_t kPacketSizes[] = {8, 16, 64, 512};
  static constexpr std::size_t kSplits[] = {0, 1, 5, 64};
  for (int i = 0; i < 500; ++i) {
    Cut cut{kPacketSizes[next(4)], {}, kSplits[next(4)], {}};
    for (std::uint32_t w = next(5) + 1; w > 0; --w) cut.writes.push_back(next(1200) + 1);
    for (std::uint32_t c = next(3) + 1; c > 0; --c) cut.capacities.push_back(next(1100) + 1);
    SCOPED_TRACE(i);
    ExpectSameTransfers(cut);
  }
}

}  // namespace
}  // namespace torv2::fuzz
