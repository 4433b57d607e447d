#pragma once
// The in-process virtual programmer with its answers and faults chosen by a fuzz input, behind a
// bus that can lose, delay, corrupt and add bytes, drop the device and bring it back. Every wait
// is zero: the link's transfers time out at once, and the device answers as soon as the host has
// written.
//
// Two halves: DevicePlan::ApplyTo is the only place that knows the model's knobs (what it
// answers, which step goes wrong and how); FaultyBus does what a bus can do to any device, and
// counts every transfer against a bound. When the model's knobs change, DevicePlan follows them.
//
// Input layout (all choices modulo their count; a missing byte reads 0):
//   settings   packet size (64, 512, 16, 8); status reply; version reply; final verdict;
//              sockets (bit 7 clear: all upgraded, else the next byte says which are)
//   knobs      resend requests for the next 0-3 command frames; 0-3 reply checksums in capitals;
//              0-3 junk bytes before every reply (then the bytes); 0xA4 start markers; how the
//              device's writes map onto transfers (whole, pieces of 3, 64 or 1000 bytes, or all
//              writes between two host writes as one); a read-back byte flipped (image, offset
//              16 bits, mask)
//   faults     up to three step faults, each: step, occurrence (1-8), kind; one at a time, the
//              next armed once the one before has struck
//   bus        up to four events, each: kind, transfer number (16 bits), two arguments
//   ResetNow   whether the device re-enumerates after it
//   the rest   ignored

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "fuzz/support/fuzz_input.h"
#include "link/usb_transport.h"

namespace torv2::fuzz {

using emulator::Image;
using emulator::VirtualProgrammer;

// What the device is and does, as the model's knobs.
struct DevicePlan {
  emulator::DeviceSettings settings;
  emulator::Faults knobs;
  std::vector<emulator::StepFault> stepFaults;  // armed one after the other

  static DevicePlan FromInput(FuzzInput& in) {
    DevicePlan plan;
    static constexpr std::uint16_t kPacketSizes[] = {64, 512, 16, 8};
    static const char* const kStatus[] = {"Ready.", "Already.", "Already. Reset me", "Busy"};
    static const char* const kVersion[] = {"MainExe - TORV2 Execute V02.07",
                                           "MainExe - TORV2 Execute V02.08", "MainExe", ""};
    static const char* const kVerdict[] = {"OK", "NG", "OK ", "ok"};
    emulator::DeviceSettings& s = plan.settings;
    s.recordHostBytes = false;  // nothing reads the traffic; keeping it costs every run
    s.maxPacketSize = kPacketSizes[in.Byte() % 4];
    s.statusReply = kStatus[in.Byte() % 4];
    s.versionReply = kVersion[in.Byte() % 4];
    s.finalVerdict = kVerdict[in.Byte() % 4];
    if (const std::uint8_t b = in.Byte(); b & 0x80) {
      const std::uint8_t which = in.Byte();
      for (std::size_t i = 0; i < s.socketStatus.size(); ++i) {
        // 'X' for a socket that is not upgraded: no single changed bit makes it a 'U'.
        s.socketStatus[i] = (which >> i) & 1 ? 'U' : 'X';
      }
    }

    emulator::Faults& k = plan.knobs;
    k.nakFrames = in.Byte() % 4;
    k.upperCaseChecksums = in.Byte() % 4;
    for (int n = in.Byte() % 4; n > 0; --n)
      k.junkBeforeReply.push_back(static_cast<char>(in.Byte()));
    k.a4StartMarker = in.Byte() % 8 == 0;
    static constexpr std::size_t kSplits[] = {0, 3, 64, 1000};
    const std::uint8_t cutting = in.Byte();
    k.splitWrites = kSplits[cutting % 4];
    k.mergeWrites = (cutting & 0x04) != 0;
    // The mask always has bit 1 set: the bus changes a chunk by bit 0 (FaultyBus::Corrupts), and
    // a read-back flip that undid exactly that change would show the host the image it sent
    // while the flash holds another, which no verifier can tell.
    if (const std::uint8_t flip = in.Byte(); flip & 0x80) {
      k.flipReadBackByte = emulator::Faults::ByteFlip{flip & 1 ? Image::Sub : Image::Main, in.U16(),
                                                      static_cast<std::uint8_t>(in.Byte() | 2)};
    }

    for (int n = in.Byte() % 4; n > 0; --n) {
      const auto step = static_cast<emulator::Step>(in.Byte() % emulator::kStepCount);
      const int occurrence = in.Byte() % 8 + 1;
      static constexpr emulator::FaultKind kKinds[] = {
          emulator::FaultKind::NoAnswer, emulator::FaultKind::Unplug,
          emulator::FaultKind::Junk,     emulator::FaultKind::WrongLength,
          emulator::FaultKind::Refuse,   emulator::FaultKind::Corrupt};
      plan.stepFaults.push_back({step, occurrence, kKinds[in.Byte() % 6]});
    }
    return plan;
  }

  void ApplyTo(VirtualProgrammer& p) const {
    p.settings() = settings;
    p.faults() = knobs;
  }
  // Arms the next step fault once the one before has struck; false when none is left.
  bool ArmNext(VirtualProgrammer& p, std::size_t& next) const {
    if (p.faults().atStep || next == stepFaults.size()) return false;
    p.faults().atStep = stepFaults[next++];
    return true;
  }
  // A device that answers everything as it should, its flash and counters kept.
  static void BehaveWell(VirtualProgrammer& p) {
    const bool record = p.settings().recordHostBytes;
    p.settings() = emulator::DeviceSettings{};
    p.settings().recordHostBytes = record;
    p.faults() = emulator::Faults{};
  }
};

// What a bus does to the device's traffic; chosen per transfer number.
struct BusEvent {
  enum Kind : std::uint8_t {
    Unplug,       // the device drops off the bus before this transfer
    Reenumerate,  // it drops off and is back at once: the handle in use is dead
    Late,         // this and the next `a % 4` reads find nothing, though the device has sent
    Stale,        // leftover bytes from an earlier exchange arrive before this command frame
    CorruptOut,   // the `a`-th chunk the host writes reaches the device with one byte changed
  };
  Kind kind = Unplug;
  std::size_t at = 0;  // transfer number, from 0
  std::uint8_t a = 0;
  std::uint8_t b = 0;

  static std::vector<BusEvent> FromInput(FuzzInput& in) {
    std::vector<BusEvent> events;
    for (int n = in.Byte() % 5; n > 0; --n) {
      BusEvent e;
      e.kind = static_cast<Kind>(in.Byte() % 5);
      e.at = in.U16();
      e.a = in.Byte();
      e.b = in.Byte();
      events.push_back(e);
    }
    return events;
  }
};

// The in-process transport behind a bus that applies the plan's events, arms its step faults in
// turn, counts every transfer (aborting past `transferBound`) and every handle still open.
class FaultyBus final : public link::UsbTransport {
 public:
  FaultyBus(emulator::InProcessTransport& device, const DevicePlan& plan)
      : device_(device), plan_(plan) {}

  // The fuzzed attempt: the plan applied to the device, its events on the bus.
  void Start(std::vector<BusEvent> events, bool reenumerateOnReset, std::size_t transferBound) {
    Reset(transferBound);
    events_ = std::move(events);
    reenumerateOnReset_ = reenumerateOnReset;
    armFaults_ = true;
    device_.WithProgrammer([&](VirtualProgrammer& p) {
      plan_.ApplyTo(p);
      plan_.ArmNext(p, nextFault_);
      resets_ = p.resetCount();
    });
  }
  // From now on the bus passes everything and the device, present, behaves.
  void Calm(std::size_t transferBound) {
    Reset(transferBound);
    device_.WithProgrammer([](VirtualProgrammer& p) { DevicePlan::BehaveWell(p); });
    device_.Replug();
  }

  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& interfaceClass,
                                              std::chrono::milliseconds setupTimeout) override {
    auto inner = device_.OpenDevice(interfaceClass, setupTimeout);
    if (!inner) return nullptr;
    return std::make_unique<Handle>(*this, std::move(inner));
  }

  std::size_t transfers() const { return transfers_; }
  int openHandles() const { return openHandles_; }

 private:
  class Handle final : public link::UsbDevice {
   public:
    Handle(FaultyBus& bus, std::unique_ptr<link::UsbDevice> inner)
        : bus_(bus), inner_(std::move(inner)) {
      ++bus_.openHandles_;
    }
    ~Handle() override { --bus_.openHandles_; }
    std::optional<std::vector<link::PipeInfo>> QueryPipes() override {
      return inner_->QueryPipes();
    }
    link::TransferResult BulkRead(std::uint8_t pipe, std::span<std::uint8_t> buffer,
                                  std::chrono::milliseconds timeout) override {
      bus_.BeforeTransfer(nullptr);
      if (bus_.lateReads_ > 0) {
        --bus_.lateReads_;
        return {link::TransferStatus::TimedOut, 0};
      }
      return inner_->BulkRead(pipe, buffer, timeout);
    }
    link::TransferResult BulkWrite(std::uint8_t pipe, std::span<const std::uint8_t> data,
                                   std::chrono::milliseconds timeout) override {
      std::vector<std::uint8_t> changed;
      bus_.BeforeTransfer(&data);
      if (bus_.Corrupts(data, changed)) data = changed;
      const link::TransferResult r = inner_->BulkWrite(pipe, data, timeout);
      bus_.AfterWrite();
      return r;
    }
    void Cancel() override { inner_->Cancel(); }

   private:
    FaultyBus& bus_;
    std::unique_ptr<link::UsbDevice> inner_;
  };

  void Reset(std::size_t transferBound) {
    events_.clear();
    reenumerateOnReset_ = false;
    armFaults_ = false;
    transferBound_ = transferBound;
    transfers_ = 0;
    nextFault_ = 0;
    chunksWritten_ = 0;
    lateReads_ = 0;
    corrupt_.reset();
  }

  static bool IsCommandFrame(std::span<const std::uint8_t> data) {
    return data.size() >= 2 && data[0] == '$' && data[1] == 'g';
  }

  void BeforeTransfer(const std::span<const std::uint8_t>* written) {
    const std::size_t n = transfers_++;
    FUZZ_CHECK(transfers_ <= transferBound_);  // the job ends within a bounded number of transfers
    const bool frame = written && IsCommandFrame(*written);
    for (const BusEvent& e : events_) {
      if (e.at != n) continue;
      switch (e.kind) {
        case BusEvent::Unplug:
          device_.Unplug();
          break;
        case BusEvent::Reenumerate:
          device_.Unplug();
          device_.Replug();
          break;
        case BusEvent::Late:
          if (!written) lateReads_ = 1 + e.a % 4;
          break;
        case BusEvent::Stale:
          if (frame) SendStale(e.a);
          break;
        case BusEvent::CorruptOut:
          corrupt_ = e;
          break;
      }
    }
    if (armFaults_)
      device_.WithProgrammer([&](VirtualProgrammer& p) { plan_.ArmNext(p, nextFault_); });
  }

  // Leftovers an earlier exchange may leave queued: a reply, an acknowledgement, an escaped
  // status, half a reply, a chunk acknowledgement.
  void SendStale(std::uint8_t which) {
    static constexpr std::string_view kStale[] = {"$OK#9a", "+", "$$$$OK####9a", "$Rea",
                                                  "+0.ok.ok.+"};
    const std::string_view s = kStale[which % 5];
    device_.WithProgrammer([&](VirtualProgrammer& p) {
      p.SendRaw(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    });
  }

  // A chunk (a host write of 100 bytes or more) changed on its way, when an event asked for it.
  bool Corrupts(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& changed) {
    if (data.size() < 100) return false;
    const std::size_t chunk = chunksWritten_++;
    if (!corrupt_ || corrupt_->a % 8 != chunk % 8) return false;
    changed.assign(data.begin(), data.end());
    // The offset counts from the end as well, so both edges of a chunk are near.
    const std::size_t offset = corrupt_->b & 0x80
                                   ? data.size() - 1 - (corrupt_->b & 0x7F) % data.size()
                                   : corrupt_->b % data.size();
    changed[offset] ^= 0x01;
    corrupt_.reset();
    return true;
  }

  void AfterWrite() {
    if (!reenumerateOnReset_) return;
    const int resets = device_.WithProgrammer([](VirtualProgrammer& p) { return p.resetCount(); });
    if (resets != resets_) {
      resets_ = resets;
      device_.Unplug();
      device_.Replug();
    }
  }

  emulator::InProcessTransport& device_;
  const DevicePlan& plan_;
  std::vector<BusEvent> events_;
  bool reenumerateOnReset_ = false;
  bool armFaults_ = false;
  std::size_t transferBound_ = 0;
  std::size_t transfers_ = 0;
  std::size_t nextFault_ = 0;
  std::size_t chunksWritten_ = 0;
  int lateReads_ = 0;
  int resets_ = 0;
  int openHandles_ = 0;
  std::optional<BusEvent> corrupt_;
};

}  // namespace torv2::fuzz
