#include <windows.h>

// dbt.h needs windows.h first.
#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "cli/usb_access.h"
#include "cli/winusb_api_source.h"
#include "link/winusb/winusb_transport.h"
#include "win32/wide_text.h"

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

// Windows compares interface paths without regard to case, and writes them either way.
bool SamePath(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The interface path a device event carries; nullopt when it is not an interface of the
// programmer's class or does not hold together. The system fills it in, but its size and its
// name are read as they say, never past dbch_size.
std::optional<std::string> EventPath(LPARAM data) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size < kNameOffset || header->dbch_size > 64 * 1024) {
    return std::nullopt;
  }
  const auto* event = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
  if (IsEqualGUID(event->dbcc_classguid, link::winusb::ToWindowsGuid(link::DeviceInterfaceGuid)) ==
      0) {
    return std::nullopt;
  }
  const std::size_t most = (header->dbch_size - kNameOffset) / sizeof(wchar_t);
  const std::wstring_view name(event->dbcc_name, most);
  return win32::Utf8FromWide(name.substr(0, name.find(L'\0')));
}

// The window class of the watch's message-only window.
constexpr wchar_t kWatchClass[] = L"torv2-cli-programmer-watch";
// Asks the watch's thread to end its message loop.
constexpr UINT kEndWatch = WM_APP + 1;

// Arrivals and removals of the programmer's interface class, told as WM_DEVICECHANGE to a
// message-only window on a thread of the watch's own with its message loop (the command line has
// no window; CM_Register_Notification would need none, but Wine has no such function). A removal
// names the interface's path; an arrival makes the watch list the programmers again and report
// those it did not know, so a removal and an arrival of the same path are both followed.
class WinUsbWatch final : public ProgrammerWatch {
 public:
  using OnChange = std::function<void(bool, const AttachedProgrammer&)>;

  WinUsbWatch(const link::winusb::WinUsbApi& api, OnChange onChange)
      : api_(api), onChange_(std::move(onChange)) {}
  ~WinUsbWatch() override {
    if (thread_.joinable()) {
      PostMessageW(window_, kEndWatch, 0, 0);
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
    HDEVNOTIFY handle = nullptr;
    if (api_.RegisterDeviceNotificationW != nullptr &&
        api_.UnregisterDeviceNotification != nullptr && RegisterWindowClass()) {
      window_ = CreateWindowExW(0, kWatchClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    }
    if (window_ != nullptr) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = link::winusb::ToWindowsGuid(link::DeviceInterfaceGuid);
      handle = api_.RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    if (handle == nullptr) {
      if (window_ != nullptr) DestroyWindow(window_);
      started.set_value(false);
      return;
    }
    // Registered first, then listed: one that arrives in between is listed, or told, or both.
    ListAgain();
    started.set_value(true);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    api_.UnregisterDeviceNotification(handle);
    DestroyWindow(window_);
  }

  static bool RegisterWindowClass() {
    static const bool registered = [] {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof windowClass;
      windowClass.lpfnWndProc = &WindowProc;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.lpszClassName = kWatchClass;
      return RegisterClassExW(&windowClass) != 0;
    }();
    return registered;
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<WinUsbWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == kEndWatch) {
      PostQuitMessage(0);
      return 0;
    }
    if (message != WM_DEVICECHANGE || self == nullptr) {
      return DefWindowProcW(window, message, wParam, lParam);
    }
    if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
      if (const auto path = EventPath(lParam)) {
        if (wParam == DBT_DEVICEARRIVAL) {
          self->ListAgain();
        } else {
          self->Removed(*path);
        }
      }
    }
    return TRUE;
  }

  // Reports the programmers attached now that were not known.
  void ListAgain() {
    link::winusb::WinUsbTransport transport(api_);
    for (const auto& p : transport.List(link::DeviceInterfaceGuid)) {
      const bool known = std::any_of(
          known_.begin(), known_.end(),
          [&](const AttachedProgrammer& k) { return SamePath(k.interfacePath, p.interfacePath); });
      if (known) continue;
      known_.push_back(Described(p));
      onChange_(true, known_.back());
    }
  }

  void Removed(const std::string& path) {
    const auto k = std::find_if(known_.begin(), known_.end(), [&](const AttachedProgrammer& known) {
      return SamePath(known.interfacePath, path);
    });
    if (k == known_.end()) return;
    const AttachedProgrammer gone = std::move(*k);
    known_.erase(k);
    onChange_(false, gone);
  }

  const link::winusb::WinUsbApi& api_;
  OnChange onChange_;
  std::vector<AttachedProgrammer> known_;  // on the watch's thread only
  HWND window_ = nullptr;
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
