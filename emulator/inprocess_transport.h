#pragma once
// The virtual programmer behind the link's transport interface, in the same process: no USB
// stack, no kernel, for fast and exact tests. A read the device does not answer waits for the
// time-out on a condition variable, so Cancel() and Unplug() end it at once.
//
// Like a USB device, the programmer outlives the handles the host opens: opening and closing
// reach the model only as the claim it does not see. "ResetNow" re-enumerates it: once the host
// has read the acknowledgement, every open handle fails with NoDevice, the firmware restarts,
// and after Options::reenumerationDelay (0 by default, so tests, benchmarks and fuzzing never
// wait) the next open finds it again.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/virtual_programmer.h"
#include "link/usb_transport.h"

namespace torv2::emulator {

class InProcessTransport final : public link::UsbTransport {
 public:
  struct Options {
    // Pipes the interface shows; empty: bulk IN 0x81 and OUT 0x01 of the model's packet size.
    std::vector<link::PipeInfo> pipes;
    bool pipeQueryFails = false;
    bool carriesGuid = true;  // false: a device of another interface class
    // How long the programmer is off the bus after "ResetNow".
    std::chrono::milliseconds reenumerationDelay{0};
    // The name an open reports (OpenOutcome::name); empty: none, as where the platform cannot
    // tell.
    std::string name;
  };

  explicit InProcessTransport(DeviceSettings settings = {});
  InProcessTransport(DeviceSettings settings, Options options);
  ~InProcessTransport() override;

  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& interfaceClass,
                                              std::chrono::milliseconds setupTimeout) override;
  link::OpenOutcome LastOpenOutcome() const override;

  // Runs f(VirtualProgrammer&) with the model locked.
  template <class F>
  decltype(auto) WithProgrammer(F&& f) {
    std::lock_guard lock(state_->mutex);
    return f(state_->programmer);
  }

  // What the next open shows; tests change it between opens.
  Options& options() { return options_; }

  // Blocks until pred(VirtualProgrammer&) holds, checked after every transfer the host makes;
  // false when it still does not after `limit`.
  template <class P>
  bool WaitUntil(P&& pred, std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return pred(state_->programmer); });
  }

  void Unplug();  // pending and later transfers fail with NoDevice; opens find nothing
  void Replug();  // power comes back: the firmware starts over, the flash kept

  // Times the programmer re-enumerated after "ResetNow".
  std::size_t reenumerations() const;

  // The bytes each bulk transfer moved, in order (IN, then OUT).
  std::vector<std::size_t> inTransferSizes() const;
  std::vector<std::size_t> outTransferSizes() const;

  std::size_t bulkReads() const;
  std::size_t bulkWrites() const;
  std::size_t opens() const;

  struct State {
    explicit State(DeviceSettings s) : programmer(std::move(s)) {}
    std::mutex mutex;
    std::condition_variable changed;
    VirtualProgrammer programmer;
    bool attached = true;
    std::size_t generation = 0;  // bumps on every unplug, so handles of before stay dead
    std::chrono::steady_clock::time_point backAt{};  // off the bus until then (re-enumerating)
    std::chrono::milliseconds reenumerationDelay{0};
    std::size_t reenumerations = 0;
    std::size_t bulkReads = 0;
    std::size_t bulkWrites = 0;
    std::size_t opens = 0;
    std::vector<std::size_t> inSizes;
    std::vector<std::size_t> outSizes;
  };

 private:
  std::shared_ptr<State> state_;
  Options options_;
  link::OpenOutcome lastOpen_;  // guarded by the state's mutex
};

}  // namespace torv2::emulator
