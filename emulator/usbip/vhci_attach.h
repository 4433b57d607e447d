#pragma once
// Plugging a device into Linux's USB/IP virtual host controller (vhci_hcd) from this process:
// one end of an AF_UNIX socketpair goes to the kernel through
// /sys/devices/platform/vhci_hcd.0/attach, the other stays here and carries the device's side
// of the USB/IP conversation. Closing it unplugs the device. Needs root (the attach file).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace torv2::emulator::usbip {

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  void reset();
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

enum class Speed : std::uint32_t { Full = 2, High = 3 };

struct Attachment {
  UniqueFd socket;  // this process's end
  int port = 0;     // the vhci port number the device went on
};

// The directory of the first vhci controller; TORV2_VHCI_DIR overrides it.
std::string VhciDirectory();

// Whether the USB 2.0 port `port` is free: vhci has no link on it and usbcore has taken away the
// device that was there. Throws like AttachToVhci when vhci is not there.
bool VhciPortFree(int port);

// Attaches a device of `speed` on `port`, or on the first free USB 2.0 port when none is given,
// waiting up to 10 s for one (usbcore takes a tenth of a second per device it removes). Throws
// std::runtime_error with a message that names what is missing (the module, a free port, the right
// to attach).
Attachment AttachToVhci(std::uint32_t devid, Speed speed, std::optional<int> port = std::nullopt);

}  // namespace torv2::emulator::usbip
