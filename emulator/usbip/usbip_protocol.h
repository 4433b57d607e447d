#pragma once
// The USB/IP URB protocol as Linux's virtual host controller (vhci_hcd) speaks it to a device
// server over a stream socket. Every message starts with a 48-byte header, all fields
// big-endian:
//
//   0  command     1 CMD_SUBMIT, 2 CMD_UNLINK (host to device); 3 RET_SUBMIT, 4 RET_UNLINK
//   4  seqnum      the host's number for this request; a reply carries the number it answers
//   8  devid       the id given at attach time
//   12 direction   0 OUT, 1 IN
//   16 ep          endpoint number 0..15, without the direction bit
//   20 ...         28 bytes that depend on the command:
//      CMD_SUBMIT  transfer_flags, transfer_buffer_length, start_frame, number_of_packets,
//                  interval (4 bytes each), then the 8 setup bytes of a control transfer
//      RET_SUBMIT  status (a negative errno), actual_length, start_frame, number_of_packets,
//                  error_count, 8 bytes of padding
//      CMD_UNLINK  seqnum of the request to cancel, 24 bytes of padding
//      RET_UNLINK  status, 24 bytes of padding
//
// An OUT CMD_SUBMIT is followed by its transfer_buffer_length data bytes, an IN RET_SUBMIT by
// actual_length bytes. The header's numbers come from the other side of a socket: each is
// checked before anything is sized from it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>

namespace torv2::emulator::usbip {

inline constexpr std::size_t kHeaderSize = 48;
inline constexpr std::uint32_t kCmdSubmit = 1;
inline constexpr std::uint32_t kCmdUnlink = 2;
inline constexpr std::uint32_t kRetSubmit = 3;
inline constexpr std::uint32_t kRetUnlink = 4;
inline constexpr std::uint32_t kDirOut = 0;
inline constexpr std::uint32_t kDirIn = 1;
// The largest transfer a header may announce: the most usbfs lets one process have in flight
// (usbcore.usbfs_memory_mb defaults to 16), so the kernel never sends more.
inline constexpr std::uint32_t kMaxTransferLength = 16 * 1024 * 1024;

struct Submit {
  std::uint32_t seqnum = 0;
  bool in = false;
  std::uint8_t endpoint = 0;  // 0..15, without the direction bit
  std::uint32_t transferFlags = 0;
  std::uint32_t length = 0;  // transfer_buffer_length, at most kMaxTransferLength
  std::array<std::uint8_t, 8> setup{};
  // OUT data bytes that follow the header on the stream.
  std::size_t outDataLength() const { return in ? 0 : length; }
};

struct Unlink {
  std::uint32_t seqnum = 0;
  std::uint32_t victim = 0;  // the seqnum of the CMD_SUBMIT to cancel
};

// Why a header cannot be taken.
enum class HeaderError {
  Short,           // fewer than kHeaderSize bytes
  UnknownCommand,  // not CMD_SUBMIT or CMD_UNLINK
  BadDirection,    // neither 0 nor 1
  BadEndpoint,     // above 15
  NegativeLength,  // transfer_buffer_length below zero
  TooLong,         // transfer_buffer_length above kMaxTransferLength
  Isochronous,     // number_of_packets announces isochronous descriptors: this device has none
};
std::string_view HeaderErrorText(HeaderError error);

using Header = std::variant<Submit, Unlink, HeaderError>;

// Reads the first kHeaderSize bytes of `bytes`.
Header ParseHeader(std::span<const std::uint8_t> bytes);

// The header of a reply. RET_SUBMIT's IN data follows it on the stream.
std::array<std::uint8_t, kHeaderSize> RetSubmitHeader(std::uint32_t seqnum, std::int32_t status,
                                                      std::uint32_t actualLength);
std::array<std::uint8_t, kHeaderSize> RetUnlinkHeader(std::uint32_t seqnum, std::int32_t status);

}  // namespace torv2::emulator::usbip
