#include "emulator/usbip/usbip_protocol.h"

#include <algorithm>

namespace torv2::emulator::usbip {
namespace {

std::uint32_t Be32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | static_cast<std::uint32_t>(b[at + 3]);
}

void PutBe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 24);
  b[at + 1] = static_cast<std::uint8_t>(v >> 16);
  b[at + 2] = static_cast<std::uint8_t>(v >> 8);
  b[at + 3] = static_cast<std::uint8_t>(v);
}

// Offsets in the header.
constexpr std::size_t kCommand = 0;
constexpr std::size_t kSeqnum = 4;
constexpr std::size_t kDirection = 12;
constexpr std::size_t kEndpoint = 16;
constexpr std::size_t kFlags = 20;
constexpr std::size_t kLength = 24;
constexpr std::size_t kPackets = 32;
constexpr std::size_t kSetup = 40;
constexpr std::size_t kUnlinkSeqnum = 20;
constexpr std::size_t kStatus = 20;
constexpr std::size_t kActualLength = 24;

// number_of_packets of a transfer that is not isochronous: 0, or 0xFFFFFFFF from kernels that
// mark "not isochronous" explicitly.
constexpr std::uint32_t kNotIsochronous = 0xFFFFFFFF;

}  // namespace

std::string_view HeaderErrorText(HeaderError error) {
  switch (error) {
    case HeaderError::Short:
      return "short header";
    case HeaderError::UnknownCommand:
      return "unknown command";
    case HeaderError::BadDirection:
      return "bad direction";
    case HeaderError::BadEndpoint:
      return "endpoint number above 15";
    case HeaderError::NegativeLength:
      return "negative transfer length";
    case HeaderError::TooLong:
      return "transfer length above the limit";
    case HeaderError::Isochronous:
      return "isochronous transfer";
  }
  return "bad header";
}

Header ParseHeader(std::span<const std::uint8_t> b) {
  if (b.size() < kHeaderSize) return HeaderError::Short;
  const std::uint32_t command = Be32(b, kCommand);
  const std::uint32_t seqnum = Be32(b, kSeqnum);
  if (command == kCmdUnlink) return Unlink{.seqnum = seqnum, .victim = Be32(b, kUnlinkSeqnum)};
  if (command != kCmdSubmit) return HeaderError::UnknownCommand;

  const std::uint32_t direction = Be32(b, kDirection);
  if (direction != kDirOut && direction != kDirIn) return HeaderError::BadDirection;
  const std::uint32_t endpoint = Be32(b, kEndpoint);
  if (endpoint > 15) return HeaderError::BadEndpoint;
  const std::uint32_t length = Be32(b, kLength);
  if (length & 0x80000000u) return HeaderError::NegativeLength;
  if (length > kMaxTransferLength) return HeaderError::TooLong;
  const std::uint32_t packets = Be32(b, kPackets);
  if (packets != 0 && packets != kNotIsochronous) return HeaderError::Isochronous;

  Submit submit{.seqnum = seqnum,
                .in = direction == kDirIn,
                .endpoint = static_cast<std::uint8_t>(endpoint),
                .transferFlags = Be32(b, kFlags),
                .length = length};
  std::copy_n(b.begin() + kSetup, submit.setup.size(), submit.setup.begin());
  return submit;
}

std::array<std::uint8_t, kHeaderSize> RetSubmitHeader(std::uint32_t seqnum, std::int32_t status,
                                                      std::uint32_t actualLength) {
  std::array<std::uint8_t, kHeaderSize> h{};
  PutBe32(h, kCommand, kRetSubmit);
  PutBe32(h, kSeqnum, seqnum);
  PutBe32(h, kStatus, static_cast<std::uint32_t>(status));
  PutBe32(h, kActualLength, actualLength);
  return h;
}

std::array<std::uint8_t, kHeaderSize> RetUnlinkHeader(std::uint32_t seqnum, std::int32_t status) {
  std::array<std::uint8_t, kHeaderSize> h{};
  PutBe32(h, kCommand, kRetUnlink);
  PutBe32(h, kSeqnum, seqnum);
  PutBe32(h, kStatus, static_cast<std::uint32_t>(status));
  return h;
}

}  // namespace torv2::emulator::usbip
