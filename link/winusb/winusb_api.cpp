#include "link/winusb/winusb_api.h"

#include <string>

namespace torv2::link::winusb {
namespace {

// Fills `entry` with the function `name` of `module`; stays null when it is missing.
template <class F>
void Resolve(HMODULE module, const char* name, F& entry) {
  // GetProcAddress gives a generic function pointer; the entry names the real signature.
  entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HMODULE LoadSystemWinUsb() {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\winusb.dll";
  return LoadLibraryW(path.c_str());  // stays loaded for the life of the process
}

WinUsbApi MakeSystemApi() {
  WinUsbApi api;
  api.SetupDiGetClassDevsA = &::SetupDiGetClassDevsA;
  api.SetupDiEnumDeviceInfo = &::SetupDiEnumDeviceInfo;
  api.SetupDiEnumDeviceInterfaces = &::SetupDiEnumDeviceInterfaces;
  api.SetupDiGetDeviceInterfaceDetailA = &::SetupDiGetDeviceInterfaceDetailA;
  api.SetupDiDestroyDeviceInfoList = &::SetupDiDestroyDeviceInfoList;
  api.SetupDiGetDeviceInstanceIdA = &::SetupDiGetDeviceInstanceIdA;
  api.SetupDiGetDeviceRegistryPropertyA = &::SetupDiGetDeviceRegistryPropertyA;
  api.RegisterDeviceNotificationW = &::RegisterDeviceNotificationW;
  api.UnregisterDeviceNotification = &::UnregisterDeviceNotification;
  api.CreateFileA = &::CreateFileA;
  api.CloseHandle = &::CloseHandle;
  api.GetLastError = &::GetLastError;
  if (HMODULE module = LoadSystemWinUsb()) {
    Resolve(module, "WinUsb_Initialize", api.WinUsb_Initialize);
    Resolve(module, "WinUsb_Free", api.WinUsb_Free);
    Resolve(module, "WinUsb_QueryInterfaceSettings", api.WinUsb_QueryInterfaceSettings);
    Resolve(module, "WinUsb_QueryPipe", api.WinUsb_QueryPipe);
    Resolve(module, "WinUsb_SetPipePolicy", api.WinUsb_SetPipePolicy);
    Resolve(module, "WinUsb_ReadPipe", api.WinUsb_ReadPipe);
    Resolve(module, "WinUsb_WritePipe", api.WinUsb_WritePipe);
    Resolve(module, "WinUsb_AbortPipe", api.WinUsb_AbortPipe);
    Resolve(module, "WinUsb_GetOverlappedResult", api.WinUsb_GetOverlappedResult);
  }
  return api;
}

}  // namespace

const WinUsbApi& SystemWinUsbApi() {
  static const WinUsbApi api = MakeSystemApi();
  return api;
}

}  // namespace torv2::link::winusb
