#include "emulator/usbip/vhci_attach.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace torv2::emulator::usbip {
namespace {

// The state of a free port in the status file (VDEV_ST_NULL).
constexpr int kPortFree = 4;
// vhci frees a port as soon as its link closes, but usbcore takes the device away later (a
// tenth of a second per device under emulation, one after the other). A device attached to the
// port before then is never enumerated: an attach waits up to this long for a port usbcore is
// done with.
constexpr auto kPortWait = std::chrono::seconds(10);
constexpr auto kPortPoll = std::chrono::milliseconds(20);

// The sysfs directory of the controller's USB 2.0 root hub ("usb<bus>", speed 480), where
// usbcore keeps an entry "<bus>-<port + 1>" for each device it still has; empty if none.
std::filesystem::path HighSpeedRootHub(const std::string& dir) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (!entry.path().filename().string().starts_with("usb")) continue;
    std::ifstream speed(entry.path() / "speed");
    std::string mbps;
    if (speed >> mbps && mbps == "480") return entry.path();  // not the USB 3 root hub
  }
  return {};
}

// Whether usbcore still has a device on port `port` (0-based) of `rootHub`.
bool UsbcoreHasDevice(const std::filesystem::path& rootHub, int port) {
  if (rootHub.empty()) return false;
  const std::string bus = rootHub.filename().string().substr(3);
  std::error_code error;
  return std::filesystem::exists(rootHub / (bus + "-" + std::to_string(port + 1)), error);
}

// The first free port of a USB 2.0 root hub (`wanted` only, when given). Each line after the
// title reads "hub port sta spd dev sockfd local_busid", e.g. "hs  0000 004 000 00000000 000000
// 0-0".
std::optional<int> FreeHighSpeedPort(const std::string& dir, std::optional<int> wanted) {
  std::ifstream status(dir + "/status");
  if (!status) {
    throw std::runtime_error("no " + dir + "/status: is the vhci-hcd module loaded?");
  }
  const std::filesystem::path rootHub = HighSpeedRootHub(dir);
  std::string line;
  std::getline(status, line);  // the title
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string hub;
    int port = -1;
    int state = -1;
    if (!(fields >> hub >> port >> state)) continue;
    if (hub != "hs" || (wanted && port != *wanted)) continue;
    if (state == kPortFree && !UsbcoreHasDevice(rootHub, port)) return port;
  }
  return std::nullopt;
}

}  // namespace

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

std::string VhciDirectory() {
  const char* dir = std::getenv("TORV2_VHCI_DIR");
  return dir && *dir ? dir : "/sys/devices/platform/vhci_hcd.0";
}

bool VhciPortFree(int port) {
  return FreeHighSpeedPort(VhciDirectory(), port).has_value();
}

Attachment AttachToVhci(std::uint32_t devid, Speed speed, std::optional<int> port) {
  const std::string dir = VhciDirectory();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  }
  Attachment attachment{UniqueFd(fds[0]), 0};
  const UniqueFd theirs(fds[1]);  // the kernel takes its own reference; ours closes here
  std::optional<int> free = FreeHighSpeedPort(dir, port);
  for (const auto until = std::chrono::steady_clock::now() + kPortWait;
       !free && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(kPortPoll);
    free = FreeHighSpeedPort(dir, port);
  }
  if (!free) {
    throw std::runtime_error(port ? "USB 2.0 port " + std::to_string(*port) + " of " + dir +
                                        " is taken"
                                  : "every USB 2.0 port of " + dir + " is taken");
  }
  attachment.port = *free;

  // "port sockfd devid speed", written by the process that owns sockfd.
  const std::string request = std::to_string(attachment.port) + " " + std::to_string(theirs.get()) +
                              " " + std::to_string(devid) + " " +
                              std::to_string(static_cast<std::uint32_t>(speed));
  const UniqueFd attach(::open((dir + "/attach").c_str(), O_WRONLY | O_CLOEXEC));
  if (!attach) {
    throw std::runtime_error("cannot open " + dir + "/attach: " + std::strerror(errno) +
                             (errno == EACCES ? " (attaching needs root)" : ""));
  }
  if (::write(attach.get(), request.data(), request.size()) !=
      static_cast<ssize_t>(request.size())) {
    throw std::runtime_error("vhci refused \"" + request + "\": " + std::strerror(errno));
  }
  return attachment;
}

}  // namespace torv2::emulator::usbip
