#pragma once
// The virtual programmer behind the link's transport interface, in the same process: no USB
// stack, no kernel, for fast and exact tests. A read the device does not answer waits for the
// time-out on a condition variable, so Cancel() and Unplug() end it at once.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
  };

  explicit InProcessTransport(DeviceSettings settings = {});
  InProcessTransport(DeviceSettings settings, Options options);
  ~InProcessTransport() override;

  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& interfaceClass,
                                              std::chrono::milliseconds setupTimeout) override;

  // Runs f(VirtualProgrammer&) with the model locked.
  template <class F>
  decltype(auto) WithProgrammer(F&& f) {
    std::lock_guard lock(state_->mutex);
    return f(state_->programmer);
  }

  // What the next open shows; tests change it between opens.
  Options& options() { return options_; }

  // Blocks until pred(VirtualProgrammer&) holds; checked after every transfer the host makes.
  template <class P>
  void WaitUntil(P&& pred) {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return pred(state_->programmer); });
  }

  void Unplug();  // pending and later transfers fail with NoDevice; opens find nothing
  void Replug();

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
    std::size_t bulkReads = 0;
    std::size_t bulkWrites = 0;
    std::size_t opens = 0;
    std::vector<std::size_t> inSizes;
    std::vector<std::size_t> outSizes;
  };

 private:
  std::shared_ptr<State> state_;
  Options options_;
};

}  // namespace torv2::emulator
