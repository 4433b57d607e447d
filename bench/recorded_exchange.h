#pragma once
// A whole exchange between the upgrader and the virtual programmer, recorded call by call at the
// transport, so that each side can run again without the other and its processor time be its
// own:
// - ReplayTransport plays the device's recorded answers back to the host: each read gets the
//   bytes and status it got from the model, by one copy, and nothing of the model runs;
// - FeedModel() makes the host's recorded calls on a transport (the model) and nothing of the
//   host runs.
// Both sides are deterministic, so each does the same work as in the recorded exchange; both
// replays check that it does (the host's writes and the model's answers must be the recorded
// ones) and say when it did not.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "link/usb_transport.h"

namespace torv2::bench {

struct TransportCall {
  enum class Kind { Open, Pipes, Read, Write, Close };
  Kind kind = Kind::Open;
  std::chrono::milliseconds timeout{0};
  bool opened = false;                               // Open: a device was found
  std::optional<std::vector<link::PipeInfo>> pipes;  // Pipes: what the interface showed
  std::uint8_t pipeId = 0;                           // Read, Write
  std::size_t capacity = 0;                          // Read: the size of the host's buffer
  link::TransferResult result;                       // Read, Write
  std::vector<std::uint8_t> bytes;  // Read: what the device gave; Write: what the host sent
};
using Recording = std::vector<TransportCall>;

// Passes every call on to `inner` and records it.
class RecordingTransport final : public link::UsbTransport {
 public:
  explicit RecordingTransport(link::UsbTransport& inner) : inner_(inner) {}
  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& interfaceClass,
                                              std::chrono::milliseconds setupTimeout) override;
  link::OpenOutcome LastOpenOutcome() const override { return inner_.LastOpenOutcome(); }

  const Recording& recording() const { return recording_; }

 private:
  link::UsbTransport& inner_;
  Recording recording_;
};

// Answers the host as the device did in `recording`. A call the recording does not hold next
// fails with TransferStatus::Error and marks the replay as gone wrong.
class ReplayTransport final : public link::UsbTransport {
 public:
  explicit ReplayTransport(const Recording& recording) : recording_(recording) {}
  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& interfaceClass,
                                              std::chrono::milliseconds setupTimeout) override;

  // Starts the recording over, for the next whole upgrade.
  void Rewind() {
    next_ = 0;
    wentWrong_ = false;
  }
  // Whether the host made exactly the recorded calls, all of them.
  bool Faithful() const { return !wentWrong_ && next_ == recording_.size(); }

  // The call the host makes now, or null (and the replay gone wrong) when it is not `kind`.
  const TransportCall* Next(TransportCall::Kind kind);
  void WentWrong() { wentWrong_ = true; }

 private:
  const Recording& recording_;
  std::size_t next_ = 0;
  bool wentWrong_ = false;
};

// Makes the host's calls of `recording` on `device`, in order; true when every answer was the
// recorded one.
bool FeedModel(link::UsbTransport& device, const Recording& recording);

}  // namespace torv2::bench
