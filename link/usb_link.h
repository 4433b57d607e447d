#pragma once
// The one way to the programmer: open it, move bytes over its bulk IN and OUT pipes with a
// time-out per transfer, close it. Reads behave like WinUSB with partial reads on: a read is
// served first from the bytes the previous USB transfers left over, and a USB transfer always
// asks for whole packets, so a short read never loses the rest of a packet.
//
// Nothing the device sent for an earlier exchange is taken as an answer: from the open, and after
// any exchange that failed, the link is unsettled, and Settle() (called before each command frame)
// first drains what the device still has queued. On a settled link it costs nothing.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "link/failure.h"
#include "link/trace.h"
#include "link/usb_transport.h"

namespace torv2::link {

struct LinkTimeouts {
  std::chrono::milliseconds atOpen{kControlRequestTimeout};  // each request made while opening
  std::chrono::milliseconds perTransfer{6'000};              // bounds every single bulk transfer
  // Each read of a drain waits this long for more; the first read that brings nothing ends it.
  // A device that has bytes queued sends them within a frame or two.
  std::chrono::milliseconds drain{20};
};

// A drain reads at most this many times, so a device that never stops talking cannot hold it.
inline constexpr int kMaxDrainReads = 64;
// Each read of a drain asks for as many whole packets as fit in this many bytes.
inline constexpr std::size_t kDrainReadSize = 4096;

class UsbLink {
 public:
  explicit UsbLink(UsbTransport& transport, LinkTimeouts timeouts = {});
  ~UsbLink();
  UsbLink(const UsbLink&) = delete;
  UsbLink& operator=(const UsbLink&) = delete;

  // Whether the programmer is open and its bulk IN and OUT pipes are known. A failed open leaves
  // every field as it was. Does not set `linkOpen`: callers store the result there themselves.
  bool OpenUsbLink();
  // The programmer is about to restart ("ResetNow"): the next open finds it again and no other.
  void ProgrammerRestarts() { transport_.ProgrammerRestarts(); }
  // Releases what is open and clears `linkOpen`; on a closed link it only clears the flag.
  void CloseUsbLink();
  // The name of the programmer the link last opened (OpenOutcome::name), also once it is closed
  // again; empty before the first open and where the transport cannot tell. Any thread.
  std::string OpenedName() const;

  // Bytes received or sent; 0 on any failure, on a closed link (without touching the USB
  // layer) and for a transfer that moves nothing.
  std::uint32_t LinkRead(std::span<std::uint8_t> buffer);
  // One byte, as LinkRead() of one byte; a byte the last transfer brought is taken without the
  // call. The framing reads every reply this way.
  bool ReadByte(std::uint8_t& b) {
    if (rxHead_ < rxTail_ && !Cancelled()) {
      b = rx_[rxHead_++];
      return true;
    }
    return LinkRead(std::span(&b, 1)) != 0;
  }
  std::uint32_t LinkWrite(std::span<const std::uint8_t> data);

  // Whether the next bytes from the device may belong to an earlier exchange: true from the open
  // until Settle(), and again after any failed transfer or exchange.
  bool Unsettled() const { return unsettled_; }
  // The framing and the transfers mark an exchange that failed, whatever the reason.
  void MarkUnsettled() { unsettled_ = true; }
  // On an unsettled open link: drops what the receive buffer holds, then reads and drops what
  // the device still has queued, in reads of the drain time-out, until one brings nothing, one
  // fails, or kMaxDrainReads have been made. The dropped bytes go to the trace as "discarded".
  // Does nothing on a settled or closed link.
  void Settle();

  // Makes the transfer in flight fail at once, and every later one, for good. Any thread.
  void Cancel();
  // Lets the transfer in flight end as it would and fails every later read and write, for good,
  // without touching the device: whatever runs over the link stops at the next transfer
  // boundary. Any thread.
  void StopAtNextTransfer() { stopped_.store(true, std::memory_order_relaxed); }
  // After Cancel() or StopAtNextTransfer().
  bool Cancelled() const {
    return cancelled_.load(std::memory_order_relaxed) || stopped_.load(std::memory_order_relaxed);
  }

  // Where the framing and the transfers report what they exchange; null (the default) for none.
  void SetTrace(LinkTrace* trace) { trace_ = trace; }
  void Trace(Direction direction, std::string_view what,
             std::span<const std::uint8_t> bytes) const {
    if (trace_) trace_->Record(direction, what, bytes);
  }

  // What the last failed open or transfer met. The framing and the image transfers add to it what
  // they saw in the bytes; whoever decides what a failure means reads it right after.
  const ExchangeFailure& failure() const { return failure_; }
  ExchangeFailure& failure() { return failure_; }

  bool IsOpen() const { return device_ != nullptr; }
  std::uint8_t bulkInPipeId() const { return bulkInPipeId_; }
  std::uint8_t bulkOutPipeId() const { return bulkOutPipeId_; }
  const LinkTimeouts& timeouts() const { return timeouts_; }

  // True while the link is open; written by the callers' calling pattern.
  bool linkOpen = false;

 private:
  // False, with the failure noted, for a closed or cancelled link or a transfer of nothing.
  bool ReadyFor(std::size_t bytes);
  std::uint32_t FillReceiveBuffer(std::size_t wanted);

  UsbTransport& transport_;
  LinkTimeouts timeouts_;

  std::unique_ptr<UsbDevice> device_;  // the device and WinUSB handles in one
  std::uint8_t bulkInPipeId_ = 0;
  std::uint8_t bulkOutPipeId_ = 0;
  std::uint16_t inPacketSize_ = 0;

  // Bytes of the IN pipe received but not yet handed out: rx_[rxHead_, rxTail_).
  std::vector<std::uint8_t> rx_;
  std::size_t rxHead_ = 0;
  std::size_t rxTail_ = 0;
  bool unsettled_ = false;

  LinkTrace* trace_ = nullptr;
  ExchangeFailure failure_;

  mutable std::mutex cancelMutex_;  // guards device_ against Cancel() from another thread, and
  std::string openedName_;          // this against OpenedName()
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> stopped_{false};
};

}  // namespace torv2::link
