#pragma once
// Arrivals and removals of the programmer's device interface class, as Windows tells them:
// WM_DEVICECHANGE to a message-only window registered with RegisterDeviceNotificationW, through
// the WinUSB table (so a simulated Windows tells them too). The window belongs to the thread that
// registers; the changes come on that thread, from whatever message loop runs there (the desktop
// program's, a message box's, or a thread of the command line's own). CM_Register_Notification
// would need no window, but Wine has no such function.

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "link/winusb/winusb_api.h"

namespace torv2::link::winusb {

// The window class of the registration's message-only window (tests find the window by it).
inline constexpr wchar_t kNotificationWindowClass[] = L"torv2-device-watcher";

class InterfaceNotification {
 public:
  // `arrived` or removed, with the interface's path (UTF-8). Events of other classes and kinds
  // (volumes, ports) are not passed on.
  using OnChange = std::function<void(bool arrived, const std::string& interfacePath)>;

  // Registers on the calling thread; nullptr when Windows takes no registration.
  static std::unique_ptr<InterfaceNotification> Register(const WinUsbApi& api, OnChange onChange);

 private:
  struct Made {};  // only Register() makes one

 public:
  InterfaceNotification(Made, const WinUsbApi& api, OnChange onChange)
      : api_(api), onChange_(std::move(onChange)) {}
  // Unregisters and destroys the window; on the thread that registered.
  ~InterfaceNotification();
  InterfaceNotification(const InterfaceNotification&) = delete;
  InterfaceNotification& operator=(const InterfaceNotification&) = delete;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  const WinUsbApi& api_;
  OnChange onChange_;
  HWND window_ = nullptr;
  HDEVNOTIFY handle_ = nullptr;
};

}  // namespace torv2::link::winusb
