#include "link/winusb/interface_notification.h"

// dbt.h needs windows.h first (winusb_api.h has it).
#include <dbt.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "link/guid.h"
#include "link/winusb/winusb_transport.h"
#include "win32/wide_text.h"

namespace torv2::link::winusb {
namespace {

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
  if (IsEqualGUID(event->dbcc_classguid, ToWindowsGuid(DeviceInterfaceGuid)) == 0) {
    return std::nullopt;
  }
  const std::size_t most = (header->dbch_size - kNameOffset) / sizeof(wchar_t);
  const std::wstring_view name(event->dbcc_name, most);
  return win32::Utf8FromWide(name.substr(0, name.find(L'\0')));
}

}  // namespace

std::unique_ptr<InterfaceNotification> InterfaceNotification::Register(const WinUsbApi& api,
                                                                       OnChange onChange) {
  if (api.RegisterDeviceNotificationW == nullptr || api.UnregisterDeviceNotification == nullptr) {
    return nullptr;
  }
  static const bool classRegistered = [] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kNotificationWindowClass;
    return RegisterClassExW(&windowClass) != 0;
  }();
  if (!classRegistered) return nullptr;
  auto self = std::make_unique<InterfaceNotification>(Made{}, api, std::move(onChange));
  self->window_ = CreateWindowExW(0, kNotificationWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
  if (self->window_ == nullptr) return nullptr;
  SetWindowLongPtrW(self->window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self.get()));
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = ToWindowsGuid(DeviceInterfaceGuid);
  self->handle_ =
      api.RegisterDeviceNotificationW(self->window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (self->handle_ == nullptr) return nullptr;
  return self;
}

InterfaceNotification::~InterfaceNotification() {
  if (handle_ != nullptr) api_.UnregisterDeviceNotification(handle_);
  if (window_ != nullptr) DestroyWindow(window_);
}

LRESULT CALLBACK InterfaceNotification::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                   LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcW(window, message, wParam, lParam);
  auto* self = reinterpret_cast<InterfaceNotification*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    if (const auto path = EventPath(lParam)) self->onChange_(wParam == DBT_DEVICEARRIVAL, *path);
  }
  return TRUE;
}

}  // namespace torv2::link::winusb
