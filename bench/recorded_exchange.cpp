#include "bench/recorded_exchange.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace torv2::bench {
namespace {

using Kind = TransportCall::Kind;
using link::PipeInfo;
using link::TransferResult;
using link::TransferStatus;

bool SamePipes(const std::optional<std::vector<PipeInfo>>& a,
               const std::optional<std::vector<PipeInfo>>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return std::equal(a->begin(), a->end(), b->begin(), b->end(),
                    [](const PipeInfo& x, const PipeInfo& y) {
                      return x.type == y.type && x.pipeId == y.pipeId &&
                             x.maximumPacketSize == y.maximumPacketSize;
                    });
}

bool SameResult(const TransferResult& a, const TransferResult& b) {
  return a.status == b.status && a.transferred == b.transferred;
}

class RecordingDevice final : public link::UsbDevice {
 public:
  RecordingDevice(std::unique_ptr<link::UsbDevice> inner, Recording& recording)
      : inner_(std::move(inner)), recording_(recording) {}
  ~RecordingDevice() override {
    inner_.reset();
    recording_.push_back({.kind = Kind::Close});
  }

  std::optional<std::vector<PipeInfo>> QueryPipes() override {
    auto pipes = inner_->QueryPipes();
    recording_.push_back({.kind = Kind::Pipes, .pipes = pipes});
    return pipes;
  }
  TransferResult BulkRead(std::uint8_t pipeId, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    const TransferResult r = inner_->BulkRead(pipeId, buffer, timeout);
    const std::size_t got = std::min(r.transferred, buffer.size());
    recording_.push_back({.kind = Kind::Read,
                          .timeout = timeout,
                          .pipeId = pipeId,
                          .capacity = buffer.size(),
                          .result = r,
                          .bytes = {buffer.begin(), buffer.begin() + static_cast<long>(got)}});
    return r;
  }
  TransferResult BulkWrite(std::uint8_t pipeId, std::span<const std::uint8_t> data,
                           std::chrono::milliseconds timeout) override {
    const TransferResult r = inner_->BulkWrite(pipeId, data, timeout);
    recording_.push_back({.kind = Kind::Write,
                          .timeout = timeout,
                          .pipeId = pipeId,
                          .result = r,
                          .bytes = {data.begin(), data.end()}});
    return r;
  }
  void Cancel() override { inner_->Cancel(); }

 private:
  std::unique_ptr<link::UsbDevice> inner_;
  Recording& recording_;
};

class ReplayDevice final : public link::UsbDevice {
 public:
  explicit ReplayDevice(ReplayTransport& replay) : replay_(replay) {}
  ~ReplayDevice() override { replay_.Next(Kind::Close); }

  std::optional<std::vector<PipeInfo>> QueryPipes() override {
    const TransportCall* call = replay_.Next(Kind::Pipes);
    return call ? call->pipes : std::nullopt;
  }
  TransferResult BulkRead(std::uint8_t pipeId, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    const TransportCall* call = replay_.Next(Kind::Read);
    if (!call) return {TransferStatus::Error, 0};
    if (call->pipeId != pipeId || call->capacity != buffer.size() || call->timeout != timeout) {
      replay_.WentWrong();
      return {TransferStatus::Error, 0};
    }
    std::memcpy(buffer.data(), call->bytes.data(), call->bytes.size());
    return call->result;
  }
  TransferResult BulkWrite(std::uint8_t pipeId, std::span<const std::uint8_t> data,
                           std::chrono::milliseconds timeout) override {
    const TransportCall* call = replay_.Next(Kind::Write);
    if (!call) return {TransferStatus::Error, 0};
    if (call->pipeId != pipeId || call->bytes.size() != data.size() || call->timeout != timeout ||
        std::memcmp(call->bytes.data(), data.data(), data.size()) != 0) {
      replay_.WentWrong();
      return {TransferStatus::Error, 0};
    }
    return call->result;
  }
  void Cancel() override { replay_.WentWrong(); }

 private:
  ReplayTransport& replay_;
};

}  // namespace

std::unique_ptr<link::UsbDevice> RecordingTransport::OpenDevice(
    const link::Guid& interfaceClass, std::chrono::milliseconds setupTimeout) {
  auto device = inner_.OpenDevice(interfaceClass, setupTimeout);
  recording_.push_back({.kind = Kind::Open, .timeout = setupTimeout, .opened = device != nullptr});
  if (!device) return nullptr;
  return std::make_unique<RecordingDevice>(std::move(device), recording_);
}

const TransportCall* ReplayTransport::Next(TransportCall::Kind kind) {
  if (wentWrong_ || next_ == recording_.size() || recording_[next_].kind != kind) {
    wentWrong_ = true;
    return nullptr;
  }
  return &recording_[next_++];
}

std::unique_ptr<link::UsbDevice> ReplayTransport::OpenDevice(
    const link::Guid& interfaceClass, std::chrono::milliseconds setupTimeout) {
  const TransportCall* call = Next(Kind::Open);
  if (!call || interfaceClass != link::DeviceInterfaceGuid || call->timeout != setupTimeout) {
    WentWrong();
    return nullptr;
  }
  if (!call->opened) return nullptr;
  return std::make_unique<ReplayDevice>(*this);
}

bool FeedModel(link::UsbTransport& transport, const Recording& recording) {
  std::unique_ptr<link::UsbDevice> device;
  std::vector<std::uint8_t> buffer;
  for (const TransportCall& call : recording) {
    switch (call.kind) {
      case Kind::Open:
        device = transport.OpenDevice(link::DeviceInterfaceGuid, call.timeout);
        if ((device != nullptr) != call.opened) return false;
        break;
      case Kind::Pipes:
        if (!device || !SamePipes(device->QueryPipes(), call.pipes)) return false;
        break;
      case Kind::Read: {
        if (!device) return false;
        buffer.resize(call.capacity);
        const TransferResult r = device->BulkRead(call.pipeId, buffer, call.timeout);
        if (!SameResult(r, call.result) ||
            std::memcmp(buffer.data(), call.bytes.data(), call.bytes.size()) != 0) {
          return false;
        }
        break;
      }
      case Kind::Write:
        if (!device ||
            !SameResult(device->BulkWrite(call.pipeId, call.bytes, call.timeout), call.result)) {
          return false;
        }
        break;
      case Kind::Close:
        if (!device) return false;
        device.reset();
        break;
    }
  }
  return device == nullptr;
}

}  // namespace torv2::bench
