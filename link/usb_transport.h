#pragma once
// What the link needs from a USB stack: find and open the programmer, list the pipes of its
// interface, and run one bulk transfer at a time with a time-out. Implemented on libusb
// (link/libusb/) and by the in-process virtual programmer (emulator/).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/guid.h"

namespace torv2::link {

// Bounds each control request made to find out what a device is and to open it (descriptors, the
// Microsoft OS descriptors, the serial number): USB's own limit for a whole request, which a
// programmer meets with room to spare.
inline constexpr std::chrono::milliseconds kControlRequestTimeout{5'000};

enum class PipeType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct PipeInfo {
  PipeType type = PipeType::Control;
  std::uint8_t pipeId = 0;  // endpoint address; bit 7 set for IN
  std::uint16_t maximumPacketSize = 0;
};

enum class TransferStatus {
  Ok,         // completed; `transferred` may still be 0
  TimedOut,   // the time-out expired; `transferred` bytes moved before it did
  Cancelled,  // Cancel() was called
  NoDevice,   // the device is gone
  Overflow,   // the device sent more than was asked for
  Error,      // anything else
};

struct TransferResult {
  TransferStatus status = TransferStatus::Error;
  std::size_t transferred = 0;
};

// How finding and opening the programmer went.
enum class OpenStatus {
  Opened,
  NotFound,      // no attached device carries the interface class (as far as could be checked)
  AccessDenied,  // no permission to open the device
  Busy,          // another program holds the device's interface
  NoDevice,      // the device went away while it was being opened
  Error,         // anything else
};

// A device that might be a programmer but could not be opened to find out.
struct UncheckedDevice {
  std::uint8_t bus = 0;
  std::vector<std::uint8_t> portPath;  // port numbers from the root hub; empty when unknown
  OpenStatus why = OpenStatus::Error;
};

// What the last OpenDevice() found: why it gave nullptr, and the devices it could not look at.
struct OpenOutcome {
  OpenStatus status = OpenStatus::NotFound;
  std::vector<UncheckedDevice> unchecked;
  // The programmer opened, by its name (link::ProgrammerName); empty when nothing was opened or
  // the transport cannot tell.
  std::string name;
};

// An opened programmer: its interface is claimed and ready for bulk transfers.
class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // The pipes of alternate setting 0 of the programmer's interface, in descriptor order;
  // nullopt when the interface settings cannot be read.
  virtual std::optional<std::vector<PipeInfo>> QueryPipes() = 0;

  // One bulk IN transfer of at most buffer.size() bytes. Like a USB transfer, it ends with a
  // short packet, a full buffer, the time-out, or a failure.
  virtual TransferResult BulkRead(std::uint8_t pipeId, std::span<std::uint8_t> buffer,
                                  std::chrono::milliseconds timeout) = 0;
  virtual TransferResult BulkWrite(std::uint8_t pipeId, std::span<const std::uint8_t> data,
                                   std::chrono::milliseconds timeout) = 0;

  // Ends the transfer in flight at once and fails every later one with Cancelled.
  // The only member that may be called from another thread.
  virtual void Cancel() = 0;
};

class UsbTransport {
 public:
  virtual ~UsbTransport() = default;

  // Opens the first attached device that exposes the interface class, or gives nullptr.
  // `setupTimeout` bounds each request made while finding and opening it.
  virtual std::unique_ptr<UsbDevice> OpenDevice(const Guid& interfaceClass,
                                                std::chrono::milliseconds setupTimeout) = 0;

  // What the last OpenDevice() found. A transport that cannot tell says NotFound.
  virtual OpenOutcome LastOpenOutcome() const { return {}; }

  // The programmer last opened is restarting (it was told "ResetNow"): it leaves the bus and
  // comes back at a new address. Until it has been opened again, OpenDevice() opens no other
  // programmer, though another may be attached before it. Does nothing where the transport
  // cannot tell programmers apart.
  virtual void ProgrammerRestarts() {}
};

}  // namespace torv2::link
