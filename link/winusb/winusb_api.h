#pragma once
// The Win32 calls the WinUSB transport makes, as a table of function pointers: the system's
// (SetupAPI linked in, winusb.dll loaded from the system folder) or a test's fake. Each entry has
// the signature of the Win32 function of the same name.

#include <windows.h>

// setupapi.h and winusb.h need windows.h first.
#include <setupapi.h>
#include <winusb.h>

namespace torv2::link::winusb {

struct WinUsbApi {
  // SetupAPI: the attached devices that expose an interface class, and the interfaces' paths.
  HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID*, PCSTR, HWND, DWORD) = nullptr;
  BOOL(WINAPI* SetupDiEnumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA) = nullptr;
  BOOL(WINAPI* SetupDiEnumDeviceInterfaces)
  (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA) = nullptr;
  BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)
  (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
   PSP_DEVINFO_DATA) = nullptr;
  BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO) = nullptr;
  // Who a device is: its instance ID (USB\VID_1209&PID_7A72\SERIAL) and where it is plugged in
  // (SPDRP_LOCATION_PATHS, a list of strings).
  BOOL(WINAPI* SetupDiGetDeviceInstanceIdA)
  (HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD) = nullptr;
  BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyA)
  (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) = nullptr;

  // Arrivals and removals of an interface class, told to a window as WM_DEVICECHANGE
  // (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE) with the interface's path. Null in a table that
  // cannot tell them.
  HDEVNOTIFY(WINAPI* RegisterDeviceNotificationW)(HANDLE, LPVOID, DWORD) = nullptr;
  BOOL(WINAPI* UnregisterDeviceNotification)(HDEVNOTIFY) = nullptr;

  // The device file.
  HANDLE(WINAPI* CreateFileA)
  (LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = nullptr;
  BOOL(WINAPI* CloseHandle)(HANDLE) = nullptr;
  DWORD(WINAPI* GetLastError)() = nullptr;

  // WinUSB: null in the system table when winusb.dll cannot be loaded (then no device opens).
  BOOL(WINAPI* WinUsb_Initialize)(HANDLE, PWINUSB_INTERFACE_HANDLE) = nullptr;
  BOOL(WINAPI* WinUsb_Free)(WINUSB_INTERFACE_HANDLE) = nullptr;
  BOOL(WINAPI* WinUsb_QueryInterfaceSettings)
  (WINUSB_INTERFACE_HANDLE, UCHAR, PUSB_INTERFACE_DESCRIPTOR) = nullptr;
  BOOL(WINAPI* WinUsb_QueryPipe)
  (WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, PWINUSB_PIPE_INFORMATION) = nullptr;
  BOOL(WINAPI* WinUsb_SetPipePolicy)(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID) = nullptr;
  BOOL(WINAPI* WinUsb_ReadPipe)
  (WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED) = nullptr;
  BOOL(WINAPI* WinUsb_WritePipe)
  (WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED) = nullptr;
  BOOL(WINAPI* WinUsb_AbortPipe)(WINUSB_INTERFACE_HANDLE, UCHAR) = nullptr;
  BOOL(WINAPI* WinUsb_GetOverlappedResult)
  (WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD, BOOL) = nullptr;

  bool HasWinUsb() const {
    return WinUsb_Initialize && WinUsb_Free && WinUsb_QueryInterfaceSettings && WinUsb_QueryPipe &&
           WinUsb_SetPipePolicy && WinUsb_ReadPipe && WinUsb_WritePipe && WinUsb_AbortPipe &&
           WinUsb_GetOverlappedResult;
  }
};

// The system's functions. winusb.dll is loaded once, by its full path in the system folder (never
// from the program's folder or the current directory: the program runs elevated).
const WinUsbApi& SystemWinUsbApi();

}  // namespace torv2::link::winusb
