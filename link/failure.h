#pragma once
// What went wrong in the exchange that failed, as far as the wire tells: the link notes a failed
// transfer (its status, the time-out), the framing and the image transfers add what they saw in
// the bytes (a refusal, junk, a short answer) and which chunk or block it was. The caller that
// decides what the failure means reads it afterwards (UsbLink::failure()).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/usb_transport.h"

namespace torv2::link {

enum class Happened {
  None,
  TimedOut,         // the transfer's time-out expired
  DeviceGone,       // the device dropped off the bus
  Cancelled,        // the program is closing
  TransferError,    // the USB stack failed the transfer
  Overflow,         // the device sent more than the transfer could hold
  NotOpen,          // the link was not open
  Empty,            // a transfer or a packet with nothing in it
  Junk,             // bytes no receiver takes where an answer belonged
  BadChecksum,      // a packet whose checksum did not match its payload
  Refused,          // the device said no: a reply other than "OK", a '-' in a chunk acknowledgement
  ShortAnswer,      // fewer bytes than the exchange carries
  TooLong,          // more bytes than the exchange carries
  ReadBackDiffers,  // the image read back is not the one written
  NotFound,         // opening: no programmer among the devices that could be checked
  AccessDenied,     // opening: no permission
  Busy,             // opening: another program holds the programmer
  NoPipes,          // opening: the interface lacks a bulk IN or a bulk OUT pipe
};

struct ExchangeFailure {
  Happened what = Happened::None;
  // The status of the transfer underneath: Ok when bytes came but were the wrong ones.
  TransferStatus transfer = TransferStatus::Ok;
  std::chrono::milliseconds timeout{0};  // TimedOut: the time-out that expired
  // What the receiver passed over before the transfer failed: Junk or BadChecksum, else None.
  Happened before = Happened::None;
  int number = 0;                    // the chunk or block of an image transfer, from 1; 0 for none
  std::size_t got = 0, wanted = 0;   // ShortAnswer, TooLong: bytes received and expected
  std::size_t offset = 0;            // ReadBackDiffers: the first byte that differs
  std::vector<std::uint8_t> answer;  // Refused, Junk: the start of what the device sent
  std::vector<UncheckedDevice> unchecked;  // opening: devices that could not be looked at

  static constexpr std::size_t kAnswerKept = 32;
  void KeepAnswer(std::span<const std::uint8_t> bytes);
};

// A failure of a transfer with this status (anything but Ok with bytes).
ExchangeFailure TransferFailure(TransferStatus status, std::chrono::milliseconds timeout);

// What happened, in words: "time-out after 6000 ms", "refused (\"Error\")", "junk, then time-out
// after 100 ms", "short answer (9 of 10 bytes)", "read-back differs at offset 9000".
std::string DescribeHappened(const ExchangeFailure& failure);
// Short keywords for machines: "time-out", "refused", "read-back-differs", ...
std::string_view HappenedKey(Happened what);
// "ok", "timed out", "cancelled", "no device", "overflow", "error".
std::string_view TransferStatusName(TransferStatus status);
// "access denied", "busy", "device gone", ...
std::string_view OpenStatusName(OpenStatus status);
// "bus 1 port 1-2.3" (the port left out when unknown).
std::string DevicePlace(const UncheckedDevice& device);
// Device bytes as a quoted, printable text: "OK", "\x01junk\x7f"; at most kAnswerKept bytes,
// marked with "..." when there were more.
std::string QuoteDeviceBytes(std::span<const std::uint8_t> bytes, bool more = false);

}  // namespace torv2::link
