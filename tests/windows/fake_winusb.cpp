#include "tests/windows/fake_winusb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "link/guid.h"

namespace torv2::testing {
namespace {

FakeWinUsb* g_fake = nullptr;
thread_local DWORD g_lastError = 0;

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string GuidText(const GUID* guid) {
  if (guid == nullptr) return "null";
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), guid, bytes.size());
  return link::Guid::FromBytes(bytes).ToString();
}

}  // namespace

std::string MultiSz(std::initializer_list<std::string_view> strings) {
  std::string bytes;
  for (const std::string_view s : strings) {
    bytes += s;
    bytes += '\0';
  }
  bytes += '\0';
  return bytes;
}

FakeWinUsb::FakeWinUsb() {
  if (g_fake != nullptr) throw std::logic_error("one FakeWinUsb at a time");
  g_fake = this;
  api_.SetupDiGetClassDevsA = &GetClassDevs;
  api_.SetupDiEnumDeviceInfo = &EnumDeviceInfo;
  api_.SetupDiEnumDeviceInterfaces = &EnumDeviceInterfaces;
  api_.SetupDiGetDeviceInterfaceDetailA = &GetInterfaceDetail;
  api_.SetupDiDestroyDeviceInfoList = &DestroyList;
  api_.SetupDiGetDeviceInstanceIdA = &GetInstanceId;
  api_.SetupDiGetDeviceRegistryPropertyA = &GetRegistryProperty;
  api_.CreateFileA = &CreateFile;
  api_.CloseHandle = &Close;
  api_.GetLastError = &LastError;
  api_.WinUsb_Initialize = &Initialize;
  api_.WinUsb_Free = &Free;
  api_.WinUsb_QueryInterfaceSettings = &QueryInterfaceSettings;
  api_.WinUsb_QueryPipe = &QueryPipe;
  api_.WinUsb_SetPipePolicy = &SetPipePolicy;
  api_.WinUsb_ReadPipe = &ReadPipe;
  api_.WinUsb_WritePipe = &WritePipe;
  api_.WinUsb_AbortPipe = &AbortPipe;
  api_.WinUsb_GetOverlappedResult = &OverlappedResult;
}

FakeWinUsb::~FakeWinUsb() {
  g_fake = nullptr;
}

std::vector<std::string> FakeWinUsb::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeWinUsb::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

int FakeWinUsb::heldSets() const {
  std::lock_guard lock(mutex_);
  return sets_;
}
int FakeWinUsb::heldFiles() const {
  std::lock_guard lock(mutex_);
  return files_;
}
int FakeWinUsb::heldInterfaces() const {
  std::lock_guard lock(mutex_);
  return interfaces_;
}
std::vector<std::string> FakeWinUsb::openPaths() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& [handle, path] : filesByHandle_) paths.push_back(path);
  return paths;
}
std::vector<std::vector<std::uint8_t>> FakeWinUsb::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

void FakeWinUsb::Log(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

BOOL FakeWinUsb::Fail(DWORD error) {
  g_lastError = error;
  return FALSE;
}

const FakeDevice* FakeWinUsb::Device(DWORD index) const {
  return index < devices.size() ? &devices[index] : nullptr;
}

HDEVINFO WINAPI FakeWinUsb::GetClassDevs(const GUID* guid, PCSTR enumerator, HWND parent,
                                         DWORD flags) {
  FakeWinUsb& f = *g_fake;
  f.Log("SetupDiGetClassDevsA " + GuidText(guid) + " enumerator=" + (enumerator ? "set" : "null") +
        " parent=" + (parent ? "set" : "null") + " flags=" + Hex(flags));
  if (f.setNotBuilt) {
    g_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard lock(f.mutex_);
  ++f.sets_;
  return kSet;
}

BOOL WINAPI FakeWinUsb::EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  FakeWinUsb& f = *g_fake;
  f.Log("SetupDiEnumDeviceInfo " + std::to_string(index) +
        (data->cbSize == sizeof(SP_DEVINFO_DATA) ? "" : " bad-cbSize"));
  if (set != kSet || f.Device(index) == nullptr) return f.Fail(ERROR_NO_MORE_ITEMS);
  data->DevInst = index;  // remembered for the interface calls
  return TRUE;
}

BOOL WINAPI FakeWinUsb::EnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA device, const GUID* guid,
                                             DWORD member, PSP_DEVICE_INTERFACE_DATA data) {
  FakeWinUsb& f = *g_fake;
  const DWORD index = device ? device->DevInst : ~0u;
  f.Log("SetupDiEnumDeviceInterfaces device=" + std::to_string(index) + " " + GuidText(guid) +
        " member=" + std::to_string(member) +
        (data->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA) ? "" : " bad-cbSize"));
  const FakeDevice* d = f.Device(index);
  if (d == nullptr || !d->hasInterface || member != 0) return f.Fail(ERROR_NO_MORE_ITEMS);
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI FakeWinUsb::GetInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA interface,
                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                           PDWORD required, PSP_DEVINFO_DATA device) {
  FakeWinUsb& f = *g_fake;
  const DWORD index = static_cast<DWORD>(interface->Reserved);
  const FakeDevice& d = f.devices.at(index);
  using Detail = FakeDevice::Detail;
  constexpr DWORD kOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const DWORD needed = static_cast<DWORD>(kOffset + d.path.size() + 1);
  if (detail == nullptr) {
    f.Log("SetupDiGetDeviceInterfaceDetailA device=" + std::to_string(index) + " size?");
    switch (d.detail) {
      case Detail::kSizeQuerySucceeds:
        return TRUE;
      case Detail::kSizeOtherError:
        if (required) *required = needed;
        return f.Fail(ERROR_INVALID_USER_BUFFER);
      case Detail::kSizeZero:
        if (required) *required = 0;
        return f.Fail(ERROR_INSUFFICIENT_BUFFER);
      case Detail::kSizeHuge:
        if (required) *required = 0x7FFFFFFF;
        return f.Fail(ERROR_INSUFFICIENT_BUFFER);
      case Detail::kNoTerminator:
        if (required) *required = needed - 1;
        return f.Fail(ERROR_INSUFFICIENT_BUFFER);
      default:
        if (required) *required = needed;
        return f.Fail(ERROR_INSUFFICIENT_BUFFER);
    }
  }
  f.Log("SetupDiGetDeviceInterfaceDetailA device=" + std::to_string(index) +
        " cbSize=" + std::to_string(detail->cbSize) + " size=" + std::to_string(size) +
        " devinfo=" + (device ? std::to_string(device->DevInst) : "null"));
  if (d.detail == Detail::kDetailFails) return f.Fail(ERROR_INVALID_USER_BUFFER);
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return f.Fail(ERROR_INVALID_USER_BUFFER);
  }
  // Fill exactly `size` bytes: the path, and its NUL where it fits.
  const std::size_t room = size - kOffset;
  std::memset(detail->DevicePath, 'x', room);
  std::memcpy(detail->DevicePath, d.path.data(), std::min(room, d.path.size()));
  if (d.path.size() < room) detail->DevicePath[d.path.size()] = '\0';
  return TRUE;
}

BOOL WINAPI FakeWinUsb::DestroyList(HDEVINFO set) {
  FakeWinUsb& f = *g_fake;
  f.Log("SetupDiDestroyDeviceInfoList");
  std::lock_guard lock(f.mutex_);
  if (set == kSet) --f.sets_;
  return TRUE;
}

BOOL WINAPI FakeWinUsb::GetInstanceId(HDEVINFO set, PSP_DEVINFO_DATA device, PSTR id, DWORD size,
                                      PDWORD required) {
  FakeWinUsb& f = *g_fake;
  const DWORD index = device ? device->DevInst : ~0u;
  f.Log("SetupDiGetDeviceInstanceIdA device=" + std::to_string(index) +
        " size=" + std::to_string(size));
  const FakeDevice* d = f.Device(index);
  if (set != kSet || d == nullptr || d->idRead == FakeDevice::IdRead::kFails) {
    return f.Fail(ERROR_INVALID_PARAMETER);
  }
  if (d->idRead == FakeDevice::IdRead::kUnterminated) {
    for (DWORD i = 0; i < size; ++i) id[i] = d->instanceId[i % d->instanceId.size()];
    return TRUE;
  }
  const DWORD needed = static_cast<DWORD>(d->instanceId.size() + 1);
  if (required) *required = needed;
  if (size < needed) return f.Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(id, d->instanceId.c_str(), needed);
  return TRUE;
}

BOOL WINAPI FakeWinUsb::GetRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                            PDWORD type, PBYTE buffer, DWORD size,
                                            PDWORD required) {
  FakeWinUsb& f = *g_fake;
  const DWORD index = device ? device->DevInst : ~0u;
  f.Log("SetupDiGetDeviceRegistryPropertyA device=" + std::to_string(index) +
        " property=" + Hex(property) + " size=" + std::to_string(size));
  const FakeDevice* d = f.Device(index);
  if (set != kSet || d == nullptr || property != SPDRP_LOCATION_PATHS || d->locationFails) {
    return f.Fail(ERROR_INVALID_DATA);
  }
  const DWORD needed = static_cast<DWORD>(d->locationPaths.size());
  if (required) *required = needed;
  if (buffer == nullptr || size < needed) return f.Fail(ERROR_INSUFFICIENT_BUFFER);
  if (type) *type = d->locationType;
  std::memcpy(buffer, d->locationPaths.data(), needed);
  return TRUE;
}

HANDLE WINAPI FakeWinUsb::CreateFile(LPCSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                     HANDLE templateFile) {
  FakeWinUsb& f = *g_fake;
  f.Log(std::string("CreateFileA ") + path + " access=" + Hex(access) + " share=" + Hex(share) +
        " security=" + (security ? "set" : "null") + " disposition=" + std::to_string(disposition) +
        " flags=" + Hex(flags) + " template=" + (templateFile ? "set" : "null"));
  for (DWORD i = 0; i < f.devices.size(); ++i) {
    if (f.devices[i].path != path) continue;
    if (f.devices[i].createFileFails) {
      g_lastError = f.devices[i].createFileError;
      return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(f.mutex_);
    // WinUSB lets one handle at a time have the device.
    for (const auto& [handle, open] : f.filesByHandle_) {
      if (open == path) {
        g_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
      }
    }
    ++f.files_;
    const HANDLE file = reinterpret_cast<HANDLE>(f.nextFile_++);
    f.filesByHandle_[file] = path;
    return file;
  }
  g_lastError = ERROR_FILE_NOT_FOUND;
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeWinUsb::Close(HANDLE handle) {
  FakeWinUsb& f = *g_fake;
  f.Log("CloseHandle");
  std::lock_guard lock(f.mutex_);
  if (f.filesByHandle_.erase(handle) == 0) return FALSE;
  --f.files_;
  return TRUE;
}

DWORD WINAPI FakeWinUsb::LastError() {
  return g_lastError;
}

BOOL WINAPI FakeWinUsb::Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE usb) {
  FakeWinUsb& f = *g_fake;
  std::unique_lock lock(f.mutex_);
  const auto open = f.filesByHandle_.find(file);
  const bool known = open != f.filesByHandle_.end();
  const std::string path = known ? open->second : std::string();
  lock.unlock();
  f.Log(std::string("WinUsb_Initialize") + (known ? "" : " bad-handle"));
  if (!known) return f.Fail(ERROR_INVALID_HANDLE);
  for (DWORD i = 0; i < f.devices.size(); ++i) {
    if (f.devices[i].path == path) f.openedDevice_ = i;
  }
  if (f.devices.at(f.openedDevice_).initializeFails) return f.Fail(ERROR_NOT_SUPPORTED);
  lock.lock();
  ++f.interfaces_;
  *usb = kInterface;
  return TRUE;
}

BOOL WINAPI FakeWinUsb::Free(WINUSB_INTERFACE_HANDLE usb) {
  FakeWinUsb& f = *g_fake;
  f.Log("WinUsb_Free");
  std::lock_guard lock(f.mutex_);
  if (usb != kInterface) return FALSE;
  --f.interfaces_;
  return TRUE;
}

BOOL WINAPI FakeWinUsb::QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE, UCHAR alternate,
                                               PUSB_INTERFACE_DESCRIPTOR descriptor) {
  FakeWinUsb& f = *g_fake;
  f.Log("WinUsb_QueryInterfaceSettings alt=" + std::to_string(alternate));
  const FakeDevice& d = f.devices.at(f.openedDevice_);
  if (d.interfaceSettingsFail || alternate != 0) return f.Fail(ERROR_NO_MORE_ITEMS);
  *descriptor = {};
  descriptor->bLength = 9;
  descriptor->bNumEndpoints = static_cast<UCHAR>(d.pipes.size());
  return TRUE;
}

BOOL WINAPI FakeWinUsb::QueryPipe(WINUSB_INTERFACE_HANDLE, UCHAR alternate, UCHAR index,
                                  PWINUSB_PIPE_INFORMATION info) {
  FakeWinUsb& f = *g_fake;
  f.Log("WinUsb_QueryPipe alt=" + std::to_string(alternate) + " index=" + std::to_string(index));
  const FakeDevice& d = f.devices.at(f.openedDevice_);
  if (index >= d.pipes.size() || d.failingPipeQueries.count(index)) {
    return f.Fail(ERROR_NO_MORE_ITEMS);
  }
  *info = d.pipes[index];
  return TRUE;
}

BOOL WINAPI FakeWinUsb::SetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR pipe, ULONG policy,
                                      ULONG length, PVOID value) {
  FakeWinUsb& f = *g_fake;
  ULONG v = 0;
  if (length == sizeof v) std::memcpy(&v, value, sizeof v);
  f.Log("WinUsb_SetPipePolicy pipe=" + Hex(pipe) + " policy=" + std::to_string(policy) +
        " length=" + std::to_string(length) + " value=" + std::to_string(v));
  return TRUE;
}

BOOL WINAPI FakeWinUsb::ReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length,
                                 PULONG moved, LPOVERLAPPED overlapped) {
  return g_fake->Transfer("WinUsb_ReadPipe", pipe, buffer, length, moved, overlapped, false);
}

BOOL WINAPI FakeWinUsb::WritePipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length,
                                  PULONG moved, LPOVERLAPPED overlapped) {
  return g_fake->Transfer("WinUsb_WritePipe", pipe, buffer, length, moved, overlapped, true);
}

BOOL FakeWinUsb::Transfer(const char* name, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG moved,
                          LPOVERLAPPED overlapped, bool write) {
  Log(std::string(name) + " pipe=" + Hex(pipe) + " length=" + std::to_string(length) +
      (overlapped ? " overlapped" : ""));
  std::unique_lock lock(mutex_);
  if (write) written_.emplace_back(buffer, buffer + length);
  ScriptedTransfer script;
  if (!transfers.empty()) {
    script = transfers.front();
    transfers.pop_front();
  } else {
    script.mode = ScriptedTransfer::Mode::kPending;  // an unscripted device stays silent
  }
  using Mode = ScriptedTransfer::Mode;
  if (script.mode == Mode::kFails) return Fail(script.error);
  if (script.mode == Mode::kCompletes) {
    const ULONG count =
        write ? std::min(length, script.writeCount)
              : static_cast<ULONG>(std::min<std::size_t>(length, script.bytes.size()));
    if (!write) std::memcpy(buffer, script.bytes.data(), count);
    if (moved) *moved = count;
    resultOk_ = TRUE;
    resultError_ = 0;
    resultCount_ = count;
    if (overlapped && overlapped->hEvent) SetEvent(overlapped->hEvent);
    return TRUE;
  }
  hasPending_ = true;
  pending_ = {overlapped, write ? nullptr : buffer, length, script};
  pendingChanged_.notify_all();
  return Fail(ERROR_IO_PENDING);
}

void FakeWinUsb::WaitUntilPending() {
  std::unique_lock lock(mutex_);
  pendingChanged_.wait(lock, [this] { return hasPending_; });
}

void FakeWinUsb::CompletePending() {
  std::unique_lock lock(mutex_);
  pendingChanged_.wait(lock, [this] { return hasPending_; });
  const ScriptedTransfer& s = pending_.script;
  if (s.error != 0) {
    resultOk_ = FALSE;
    resultError_ = s.error;
    resultCount_ = 0;
  } else {
    const ULONG count = static_cast<ULONG>(std::min<std::size_t>(pending_.length, s.bytes.size()));
    if (pending_.buffer) std::memcpy(pending_.buffer, s.bytes.data(), count);
    resultOk_ = TRUE;
    resultError_ = 0;
    resultCount_ = pending_.buffer ? count : pending_.length;
  }
  hasPending_ = false;
  SetEvent(pending_.overlapped->hEvent);
}

BOOL WINAPI FakeWinUsb::AbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
  FakeWinUsb& f = *g_fake;
  f.Log("WinUsb_AbortPipe pipe=" + Hex(pipe));
  std::lock_guard lock(f.mutex_);
  if (f.hasPending_) {
    f.hasPending_ = false;
    f.resultOk_ = FALSE;
    f.resultError_ = ERROR_OPERATION_ABORTED;
    f.resultCount_ = 0;
    SetEvent(f.pending_.overlapped->hEvent);
  }
  return TRUE;
}

BOOL WINAPI FakeWinUsb::OverlappedResult(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED overlapped,
                                         LPDWORD count, BOOL wait) {
  FakeWinUsb& f = *g_fake;
  f.Log(std::string("WinUsb_GetOverlappedResult") + (wait ? " wait" : ""));
  if (wait) WaitForSingleObject(overlapped->hEvent, INFINITE);
  std::lock_guard lock(f.mutex_);
  if (f.hasPending_) return f.Fail(ERROR_IO_INCOMPLETE);
  *count = f.resultCount_;
  if (!f.resultOk_) return f.Fail(f.resultError_);
  return TRUE;
}

}  // namespace torv2::testing
