#include "emulator/inprocess_transport.h"

#include <algorithm>
#include <cstring>

namespace torv2::emulator {
namespace {

// The interface class the programmer announces, as the device itself carries it.
constexpr link::Guid kProgrammerInterfaceClass{
    0xB91D9E33, 0x6927, 0x4B4D, {0xA4, 0x0D, 0x48, 0x4C, 0x31, 0x2B, 0x8C, 0x26}};

bool OnTheBus(const InProcessTransport::State& state) {
  return state.attached && std::chrono::steady_clock::now() >= state.backAt;
}

using link::PipeInfo;
using link::TransferResult;
using link::TransferStatus;

class InProcessDevice final : public link::UsbDevice {
 public:
  InProcessDevice(std::shared_ptr<InProcessTransport::State> state, std::vector<PipeInfo> pipes,
                  bool pipeQueryFails)
      : state_(std::move(state)),
        pipes_(std::move(pipes)),
        pipeQueryFails_(pipeQueryFails),
        generation_(state_->generation) {}

  std::optional<std::vector<PipeInfo>> QueryPipes() override {
    if (pipeQueryFails_) return std::nullopt;
    return pipes_;
  }

  TransferResult BulkRead(std::uint8_t, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    std::unique_lock lock(state_->mutex);
    ++state_->bulkReads;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (cancelled_) return {TransferStatus::Cancelled, 0};
      if (!Present()) return {TransferStatus::NoDevice, 0};
      if (auto t = state_->programmer.TakeInTransfer(buffer.size())) {
        std::memcpy(buffer.data(), t->data.data(), t->data.size());
        if (state_->programmer.settings().recordHostBytes)
          state_->inSizes.push_back(t->data.size());
        AfterDeviceActed();
        return {t->overflow ? TransferStatus::Overflow : TransferStatus::Ok, t->data.size()};
      }
      if (state_->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
        if (!cancelled_ && Present() && state_->programmer.HasInData()) continue;
        return {TransferStatus::TimedOut, 0};
      }
    }
  }

  TransferResult BulkWrite(std::uint8_t, std::span<const std::uint8_t> data,
                           std::chrono::milliseconds) override {
    std::lock_guard lock(state_->mutex);
    ++state_->bulkWrites;
    if (cancelled_) return {TransferStatus::Cancelled, 0};
    if (!Present()) return {TransferStatus::NoDevice, 0};
    state_->programmer.OnOutTransfer(data);
    if (state_->programmer.settings().recordHostBytes) state_->outSizes.push_back(data.size());
    AfterDeviceActed();
    return {TransferStatus::Ok, data.size()};
  }

  void Cancel() override {
    std::lock_guard lock(state_->mutex);
    cancelled_ = true;
    state_->changed.notify_all();
  }

 private:
  bool Present() const { return OnTheBus(*state_) && state_->generation == generation_; }

  // The model may ask to drop off the bus while it runs, or to restart once the host has read
  // what it queued.
  void AfterDeviceActed() {
    VirtualProgrammer& p = state_->programmer;
    if (p.UnplugRequested()) {
      p.ClearUnplugRequest();
      state_->attached = false;
      ++state_->generation;
    }
    if (p.ResetRequested() && !p.HasInData()) {
      p.Restart();
      ++state_->generation;
      ++state_->reenumerations;
      state_->backAt = std::chrono::steady_clock::now() + state_->reenumerationDelay;
    }
    state_->changed.notify_all();
  }

  std::shared_ptr<InProcessTransport::State> state_;
  std::vector<PipeInfo> pipes_;
  bool pipeQueryFails_;
  std::size_t generation_;
  bool cancelled_ = false;  // guarded by state_->mutex
};

}  // namespace

InProcessTransport::InProcessTransport(DeviceSettings settings)
    : InProcessTransport(std::move(settings), Options{}) {}

InProcessTransport::InProcessTransport(DeviceSettings settings, Options options)
    : state_(std::make_shared<State>(std::move(settings))), options_(std::move(options)) {
  state_->reenumerationDelay = options_.reenumerationDelay;
}

InProcessTransport::~InProcessTransport() = default;

std::unique_ptr<link::UsbDevice> InProcessTransport::OpenDevice(const link::Guid& interfaceClass,
                                                                std::chrono::milliseconds) {
  std::lock_guard lock(state_->mutex);
  state_->reenumerationDelay = options_.reenumerationDelay;
  lastOpen_ = {};
  if (!OnTheBus(*state_) || !options_.carriesGuid || interfaceClass != kProgrammerInterfaceClass) {
    return nullptr;
  }
  lastOpen_ = {link::OpenStatus::Opened, {}, options_.name};
  ++state_->opens;
  state_->programmer.OnInterfaceClaimed();
  std::vector<PipeInfo> pipes = options_.pipes;
  if (pipes.empty()) {
    const std::uint16_t mps = state_->programmer.settings().maxPacketSize;
    pipes = {{link::PipeType::Bulk, 0x81, mps}, {link::PipeType::Bulk, 0x01, mps}};
  }
  return std::make_unique<InProcessDevice>(state_, std::move(pipes), options_.pipeQueryFails);
}

link::OpenOutcome InProcessTransport::LastOpenOutcome() const {
  std::lock_guard lock(state_->mutex);
  return lastOpen_;
}

void InProcessTransport::Unplug() {
  std::lock_guard lock(state_->mutex);
  state_->attached = false;
  ++state_->generation;
  state_->changed.notify_all();
}

void InProcessTransport::Replug() {
  std::lock_guard lock(state_->mutex);
  if (!state_->attached) state_->programmer.Restart();
  state_->attached = true;
  state_->changed.notify_all();
}

std::size_t InProcessTransport::reenumerations() const {
  std::lock_guard lock(state_->mutex);
  return state_->reenumerations;
}

std::vector<std::size_t> InProcessTransport::inTransferSizes() const {
  std::lock_guard lock(state_->mutex);
  return state_->inSizes;
}
std::vector<std::size_t> InProcessTransport::outTransferSizes() const {
  std::lock_guard lock(state_->mutex);
  return state_->outSizes;
}

std::size_t InProcessTransport::bulkReads() const {
  std::lock_guard lock(state_->mutex);
  return state_->bulkReads;
}
std::size_t InProcessTransport::bulkWrites() const {
  std::lock_guard lock(state_->mutex);
  return state_->bulkWrites;
}
std::size_t InProcessTransport::opens() const {
  std::lock_guard lock(state_->mutex);
  return state_->opens;
}

}  // namespace torv2::emulator
