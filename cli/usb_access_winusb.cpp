#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/usb_access.h"
#include "cli/winusb_api_source.h"
#include "link/winusb/interface_notification.h"
#include "link/winusb/winusb_transport.h"

namespace torv2::cli {
namespace {

AttachedProgrammer Described(const link::winusb::WinUsbProgrammer& p) {
  AttachedProgrammer listed;
  listed.port = p.port;
  listed.serial = p.serial;
  listed.interfacePath = p.interfacePath;
  listed.locationPath = p.locationPath;
  return listed;
}

// Arrivals and removals of the programmer's interface class (link/winusb/interface_notification.h)
// on a thread of the watch's own with its message loop: the command line has no window. A removal
// names the interface's path; an arrival makes the watch list the programmers again and report
// those it did not know, so a removal and an arrival of the same path are both followed.
class WinUsbWatch final : public ProgrammerWatch {
 public:
  using OnChange = std::function<void(bool, const AttachedProgrammer&)>;

  WinUsbWatch(const link::winusb::WinUsbApi& api, OnChange onChange)
      : api_(api), onChange_(std::move(onChange)) {}
  ~WinUsbWatch() override {
    if (thread_.joinable()) {
      PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
      thread_.join();
    }
  }
  WinUsbWatch(const WinUsbWatch&) = delete;
  WinUsbWatch& operator=(const WinUsbWatch&) = delete;

  // Starts the thread and waits until it has registered and reported the programmers attached
  // now; false when Windows takes no registration.
  bool Start() {
    std::promise<bool> started;
    std::future<bool> registered = started.get_future();
    thread_ = std::thread([this, &started] { Run(started); });
    if (registered.get()) return true;
    thread_.join();
    return false;
  }

 private:
  void Run(std::promise<bool>& started) {
    threadId_ = GetCurrentThreadId();
    const auto registration = link::winusb::InterfaceNotification::Register(
        api_, [this](bool arrived, const std::string& path) {
          if (arrived) {
            ListAgain();
          } else {
            Removed(path);
          }
        });
    if (!registration) {
      started.set_value(false);
      return;
    }
    // Registered first, then listed: one that arrives in between is listed, or told, or both.
    ListAgain();
    started.set_value(true);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  }

  // Reports the programmers attached now that were not known.
  void ListAgain() {
    link::winusb::WinUsbTransport transport(api_);
    for (const auto& p : transport.List(link::DeviceInterfaceGuid)) {
      const bool known =
          std::any_of(known_.begin(), known_.end(), [&](const AttachedProgrammer& k) {
            return SameWindowsPath(k.interfacePath, p.interfacePath);
          });
      if (known) continue;
      known_.push_back(Described(p));
      onChange_(true, known_.back());
    }
  }

  void Removed(const std::string& path) {
    const auto k = std::find_if(known_.begin(), known_.end(), [&](const AttachedProgrammer& known) {
      return SameWindowsPath(known.interfacePath, path);
    });
    if (k == known_.end()) return;
    const AttachedProgrammer gone = std::move(*k);
    known_.erase(k);
    onChange_(false, gone);
  }

  const link::winusb::WinUsbApi& api_;
  OnChange onChange_;
  std::vector<AttachedProgrammer> known_;  // on the watch's thread only
  DWORD threadId_ = 0;                     // set by the thread before Start() returns
  std::thread thread_;
};

}  // namespace

// A programmer goes by its serial number from its instance ID, else by its port (its host
// controller and hub ports, from its location path), else by its interface path.
std::optional<std::vector<AttachedProgrammer>> ListAttachedProgrammers(
    std::vector<link::UncheckedDevice>*) {
  link::winusb::WinUsbTransport transport(CliWinUsbApi());
  std::vector<AttachedProgrammer> out;
  for (const auto& p : transport.List(link::DeviceInterfaceGuid)) out.push_back(Described(p));
  return out;
}

std::unique_ptr<ProgrammerWatch> WatchProgrammers(
    std::function<void(bool arrived, const AttachedProgrammer& programmer)> onChange) {
  auto watch = std::make_unique<WinUsbWatch>(CliWinUsbApi(), std::move(onChange));
  if (!watch->Start()) {
    std::fprintf(stderr,
                 "this machine does not tell when USB devices arrive (device notifications)\n");
    return nullptr;
  }
  return watch;
}

bool CanNameProgrammers() {
  return true;
}

std::unique_ptr<link::UsbTransport> CreateUsbTransport(const AttachedProgrammer* only) {
  // The programmer is followed by what stays when it restarts (it comes back as a new device):
  // its serial number, else its port; its interface path only where neither is known.
  link::winusb::WinUsbOptions options;
  if (only) {
    if (!only->serial.empty()) {
      options.only.serial = only->serial;
    } else if (!only->port.empty()) {
      options.only.port = only->port;
    } else {
      options.only.interfacePath = only->interfacePath;
    }
  }
  return std::make_unique<link::winusb::WinUsbTransport>(CliWinUsbApi(), std::move(options));
}

}  // namespace torv2::cli
