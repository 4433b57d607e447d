#pragma once
// Packet framing. The host sends commands as "$g<text>#<cc>" and waits for '+' (accepted) or
// '-' (send again). The device answers with reply packets "$<payload>#<cc>", or for binary data
// with escaped reply packets "$$$$<payload>####<cc>"; the host acknowledges each the same way.
// <cc> is the byte sum of the covered bytes modulo 256 as two lower-case hex digits.

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/usb_link.h"

namespace torv2::link {

inline constexpr std::size_t kMaxCommandText = 61;  // a command frame is at most 66 bytes
inline constexpr std::size_t kMaxReplyPayload = 65535;
// A payload that reaches this many bytes without its end marker is dropped.
inline constexpr std::size_t kPayloadDropLength = 65536;
// Room a receive buffer must have: the longest payload a drop may leave, and its NUL.
inline constexpr std::size_t kReplyBufferSize = 65537;
inline constexpr std::size_t kEscapedReplyBufferSize = 65540;
// How often in a row the host sends a frame again on '-', and answers '-' to a reply with a wrong
// checksum, before it gives the exchange up as failed. A device that keeps asking, or keeps
// sending a packet that cannot be taken (junk holding a start marker before every reply), would
// otherwise hold the host for ever.
inline constexpr int kMaxResends = 64;

// Sends command followed by argument (NUL-terminated 8-bit texts; null counts as empty) and
// sends the same frame again while the device answers '-', up to kMaxResends times. Whether the
// device answered '+'; a text longer than kMaxCommandText bytes is refused with nothing sent.
bool SendCommandPacket(UsbLink& link, const char* command, const char* argument);

// Receives one reply packet into `buffer` (at least kReplyBufferSize bytes): the payload and a
// NUL. A packet with a wrong checksum is answered '-' and awaited again; the kMaxResends-th such
// answer in a row ends the receive. Returns the payload length; 0 on failure, for an empty
// payload, or for a buffer too small.
int ReceiveReplyPacket(UsbLink& link, std::span<std::uint8_t> buffer);

// The same for an escaped reply packet; `buffer` holds at least kEscapedReplyBufferSize bytes.
int ReceiveEscapedReplyPacket(UsbLink& link, std::span<std::uint8_t> buffer);

// The two checksum digits for a sum.
void RenderChecksum(std::uint8_t sum, char digits[2]);

}  // namespace torv2::link
