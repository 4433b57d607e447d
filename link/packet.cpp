#include "link/packet.h"

#include <array>
#include <cstring>

namespace torv2::link {
namespace {

constexpr std::uint8_t kStart = '$';
constexpr std::uint8_t kEnd = '#';
constexpr std::uint8_t kAck = '+';
constexpr std::uint8_t kNak = '-';

bool SendByte(UsbLink& link, std::uint8_t b) {
  return link.LinkWrite(std::span(&b, 1)) != 0;
}

// Both '$' and 0xA4 start a packet: only the low seven bits are compared.
bool IsStartMarker(std::uint8_t b) {
  return (b & 0x7F) == kStart;
}

// Reads up to a start marker. Bytes passed over on the way are junk; `seen` notes them, for the
// failure should the exchange fail afterwards.
bool Hunt(UsbLink& link, Happened& seen) {
  std::uint8_t b = 0;
  for (;;) {
    if (!link.ReadByte(b)) return false;
    if (IsStartMarker(b)) return true;
    seen = Happened::Junk;
  }
}

// A receive failed on the link after the receiver had passed over `seen`.
int FailedAfter(UsbLink& link, Happened seen) {
  link.failure().before = seen;
  return 0;
}

// Every one of kMaxResends packets came with a bad checksum: the host stops asking again.
int GaveUpResending(UsbLink& link) {
  link.failure() = {};
  link.failure().what = Happened::BadChecksum;
  return 0;
}

int EmptyPacket(UsbLink& link) {
  link.failure() = {};
  link.failure().what = Happened::Empty;
  return 0;
}

int NotOpen(UsbLink& link) {
  link.failure() = {};
  link.failure().what = Happened::NotOpen;
  return 0;
}

enum class Verdict { Good, Bad, Failed };

// Reads the two checksum digits and answers them: '+' when they match the sum, '-' otherwise.
Verdict CheckAndAnswer(UsbLink& link, std::uint8_t sum) {
  std::uint8_t got[2];
  if (!link.ReadByte(got[0]) || !link.ReadByte(got[1])) return Verdict::Failed;
  char want[2];
  RenderChecksum(sum, want);
  const bool good =
      got[0] == static_cast<std::uint8_t>(want[0]) && got[1] == static_cast<std::uint8_t>(want[1]);
  const std::uint8_t answer = good ? kAck : kNak;
  if (!SendByte(link, answer)) return Verdict::Failed;
  link.Trace(Direction::ToDevice, "ack", std::span(&answer, 1));
  return good ? Verdict::Good : Verdict::Bad;
}

// A failed exchange may leave bytes behind: the next command drains them first.
template <typename Result>
Result Marked(UsbLink& link, Result result) {
  if (!result) link.MarkUnsettled();
  return result;
}

bool SendFrame(UsbLink& link, std::span<const std::uint8_t> frame) {
  // The device may ask for the frame again with '-', up to kMaxResends times; every transfer is
  // bounded by the link's time-out and a cancelled link fails the next one.
  for (int resends = 0;; ++resends) {
    if (link.LinkWrite(frame) == 0) return false;
    link.Trace(Direction::ToDevice, "command", frame);
    std::uint8_t answer = 0;
    if (!link.ReadByte(answer)) return false;
    link.Trace(Direction::FromDevice, "ack", std::span(&answer, 1));
    if (answer == kAck) return true;
    if (answer != kNak) {
      link.failure() = {};
      link.failure().what = Happened::Junk;
      link.failure().KeepAnswer(std::span(&answer, 1));
      return false;
    }
    if (resends == kMaxResends) {  // the device keeps refusing the frame
      link.failure() = {};
      link.failure().what = Happened::Refused;
      link.failure().KeepAnswer(std::span(&answer, 1));
      return false;
    }
  }
}

int ReceivePlain(UsbLink& link, std::span<std::uint8_t> buffer) {
  Happened seen = Happened::None;
  for (int refused = 0;;) {
    if (!Hunt(link, seen)) return FailedAfter(link, seen);
    std::size_t n = 0;
    std::uint8_t sum = 0;
    bool complete = false;
    while (n < kPayloadDropLength) {
      std::uint8_t b = 0;
      if (!link.ReadByte(b)) return FailedAfter(link, seen);
      if (b == kEnd) {
        complete = true;
        break;
      }
      buffer[n++] = b;
      sum = static_cast<std::uint8_t>(sum + b);
    }
    buffer[n] = 0;
    if (!complete) {  // over-long: dropped without an answer
      seen = Happened::Junk;
      continue;
    }
    link.Trace(Direction::FromDevice, "reply", buffer.first(n));

    switch (CheckAndAnswer(link, sum)) {
      case Verdict::Good:
        return n ? static_cast<int>(n) : EmptyPacket(link);
      case Verdict::Bad:
        seen = Happened::BadChecksum;
        if (++refused == kMaxResends) return GaveUpResending(link);
        continue;  // the device sends the packet again
      case Verdict::Failed:
        return FailedAfter(link, seen);
    }
  }
}

int ReceiveEscaped(UsbLink& link, std::span<std::uint8_t> buffer) {
  Happened seen = Happened::None;
  for (int refused = 0;;) {
    for (int i = 0; i < 4; ++i) {
      if (!Hunt(link, seen)) return FailedAfter(link, seen);
    }
    std::size_t n = 0;
    std::uint8_t sum = 0;
    auto store = [&](std::uint8_t b) {
      buffer[n++] = b;
      sum = static_cast<std::uint8_t>(sum + b);
    };
    bool complete = false;
    while (n < kPayloadDropLength) {
      // A run of one to three '#' belongs to the payload with the byte that ends it; the first
      // run of four is the end marker.
      int hashes = 0;
      std::uint8_t b = 0;
      for (;;) {
        if (!link.ReadByte(b)) return FailedAfter(link, seen);
        if (b != kEnd) break;
        if (++hashes == 4) break;
      }
      if (hashes == 4) {
        complete = true;
        break;
      }
      for (int i = 0; i < hashes; ++i) store(kEnd);
      store(b);
    }
    buffer[n] = 0;
    if (!complete) {
      seen = Happened::Junk;
      continue;
    }
    link.Trace(Direction::FromDevice, "escaped reply", buffer.first(n));

    switch (CheckAndAnswer(link, sum)) {
      case Verdict::Good:
        return n ? static_cast<int>(n) : EmptyPacket(link);
      case Verdict::Bad:
        seen = Happened::BadChecksum;
        if (++refused == kMaxResends) return GaveUpResending(link);
        continue;
      case Verdict::Failed:
        return FailedAfter(link, seen);
    }
  }
}

}  // namespace

void RenderChecksum(std::uint8_t sum, char digits[2]) {
  static constexpr char kHex[] = "0123456789abcdef";
  digits[0] = kHex[sum >> 4];
  digits[1] = kHex[sum & 0x0F];
}

bool SendCommandPacket(UsbLink& link, const char* command, const char* argument) {
  const std::size_t commandLength = command ? std::strlen(command) : 0;
  const std::size_t argumentLength = argument ? std::strlen(argument) : 0;
  const std::size_t n = commandLength + argumentLength;
  if (n > kMaxCommandText) {
    link.failure() = {};
    link.failure().what = Happened::TooLong;
    link.failure().got = n;
    link.failure().wanted = kMaxCommandText;
    return false;
  }

  std::array<std::uint8_t, kMaxCommandText + 5> frame{};
  frame[0] = kStart;
  frame[1] = 'g';
  if (commandLength) std::memcpy(&frame[2], command, commandLength);
  if (argumentLength) std::memcpy(&frame[2 + commandLength], argument, argumentLength);
  frame[2 + n] = kEnd;
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i <= n + 1; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
  char digits[2];
  RenderChecksum(sum, digits);
  frame[3 + n] = static_cast<std::uint8_t>(digits[0]);
  frame[4 + n] = static_cast<std::uint8_t>(digits[1]);

  // What the device sent for an earlier exchange must not be read as this frame's answer.
  link.Settle();
  return Marked(link, SendFrame(link, std::span(frame.data(), n + 5)));
}

int ReceiveReplyPacket(UsbLink& link, std::span<std::uint8_t> buffer) {
  if (buffer.size() < kReplyBufferSize || !link.IsOpen()) return NotOpen(link);
  return Marked(link, ReceivePlain(link, buffer));
}

int ReceiveEscapedReplyPacket(UsbLink& link, std::span<std::uint8_t> buffer) {
  if (buffer.size() < kEscapedReplyBufferSize || !link.IsOpen()) return NotOpen(link);
  return Marked(link, ReceiveEscaped(link, buffer));
}

}  // namespace torv2::link
