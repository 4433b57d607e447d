#pragma once
// A scripted Windows for the WinUSB transport: SetupAPI's device set, the device file and WinUSB,
// behind the transport's function table. It logs every call with the arguments that matter, counts
// the handles it has handed out and not yet seen released, and plays bulk transfers from a script:
// completed at once, failed at once, or pending until the test completes or the host aborts them.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "link/winusb/winusb_api.h"

namespace torv2::testing {

// The bytes of a REG_MULTI_SZ: each string with its NUL, then the empty one.
std::string MultiSz(std::initializer_list<std::string_view> strings);

struct FakeDevice {
  bool hasInterface = true;
  enum class Detail {
    kOk,
    kSizeQuerySucceeds,  // the size query "succeeds" without a buffer
    kSizeOtherError,     // fails, but not with ERROR_INSUFFICIENT_BUFFER
    kSizeZero,           // reports no size
    kSizeHuge,           // reports a size no path needs
    kDetailFails,        // the second call fails
    kNoTerminator,       // the path fills the block without a NUL
  } detail = Detail::kOk;
  std::string path = R"(\\?\usb#vid_1209&pid_7a72#0001#{b91d9e33-6927-4b4d-a40d-484c312b8c26})";
  // Who the device is: its instance ID and SPDRP_LOCATION_PATHS, as SetupAPI gives them.
  std::string instanceId = R"(USB\VID_1209&PID_7A72\0001)";
  enum class IdRead {
    kOk,
    kFails,         // SetupDiGetDeviceInstanceIdA fails
    kUnterminated,  // fills the whole buffer without a NUL
  } idRead = IdRead::kOk;
  std::string locationPaths = MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)",
                                       "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)"});
  DWORD locationType = REG_MULTI_SZ;
  bool locationFails = false;  // the device has no such property
  bool createFileFails = false;
  DWORD createFileError = ERROR_ACCESS_DENIED;  // what a failing CreateFileA says
  bool initializeFails = false;
  bool interfaceSettingsFail = false;
  std::vector<WINUSB_PIPE_INFORMATION> pipes = {
      {UsbdPipeTypeBulk, 0x81, 64, 0},
      {UsbdPipeTypeBulk, 0x01, 64, 0},
  };
  std::set<UCHAR> failingPipeQueries;  // pipe indexes whose WinUsb_QueryPipe fails
};

// One bulk transfer as the device plays it.
struct ScriptedTransfer {
  enum class Mode {
    kCompletes,  // returns TRUE at once
    kFails,      // returns FALSE at once with `error`
    kPending,    // returns ERROR_IO_PENDING; ends by Complete() or WinUsb_AbortPipe
    kEndsLater,  // pending, then ends with `error` (or success when 0) when completed
  } mode = Mode::kCompletes;
  std::vector<std::uint8_t> bytes;  // what a read receives
  DWORD error = 0;
  ULONG writeCount = ~0u;  // what a write reports as sent; ~0: all of it
};

class FakeWinUsb {
 public:
  FakeWinUsb();
  ~FakeWinUsb();
  FakeWinUsb(const FakeWinUsb&) = delete;
  FakeWinUsb& operator=(const FakeWinUsb&) = delete;

  const link::winusb::WinUsbApi& api() const { return api_; }

  // --- the world ---
  bool setNotBuilt = false;
  std::vector<FakeDevice> devices{FakeDevice{}};
  std::deque<ScriptedTransfer> transfers;

  // --- what happened ---
  std::vector<std::string> calls() const;
  void ClearCalls();
  int heldSets() const;
  int heldFiles() const;
  int heldInterfaces() const;
  std::vector<std::vector<std::uint8_t>> written() const;

  // Blocks until a transfer is pending, then completes it with the script's bytes and error.
  void CompletePending();
  void WaitUntilPending();

  // The interface paths of the device files open now.
  std::vector<std::string> openPaths() const;

  // Fake handles; each device file opened gets a handle of its own.
  static inline const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(0x5e7);
  static inline void* const kInterface = reinterpret_cast<void*>(0x1f);

  // The function table's entries (public so the table can point at them).
  static HDEVINFO WINAPI GetClassDevs(const GUID*, PCSTR, HWND, DWORD);
  static BOOL WINAPI EnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
  static BOOL WINAPI EnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                          PSP_DEVICE_INTERFACE_DATA);
  static BOOL WINAPI GetInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                        PSP_DEVINFO_DATA);
  static BOOL WINAPI DestroyList(HDEVINFO);
  static BOOL WINAPI GetInstanceId(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD);
  static BOOL WINAPI GetRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD,
                                         PDWORD);
  static HANDLE WINAPI CreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                  HANDLE);
  static BOOL WINAPI Close(HANDLE);
  static DWORD WINAPI LastError();
  static BOOL WINAPI Initialize(HANDLE, PWINUSB_INTERFACE_HANDLE);
  static BOOL WINAPI Free(WINUSB_INTERFACE_HANDLE);
  static BOOL WINAPI QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE, UCHAR,
                                            PUSB_INTERFACE_DESCRIPTOR);
  static BOOL WINAPI QueryPipe(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, PWINUSB_PIPE_INFORMATION);
  static BOOL WINAPI SetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID);
  static BOOL WINAPI ReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
  static BOOL WINAPI WritePipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
  static BOOL WINAPI AbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR);
  static BOOL WINAPI OverlappedResult(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD, BOOL);

 private:
  BOOL Transfer(const char* name, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG moved,
                LPOVERLAPPED overlapped, bool write);
  void Log(std::string call);
  BOOL Fail(DWORD error);
  const FakeDevice* Device(DWORD index) const;

  link::winusb::WinUsbApi api_;
  mutable std::mutex mutex_;
  std::condition_variable pendingChanged_;
  std::vector<std::string> calls_;
  std::vector<std::vector<std::uint8_t>> written_;
  int sets_ = 0, files_ = 0, interfaces_ = 0;
  DWORD openedDevice_ = 0;  // the device whose file WinUsb_Initialize was given
  std::map<HANDLE, std::string> filesByHandle_;  // open device files and their paths
  std::uintptr_t nextFile_ = 0xf11e0;

  // The one transfer in flight, if any.
  struct Pending {
    OVERLAPPED* overlapped = nullptr;
    PUCHAR buffer = nullptr;
    ULONG length = 0;
    ScriptedTransfer script;
  };
  bool hasPending_ = false;
  Pending pending_;
  // How the last transfer ended, for WinUsb_GetOverlappedResult.
  BOOL resultOk_ = FALSE;
  DWORD resultError_ = 0;
  DWORD resultCount_ = 0;
};

}  // namespace torv2::testing
