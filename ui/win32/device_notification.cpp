#include "ui/win32/device_notification.h"

#include <windows.h>

// dbt.h needs windows.h first.
#include <dbt.h>

#include <cstddef>

#include "link/guid.h"
#include "link/winusb/winusb_transport.h"

namespace torv2::win32 {
namespace {

// Whether a device event concerns an interface of the programmer's class. Only those are
// registered for, but a window may be sent events of other kinds (volumes, ports); those say
// nothing about the programmer.
bool IsProgrammerInterface(LPARAM data) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
  if (header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) return false;
  const auto* interface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
  const GUID guid = link::winusb::ToWindowsGuid(link::DeviceInterfaceGuid);
  return IsEqualGUID(interface->dbcc_classguid, guid) != 0;
}

class WindowNotification final : public window::DeviceNotification {
 public:
  explicit WindowNotification(std::function<void(link::DeviceEvent)> onEvent)
      : onEvent_(std::move(onEvent)) {}
  ~WindowNotification() override {
    if (handle_ != nullptr) UnregisterDeviceNotification(handle_);
    if (window_ != nullptr) DestroyWindow(window_);
  }
  WindowNotification(const WindowNotification&) = delete;
  WindowNotification& operator=(const WindowNotification&) = delete;

  // Makes the window and registers it; false when either fails.
  bool Register() {
    if (!RegisterWindowClass()) return false;
    window_ = CreateWindowExW(0, kDeviceWatcherClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) return false;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = link::winusb::ToWindowsGuid(link::DeviceInterfaceGuid);
    handle_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return handle_ != nullptr;
  }

 private:
  static bool RegisterWindowClass() {
    static const bool registered = [] {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof windowClass;
      windowClass.lpfnWndProc = &WindowProc;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.lpszClassName = kDeviceWatcherClass;
      return RegisterClassExW(&windowClass) != 0;
    }();
    return registered;
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_DEVICECHANGE) return DefWindowProcW(window, message, wParam, lParam);
    auto* self = reinterpret_cast<WindowNotification*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
        IsProgrammerInterface(lParam)) {
      self->onEvent_(wParam == DBT_DEVICEARRIVAL ? link::DeviceEvent::Arrival
                                                 : link::DeviceEvent::Removal);
    }
    return TRUE;
  }

  std::function<void(link::DeviceEvent)> onEvent_;
  HWND window_ = nullptr;
  HDEVNOTIFY handle_ = nullptr;
};

}  // namespace

std::unique_ptr<window::DeviceNotification> WatchProgrammers(
    std::function<void(link::DeviceEvent)> onEvent) {
  auto notification = std::make_unique<WindowNotification>(std::move(onEvent));
  if (!notification->Register()) return nullptr;
  return notification;
}

}  // namespace torv2::win32
