#include "emulator/usbip/vhci_device.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace torv2::emulator::usbip {
namespace {

constexpr auto kPortWait = std::chrono::seconds(5);
constexpr auto kPortPoll = std::chrono::milliseconds(20);

VirtualUsbOptions AtItsSpeed(VirtualUsbOptions options) {
  if (options.highSpeed) options.settings.maxPacketSize = 512;
  return options;
}

}  // namespace

VhciDevice::VhciDevice(VirtualUsbOptions options, std::uint32_t devid)
    : options_(AtItsSpeed(std::move(options))),
      descriptors_(usb::BuildDescriptors({.guidSource = options_.guidSource,
                                          .highSpeed = options_.highSpeed,
                                          .bulkMaxPacketSize = options_.settings.maxPacketSize,
                                          .serial = options_.serial})),
      devid_(devid),
      programmer_(options_.settings) {
  programmer_.faults() = options_.faults;
}

void VhciDevice::Plug() {
  // Back on its own port when that is free (OnTime waits for it), else on any.
  std::optional<int> port;
  if (plugs_ > 0 && VhciPortFree(attachment_.port)) port = attachment_.port;
  Unplug();
  replugDue_.reset();
  portWaitEnds_.reset();
  attachment_ = AttachToVhci(devid_, options_.highSpeed ? Speed::High : Speed::Full, port);
  session_.emplace(programmer_, descriptors_);
  ++plugs_;
}

void VhciDevice::Unplug() {
  if (!pluggedIn()) return;
  attachment_.socket.reset();
  session_.reset();
  programmer_.Restart();  // the power is gone: so is everything but the flash
}

bool VhciDevice::Send(const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      lastError_ = std::string("send: ") + std::strerror(errno);
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void VhciDevice::OnReadable() {
  if (!pluggedIn()) return;
  std::array<std::uint8_t, 64 * 1024> buffer;
  const ssize_t n = ::recv(fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {  // the kernel dropped the link (its port was detached)
    lastError_ =
        n == 0 ? "the kernel closed the link" : std::string("recv: ") + std::strerror(errno);
    Unplug();
    return;
  }
  std::vector<std::uint8_t> replies;
  const bool good = session_->Feed({buffer.data(), static_cast<std::size_t>(n)}, replies);
  const bool sent = Send(replies);
  if (!good) lastError_ = "USB/IP: " + session_->error();
  if (!good || !sent) {
    Unplug();
    return;
  }
  AfterModelRan();
}

void VhciDevice::AfterModelRan() {
  if (programmer_.UnplugRequested()) {
    programmer_.ClearUnplugRequest();
    Unplug();
    return;
  }
  // After "ResetNow" the firmware leaves the bus once the host has read its acknowledgement.
  if (programmer_.ResetRequested() && !programmer_.HasInData()) {
    Unplug();
    replugDue_ = Clock::now() + options_.reenumerationDelay;
  }
}

void VhciDevice::OnTime(Clock::time_point now) {
  if (!replugDue_ || *replugDue_ > now) return;
  // A real device comes back on the port it left; the kernel frees that port a little after
  // the link closed.
  if (!VhciPortFree(attachment_.port)) {
    if (!portWaitEnds_) portWaitEnds_ = now + kPortWait;
    if (now < *portWaitEnds_) {
      replugDue_ = now + kPortPoll;
      return;
    }
  }
  Plug();
}

}  // namespace torv2::emulator::usbip
