#include "link/usb_link.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace torv2::link {
namespace {

struct BulkPipes {
  PipeInfo in;
  PipeInfo out;
};

// The last bulk pipe of each direction wins; an interface without a bulk pipe in one direction
// cannot carry the protocol and is refused.
std::optional<BulkPipes> FindBulkPipes(UsbDevice& device) {
  const auto pipes = device.QueryPipes();
  if (!pipes) return std::nullopt;
  std::optional<PipeInfo> in, out;
  for (const PipeInfo& pipe : *pipes) {
    if (pipe.type != PipeType::Bulk) continue;
    if (pipe.pipeId & 0x80) {
      in = pipe;
    } else {
      out = pipe;
    }
  }
  if (!in || !out || in->maximumPacketSize == 0) return std::nullopt;
  return BulkPipes{*in, *out};
}

// Why the open failed, from what the transport found.
ExchangeFailure OpenFailure(OpenOutcome outcome) {
  ExchangeFailure f;
  switch (outcome.status) {
    case OpenStatus::Opened:  // opened, but its pipes cannot carry the protocol
      f.what = Happened::NoPipes;
      break;
    case OpenStatus::Error:
      f.what = Happened::TransferError;
      f.transfer = TransferStatus::Error;
      break;
    case OpenStatus::NotFound:
      f.what = Happened::NotFound;
      break;
    case OpenStatus::AccessDenied:
      f.what = Happened::AccessDenied;
      break;
    case OpenStatus::Busy:
      f.what = Happened::Busy;
      break;
    case OpenStatus::NoDevice:
      f.what = Happened::DeviceGone;
      f.transfer = TransferStatus::NoDevice;
      break;
  }
  f.unchecked = std::move(outcome.unchecked);
  return f;
}

}  // namespace

UsbLink::UsbLink(UsbTransport& transport, LinkTimeouts timeouts)
    : transport_(transport), timeouts_(timeouts) {}

UsbLink::~UsbLink() {
  CloseUsbLink();
}

bool UsbLink::OpenUsbLink() {
  if (Cancelled()) {
    failure_ = TransferFailure(TransferStatus::Cancelled, {});
    return false;
  }
  auto device = transport_.OpenDevice(DeviceInterfaceGuid, timeouts_.atOpen);
  if (!device) {
    failure_ = OpenFailure(transport_.LastOpenOutcome());
    return false;
  }
  const auto pipes = FindBulkPipes(*device);
  if (!pipes) {  // `device` closes itself; no field was touched
    failure_ = OpenFailure({OpenStatus::Opened, {}});
    return false;
  }

  std::string name = transport_.LastOpenOutcome().name;
  std::lock_guard lock(cancelMutex_);
  openedName_ = std::move(name);
  device_ = std::move(device);
  bulkInPipeId_ = pipes->in.pipeId;
  bulkOutPipeId_ = pipes->out.pipeId;
  inPacketSize_ = pipes->in.maximumPacketSize;
  rxHead_ = rxTail_ = 0;
  failure_ = {};
  unsettled_ = true;                  // the device may still hold what it queued before this open
  if (cancelled_) device_->Cancel();  // Cancel() raced with this open
  return true;
}

void UsbLink::CloseUsbLink() {
  std::unique_ptr<UsbDevice> closing;
  {
    std::lock_guard lock(cancelMutex_);
    closing = std::move(device_);
  }
  closing.reset();
  rxHead_ = rxTail_ = 0;
  linkOpen = false;
}

std::string UsbLink::OpenedName() const {
  std::lock_guard lock(cancelMutex_);
  return openedName_;
}

void UsbLink::Cancel() {
  std::lock_guard lock(cancelMutex_);
  cancelled_ = true;
  if (device_) device_->Cancel();
}

void UsbLink::Settle() {
  if (!device_ || !unsettled_ || Cancelled()) return;
  unsettled_ = false;
  if (rxHead_ < rxTail_) {
    Trace(Direction::FromDevice, "discarded", std::span(rx_).subspan(rxHead_, rxTail_ - rxHead_));
  }
  rxHead_ = rxTail_ = 0;
  // Whole packets again; a bulk packet is at most 2,047 bytes, so the buffer holds at least one.
  std::array<std::uint8_t, kDrainReadSize> scratch;
  const std::size_t size = scratch.size() / inPacketSize_ * inPacketSize_;
  for (int i = 0; i < kMaxDrainReads; ++i) {
    const TransferResult r = device_->BulkRead(bulkInPipeId_, std::span(scratch.data(), size),
                                               std::min(timeouts_.drain, timeouts_.perTransfer));
    const std::size_t got = std::min(r.transferred, size);
    if (got > 0) Trace(Direction::FromDevice, "discarded", std::span(scratch.data(), got));
    // A time-out with bytes means the device is still sending: read on. Nothing, or a failure
    // (gone, cancelled), ends the drain; the command that follows meets the failure itself.
    if (got == 0 || (r.status != TransferStatus::Ok && r.status != TransferStatus::TimedOut)) {
      break;
    }
  }
}

bool UsbLink::ReadyFor(std::size_t bytes) {
  if (!device_ || bytes == 0) {
    failure_ = {};
    failure_.what = Happened::NotOpen;
    return false;
  }
  if (Cancelled()) {
    failure_ = TransferFailure(TransferStatus::Cancelled, {});
    return false;
  }
  return true;
}

std::uint32_t UsbLink::LinkRead(std::span<std::uint8_t> buffer) {
  if (!ReadyFor(buffer.size())) return 0;
  if (rxHead_ == rxTail_ && FillReceiveBuffer(buffer.size()) == 0) {
    unsettled_ = true;
    return 0;
  }
  const std::size_t n = std::min(buffer.size(), rxTail_ - rxHead_);
  std::memcpy(buffer.data(), rx_.data() + rxHead_, n);
  rxHead_ += n;
  return static_cast<std::uint32_t>(n);
}

std::uint32_t UsbLink::FillReceiveBuffer(std::size_t wanted) {
  // Whole packets only: a USB transfer shorter than the packet the device sends would overflow
  // and lose the rest of it.
  const std::size_t packets = (wanted + inPacketSize_ - 1) / inPacketSize_;
  const std::size_t size = packets * inPacketSize_;
  if (rx_.size() < size) rx_.resize(size);
  rxHead_ = rxTail_ = 0;
  const TransferResult r =
      device_->BulkRead(bulkInPipeId_, std::span(rx_.data(), size), timeouts_.perTransfer);
  if (r.status != TransferStatus::Ok || r.transferred == 0) {
    failure_ = TransferFailure(r.status, timeouts_.perTransfer);
    return 0;
  }
  rxTail_ = std::min(r.transferred, size);
  return static_cast<std::uint32_t>(rxTail_);
}

std::uint32_t UsbLink::LinkWrite(std::span<const std::uint8_t> data) {
  if (!ReadyFor(data.size())) return 0;
  const TransferResult r = device_->BulkWrite(bulkOutPipeId_, data, timeouts_.perTransfer);
  if (r.status != TransferStatus::Ok) {
    failure_ = TransferFailure(r.status, timeouts_.perTransfer);
    unsettled_ = true;
    return 0;
  }
  return static_cast<std::uint32_t>(std::min(r.transferred, data.size()));
}

}  // namespace torv2::link
