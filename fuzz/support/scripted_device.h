#pragma once
// The in-process virtual programmer playing back bytes from a fuzz input as everything the device
// sends, behind an open UsbLink with short time-outs. All device bytes are queued before the code
// under test runs, so a read that finds nothing left fails after the transfer time-out instead of
// waiting for the device.
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
//              exchanges and their edges are reachable from short inputs; the longest comes
//              rarely, since every run that has it reads 65,536 bytes one by one.
//   the rest   the device's bytes: the cut writes, then (after the filler) one last write

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "fuzz/support/fuzz_input.h"
#include "link/usb_link.h"

namespace torv2::fuzz {

// Bounds every single bulk transfer (1 ms unless the build says otherwise). The device is
// scripted in advance, so waiting longer would never bring another byte. Nearly every run ends
// with one read that waits this long for nothing: 0 (the in-process transport then looks at its
// queue once and gives up) about doubles the executions per second of these targets.
inline constexpr std::chrono::milliseconds kTransferTimeout{TORV2_FUZZ_TRANSFER_TIMEOUT_MS};

class ScriptedDevice {
 public:
  explicit ScriptedDevice(FuzzInput& in)
      : transport_(Settings(in)), link_(transport_, {kTransferTimeout, kTransferTimeout}) {
    const std::uint8_t flags = flags_;
    static constexpr std::size_t kSplits[] = {0, 1, 5, 64};
    std::vector<std::size_t> cutLengths;
    for (int i = 0; i < (flags & 0x03); ++i) cutLengths.push_back(in.Byte());
    std::size_t fillerLength = 0;
    std::uint8_t fillerValue = 0;
    if (flags & 0x40) {
      static constexpr int kAround[] = {10, 100, 1000, 1000, 8192, 8192, 16384, 65536};
      const int around = kAround[in.Byte() & 0x07];
      fillerLength =
          static_cast<std::size_t>(std::max(0, around + static_cast<std::int8_t>(in.Byte())));
      fillerValue = in.Byte();
    }
    std::vector<std::span<const std::uint8_t>> cuts;
    for (const std::size_t n : cutLengths) cuts.push_back(in.Take(n));
    const std::vector<std::uint8_t> filler(fillerLength, fillerValue);
    const std::span<const std::uint8_t> last = in.Rest();

    FUZZ_CHECK(link_.OpenUsbLink() == 1);
    link_.linkOpen = 1;
    transport_.WithProgrammer([&](emulator::VirtualProgrammer& p) {
      // The firmware model answers whatever the host writes that looks like a command frame
      // (a size record or block request may hold "$" and "#"). One good frame with its "no
      // answer" knob on makes it silent until the next open, so that every byte the host reads
      // comes from the input.
      static constexpr std::uint8_t kMute[] = {'$', 'g', '#', '6', '7'};
      p.faults().noAnswer = true;
      p.OnOutTransfer(kMute);
      FUZZ_CHECK(!p.HasInData());
      hostBytesBefore_ = p.hostBytes().size();
      hostWritesBefore_ = p.hostWriteSizes().size();

      const auto send = [&](std::span<const std::uint8_t> w, std::size_t split) {
        if (w.empty()) return;
        p.faults().splitWrites = split;
        p.SendRaw(w);
        stream_.insert(stream_.end(), w.begin(), w.end());
      };
      const std::size_t split = kSplits[(flags >> 4) & 0x03];
      for (const auto& w : cuts) send(w, split);
      send(filler, 0);
      send(last, split);
    });
  }

  link::UsbLink& link() { return link_; }
  // Every byte the device sends, in order.
  const std::vector<std::uint8_t>& stream() const { return stream_; }
  // Every byte the host wrote, and the length of each of its writes.
  std::vector<std::uint8_t> HostBytes() {
    return transport_.WithProgrammer([&](emulator::VirtualProgrammer& p) {
      return std::vector<std::uint8_t>(p.hostBytes().begin() + Offset(hostBytesBefore_),
                                       p.hostBytes().end());
    });
  }
  std::vector<std::size_t> HostWriteSizes() {
    return transport_.WithProgrammer([&](emulator::VirtualProgrammer& p) {
      return std::vector<std::size_t>(p.hostWriteSizes().begin() + Offset(hostWritesBefore_),
                                      p.hostWriteSizes().end());
    });
  }

 private:
  emulator::DeviceSettings Settings(FuzzInput& in) {
    static constexpr std::uint16_t kPacketSizes[] = {64, 8, 512, 16};
    flags_ = in.Byte();
    emulator::DeviceSettings s;
    s.maxPacketSize = kPacketSizes[(flags_ >> 2) & 0x03];
    return s;
  }

  static std::ptrdiff_t Offset(std::size_t n) { return static_cast<std::ptrdiff_t>(n); }

  std::uint8_t flags_ = 0;           // set by Settings(), before transport_ is made
  std::size_t hostBytesBefore_ = 0;  // what the host "wrote" to mute the firmware
  std::size_t hostWritesBefore_ = 0;
  std::vector<std::uint8_t> stream_;
  emulator::InProcessTransport transport_;
  link::UsbLink link_;
};

}  // namespace torv2::fuzz
