#pragma once
// Bytes from a fuzz input played back as everything the device sends, behind an open UsbLink over
// the scripted transport (support/scripted_transport.h): cut into USB transfers as the virtual
// programmer cuts its writes, and queued before the code under test runs, so that a read that
// finds nothing left ends at once. No input waits.
//
// Layout of the input the device takes (after whatever the target took first):
//
//   flags      bits 0-1: cuts c (0..3): the first c device writes get lengths of their own
//              bits 2-3: bulk IN packet size: 64, 8, 512, 16
//              bits 4-5: USB transfers per device write: whole, or pieces of 1, 5 or 64 bytes
//              bit  6:   a filler write follows the cut writes
//              bit  7:   ignored
//   c bytes    the lengths of the cut writes
//   [filler]   3 bytes: a length to start from (bits 0-2: 10, 100, 1,000 twice, 8,192 twice,
//              16,384, 65,536: a sub image block, a main image chunk, a reply's drop length),
//              a signed distance from it, and the value. That many copies of the value go in
//              one write, sent as it is (never cut into small transfers), so that the long
//              exchanges and their edges are reachable from short inputs. A run of more than
//              1,100 bytes costs a receiver that reads byte by byte a hundred times what an
//              ordinary input costs, so it is kept only when all the input's bytes sum to a
//              multiple of 64 (else the run is its length modulo 1,024): mutants of an input that
//              has one mostly run short, and a corpus that holds such inputs still runs fast.
//   the rest   the device's bytes: the cut writes, then (after the filler) one last write

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/scripted_transport.h"
#include "link/usb_link.h"

namespace torv2::fuzz {

class ScriptedDevice {
 public:
  static constexpr std::size_t kLongRun = 1100;

  explicit ScriptedDevice(FuzzInput& in) : transport_(PacketSize(in)), link_(transport_) {
    const std::uint8_t flags = flags_;
    static constexpr std::size_t kSplits[] = {0, 1, 5, 64};
    std::size_t cutLengths[3] = {};
    const int cutCount = flags & 0x03;
    for (int i = 0; i < cutCount; ++i) cutLengths[i] = in.Byte();
    std::size_t fillerLength = 0;
    std::uint8_t fillerValue = 0;
    if (flags & 0x40) {
      static constexpr int kAround[] = {10, 100, 1000, 1000, 8192, 8192, 16384, 65536};
      const int around = kAround[in.Byte() & 0x07];
      fillerLength =
          static_cast<std::size_t>(std::max(0, around + static_cast<std::int8_t>(in.Byte())));
      fillerValue = in.Byte();
      if (fillerLength > kLongRun && in.ByteSum() % 64 != 0) fillerLength %= 1024;
    }
    const std::size_t split = kSplits[(flags >> 4) & 0x03];
    for (int i = 0; i < cutCount; ++i) transport_.Send(in.Take(cutLengths[i]), split);
    transport_.SendRun(fillerLength, fillerValue);
    transport_.Send(in.Rest(), split);

    FUZZ_CHECK(link_.OpenUsbLink());
    link_.linkOpen = true;
  }

  link::UsbLink& link() { return link_; }
  // Every byte the device sends, in order.
  std::span<const std::uint8_t> stream() const { return transport_.stream(); }
  // Every byte the host wrote, and the length of each of its writes.
  const std::vector<std::uint8_t>& HostBytes() const { return transport_.hostBytes(); }
  const std::vector<std::size_t>& HostWriteSizes() const { return transport_.hostWriteSizes(); }

 private:
  std::uint16_t PacketSize(FuzzInput& in) {
    static constexpr std::uint16_t kPacketSizes[] = {64, 8, 512, 16};
    flags_ = in.Byte();
    return kPacketSizes[(flags_ >> 2) & 0x03];
  }

  std::uint8_t flags_ = 0;  // set by PacketSize(), before transport_ is made
  ScriptedTransport transport_;
  link::UsbLink link_;
};

}  // namespace torv2::fuzz
