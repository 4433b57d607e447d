#pragma once
// A transport for fuzzing that plays a script of device writes: no lock, no clock, no thread, no
// wait. All the device's bytes are queued before the code under test runs, so a read that finds
// nothing left ends at once with a time-out, as a real one would after its wait: waiting could
// never bring another byte.
//
// The device's bytes reach the host cut into USB transfers exactly as the virtual programmer
// cuts its writes (VirtualProgrammer::TakeInTransfer, Faults::splitWrites): a write goes in
// pieces of at most `split` bytes (0: whole); a transfer takes whole packets of the pipe's size
// until the reader's buffer is full, a short packet or the end of a piece ends it; a packet that
// does not fit the buffer fills it, is lost beyond it, and ends the transfer as an overflow.
// tests/emulator/scripted_transport_test.cpp holds the two against each other. Unlike the
// model's, a transfer here is copied straight from the script into the reader's buffer: no
// allocation per transfer or per write, which is most of what a fuzz input costs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "link/usb_transport.h"

namespace torv2::fuzz {

class ScriptedTransport final : public link::UsbTransport {
 public:
  explicit ScriptedTransport(std::uint16_t maxPacketSize) : maxPacketSize_(maxPacketSize) {
    SwapStorage();
    stream_.clear();
    pieces_.clear();
    hostBytes_.clear();
    hostWriteSizes_.clear();
  }
  ~ScriptedTransport() override { SwapStorage(); }
  ScriptedTransport(const ScriptedTransport&) = delete;
  ScriptedTransport& operator=(const ScriptedTransport&) = delete;

  // Queues one device write, sent in transfers of at most `split` bytes (0: as one piece).
  void Send(std::span<const std::uint8_t> bytes, std::size_t split = 0) {
    Append(bytes.size(), split,
           [&](std::uint8_t* at) { std::memcpy(at, bytes.data(), bytes.size()); });
  }
  // Queues one write of `count` copies of `value`.
  void SendRun(std::size_t count, std::uint8_t value, std::size_t split = 0) {
    Append(count, split, [&](std::uint8_t* at) { std::memset(at, value, count); });
  }

  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& interfaceClass,
                                              std::chrono::milliseconds) override {
    if (interfaceClass != link::DeviceInterfaceGuid) return nullptr;
    return std::make_unique<Device>(*this);
  }

  // Every byte the device sends, in order.
  std::span<const std::uint8_t> stream() const { return stream_; }
  // Every byte the host wrote, and the length of each of its writes.
  const std::vector<std::uint8_t>& hostBytes() const { return hostBytes_; }
  const std::vector<std::size_t>& hostWriteSizes() const { return hostWriteSizes_; }

 private:
  struct Piece {
    std::size_t start = 0;  // in stream_
    std::size_t size = 0;
  };

  // The vectors' memory is kept from one input to the next: allocating it afresh under ASan cost
  // a tenth of a wire target's time.
  void SwapStorage() {
    struct Storage {
      std::vector<std::uint8_t> stream;
      std::vector<Piece> pieces;
      std::vector<std::uint8_t> hostBytes;
      std::vector<std::size_t> hostWriteSizes;
    };
    static thread_local Storage kept;
    stream_.swap(kept.stream);
    pieces_.swap(kept.pieces);
    hostBytes_.swap(kept.hostBytes);
    hostWriteSizes_.swap(kept.hostWriteSizes);
  }

  template <class Fill>
  TORV2_FUZZ_ORACLE void Append(std::size_t count, std::size_t split, Fill fill) {
    if (count == 0) return;
    const std::size_t start = stream_.size();
    stream_.resize(start + count);
    fill(stream_.data() + start);
    const std::size_t piece = split ? split : count;
    for (std::size_t at = 0; at < count; at += piece) {
      pieces_.push_back({start + at, std::min(piece, count - at)});
    }
  }

  TORV2_FUZZ_ORACLE link::TransferResult Read(std::span<std::uint8_t> buffer) {
    using link::TransferStatus;
    if (next_ == pieces_.size() || buffer.empty()) return {TransferStatus::TimedOut, 0};
    const std::size_t mps = maxPacketSize_;
    const Piece& piece = pieces_[next_];
    std::size_t got = 0;
    bool overflow = false;
    for (;;) {
      const std::size_t packet = std::min(mps, piece.size - offset_);
      const std::size_t room = buffer.size() - got;
      const std::size_t n = std::min(packet, room);
      std::memcpy(buffer.data() + got, stream_.data() + piece.start + offset_, n);
      got += n;
      overflow = packet > room;  // the rest of that packet is lost
      offset_ += packet;
      if (offset_ >= piece.size) {
        ++next_;
        offset_ = 0;
        break;
      }
      if (overflow || packet < mps || got == buffer.size()) break;
    }
    return {overflow ? TransferStatus::Overflow : TransferStatus::Ok, got};
  }

  class Device final : public link::UsbDevice {
   public:
    explicit Device(ScriptedTransport& t) : t_(t) {}

    std::optional<std::vector<link::PipeInfo>> QueryPipes() override {
      return std::vector<link::PipeInfo>{{link::PipeType::Bulk, 0x81, t_.maxPacketSize_},
                                         {link::PipeType::Bulk, 0x01, t_.maxPacketSize_}};
    }
    TORV2_FUZZ_ORACLE link::TransferResult BulkRead(std::uint8_t, std::span<std::uint8_t> buffer,
                                                    std::chrono::milliseconds) override {
      if (cancelled_) return {link::TransferStatus::Cancelled, 0};
      return t_.Read(buffer);
    }
    TORV2_FUZZ_ORACLE link::TransferResult BulkWrite(std::uint8_t,
                                                     std::span<const std::uint8_t> data,
                                                     std::chrono::milliseconds) override {
      if (cancelled_) return {link::TransferStatus::Cancelled, 0};
      t_.hostBytes_.insert(t_.hostBytes_.end(), data.begin(), data.end());
      t_.hostWriteSizes_.push_back(data.size());
      return {link::TransferStatus::Ok, data.size()};
    }
    void Cancel() override { cancelled_ = true; }

   private:
    ScriptedTransport& t_;
    bool cancelled_ = false;
  };

  std::uint16_t maxPacketSize_;
  std::vector<std::uint8_t> stream_;
  std::vector<Piece> pieces_;
  std::size_t next_ = 0;    // the piece the next transfer starts in
  std::size_t offset_ = 0;  // bytes of it already sent
  std::vector<std::uint8_t> hostBytes_;
  std::vector<std::size_t> hostWriteSizes_;
};

}  // namespace torv2::fuzz
