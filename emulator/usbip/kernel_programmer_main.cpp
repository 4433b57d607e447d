// torv2-kernel-programmer: runs a command with virtual programmers plugged into the running
// Linux kernel's USB/IP host controller (vhci_hcd), so that the command reaches them through
// the kernel's own USB stack and usbfs. Takes the options of emulator/with-virtual-programmer.
// Needs root and the vhci-hcd module; emulator/in-linux-guest runs it inside a Linux guest.
//
// The command starts once the kernel has enumerated every device; when it ends the devices are
// unplugged and its exit code is returned.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "emulator/umockdev/launcher_options.h"
#include "emulator/usbip/vhci_device.h"

extern char** environ;

namespace torv2::emulator::usbip {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kName = "torv2-kernel-programmer";
// The kernel enumerates a device in about half a second under emulation; give up well after.
constexpr auto kEnumerationLimit = 20s;

std::atomic<pid_t> g_child{0};

void ForwardSignal(int signal) {
  const pid_t child = g_child.load();
  if (child > 0) ::kill(child, signal);
}

// Terminal signals reach the command directly; the launcher outlives it to unplug. Signals sent
// to the launcher alone are passed on to the command.
void SetUpSignals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, nullptr);
  sigaction(SIGQUIT, &ignore, nullptr);
  struct sigaction forward {};
  forward.sa_handler = ForwardSignal;
  sigemptyset(&forward.sa_mask);
  sigaction(SIGTERM, &forward, nullptr);
  sigaction(SIGHUP, &forward, nullptr);
}

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

class Devices {
 public:
  explicit Devices(const LauncherOptions& options) {
    std::uint32_t devid = 1;
    for (const VirtualUsbOptions& device : DeviceOptionsFor(options)) {
      devices_.push_back(std::make_unique<VhciDevice>(device, devid++));
      if (!first_ && device.guidSource != GuidSource::None) first_ = devices_.back().get();
    }
  }
  ~Devices() {
    for (auto& device : devices_) device->Unplug();
  }

  VhciDevice* first() const { return first_; }

  void PlugAll() {
    for (auto& device : devices_) device->Plug();
  }
  bool AllConfigured() const {
    return std::all_of(devices_.begin(), devices_.end(),
                       [](const auto& d) { return !d->pluggedIn() || d->configured(); });
  }

  // Serves the links until `deadline`, or until `extra` (when given) is readable: returns
  // true then.
  bool Serve(Clock::time_point deadline, int extra = -1) {
    std::vector<pollfd> fds;
    std::vector<VhciDevice*> owners;
    for (auto& device : devices_) {
      if (!device->pluggedIn()) continue;
      fds.push_back({device->fd(), POLLIN, 0});
      owners.push_back(device.get());
    }
    if (extra >= 0) fds.push_back({extra, POLLIN, 0});
    for (auto& device : devices_) {
      if (const auto due = device->replugDue()) deadline = std::min(deadline, *due);
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int timeout = static_cast<int>(std::max<std::int64_t>(0, wait.count()));
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    bool extraReady = false;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (i < owners.size()) {
        owners[i]->OnReadable();
        if (!owners[i]->lastError().empty() && owners[i]->lastError().starts_with("USB/IP")) {
          std::fprintf(stderr, "%s: %s: %s\n", kName, owners[i]->serial().c_str(),
                       owners[i]->lastError().c_str());
        }
      } else {
        extraReady = true;
      }
    }
    const auto now = Clock::now();
    for (auto& device : devices_) device->OnTime(now);
    return extraReady;
  }

 private:
  std::vector<std::unique_ptr<VhciDevice>> devices_;
  VhciDevice* first_ = nullptr;
};

// Unplugs and replugs the first programmer at fixed times after the command started.
class Timeline {
 public:
  Timeline(const LauncherOptions& options, VhciDevice* device) : device_(device) {
    if (!device_) return;
    if (options.unplugAt) events_.push_back({*options.unplugAt, false});
    if (options.replugAt) events_.push_back({*options.replugAt, true});
    std::stable_sort(events_.begin(), events_.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
  }
  void Start() { start_ = Clock::now(); }
  Clock::time_point next() const {
    return next_ < events_.size() ? start_ + events_[next_].at : Clock::time_point::max();
  }
  void Run(Clock::time_point now) {
    while (next_ < events_.size() && start_ + events_[next_].at <= now) {
      if (events_[next_].replug) {
        device_->Plug();
      } else {
        device_->Unplug();
      }
      ++next_;
    }
  }

 private:
  struct Event {
    std::chrono::milliseconds at;
    bool replug;
  };
  VhciDevice* device_;
  std::vector<Event> events_;
  std::size_t next_ = 0;
  Clock::time_point start_{};
};

UniqueFd OpenPidFd(pid_t pid) {
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) throw std::runtime_error(std::string("pidfd_open: ") + std::strerror(errno));
  return UniqueFd(static_cast<int>(fd));
}

int Run(const LauncherOptions& options) {
  if (options.lastArrivesOnReset) {
    std::fprintf(stderr, "%s: --last-arrives-on-reset: only under umockdev\n", kName);
    return 64;
  }
  if (options.busTime) {
    std::fprintf(stderr, "%s: --bus-time has no effect: the kernel's own bus is used\n", kName);
  }
  Devices devices(options);
  devices.PlugAll();
  const auto enumerated = Clock::now() + kEnumerationLimit;
  while (!devices.AllConfigured()) {
    if (Clock::now() >= enumerated) {
      throw std::runtime_error("the kernel did not enumerate every device within " +
                               std::to_string(kEnumerationLimit.count()) + " s");
    }
    devices.Serve(enumerated);
  }

  std::vector<char*> argv;
  for (const std::string& arg : options.command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  SetUpSignals();
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  const int error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    std::fprintf(stderr, "%s: cannot run %s: %s\n", kName, argv[0], std::strerror(error));
    return 127;
  }
  g_child = child;
  const UniqueFd exited = OpenPidFd(child);
  Timeline timeline(options, devices.first());
  timeline.Start();

  while (!devices.Serve(timeline.next(), exited.get())) timeline.Run(Clock::now());
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("waitpid");
      return 1;
    }
  }
  g_child = 0;
  return ExitStatusOf(status);
}

}  // namespace
}  // namespace torv2::emulator::usbip

int main(int argc, char** argv) {
  using namespace torv2::emulator;
  LauncherOptions options;
  CLI::App app;
  AddLauncherOptions(app, options);
  app.name(usbip::kName);
  CLI11_PARSE(app, argc, argv);
  int code = 1;
  try {
    code = usbip::Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", usbip::kName, e.what());
  }
  // Tells whoever started it that it ended by itself, with this code: a server killed on the way
  // leaves no such file (emulator/in-linux-guest says so).
  if (const char* done = std::getenv("TORV2_SERVER_DONE"); done && *done) {
    if (std::FILE* f = std::fopen(done, "w")) {
      std::fprintf(f, "%d\n", code);
      std::fclose(f);
    }
  }
  return code;
}
