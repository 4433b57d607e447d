#include "link/winusb/winusb_transport.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "link/programmer_name.h"
#include "link/winusb/device_identity.h"

namespace torv2::link::winusb {
namespace {

// Bounds on what SetupAPI reports: a set is walked for at most this many devices, and an
// interface detail block larger than this is not believed.
constexpr DWORD kMaxDevices = 256;
constexpr DWORD kMaxDetailSize = 64 * 1024;

// The device information set; destroyed on every way out.
class DeviceInfoSet {
 public:
  DeviceInfoSet(const WinUsbApi& api, HDEVINFO set) : api_(api), set_(set) {}
  ~DeviceInfoSet() { api_.SetupDiDestroyDeviceInfoList(set_); }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  HDEVINFO get() const { return set_; }

 private:
  const WinUsbApi& api_;
  HDEVINFO set_;
};

// The opened device file.
class DeviceFile {
 public:
  DeviceFile(const WinUsbApi& api, HANDLE handle) : api_(api), handle_(handle) {}
  ~DeviceFile() { api_.CloseHandle(handle_); }
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;
  HANDLE get() const { return handle_; }

 private:
  const WinUsbApi& api_;
  HANDLE handle_;
};

// The WinUSB interface on the device file; freed before the file is closed.
class InterfaceHandle {
 public:
  InterfaceHandle(const WinUsbApi& api, WINUSB_INTERFACE_HANDLE handle)
      : api_(api), handle_(handle) {}
  ~InterfaceHandle() { api_.WinUsb_Free(handle_); }
  InterfaceHandle(const InterfaceHandle&) = delete;
  InterfaceHandle& operator=(const InterfaceHandle&) = delete;
  WINUSB_INTERFACE_HANDLE get() const { return handle_; }

 private:
  const WinUsbApi& api_;
  WINUSB_INTERFACE_HANDLE handle_;
};

// A manual-reset event of the process (not part of the table: tests use real ones).
class Event {
 public:
  Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (handle_) ::CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// A time-out as WinUSB takes it: whole milliseconds, never 0 (which would mean "wait for ever").
ULONG PolicyMilliseconds(std::chrono::milliseconds timeout) {
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1,
                                                             std::numeric_limits<ULONG>::max() / 2);
  return static_cast<ULONG>(ms);
}

// Each bulk pipe's time-out from the open until a transfer sets its own.
constexpr ULONG kPipeTimeoutAtOpenMs = 10'000;

void SetTransferTimeout(const WinUsbApi& api, WINUSB_INTERFACE_HANDLE usb, UCHAR pipe,
                        ULONG milliseconds) {
  // The result does not matter: a pipe that keeps its old time-out still ends its transfers.
  api.WinUsb_SetPipePolicy(usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof milliseconds, &milliseconds);
}

PipeType ToPipeType(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeControl:
      return PipeType::Control;
    case UsbdPipeTypeIsochronous:
      return PipeType::Isochronous;
    case UsbdPipeTypeBulk:
      return PipeType::Bulk;
    case UsbdPipeTypeInterrupt:
      return PipeType::Interrupt;
  }
  return PipeType::Control;  // not a pipe the link takes
}

TransferStatus StatusOf(DWORD error) {
  switch (error) {
    case ERROR_SEM_TIMEOUT:
      return TransferStatus::TimedOut;
    // Removed: what WinUSB says of a device that is gone, and what Windows says of a handle on
    // one that was.
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
      return TransferStatus::NoDevice;
    // ERROR_GEN_FAILURE is a stalled pipe: the device is there and refused the transfer.
    default:
      return TransferStatus::Error;
  }
}

enum class Walk { kFound, kSkip, kEnd };

// The interface path of device `index` of the set: its interface of the class (member 0 of that
// device), the detail block's size, then the block itself. `device` receives the device's data.
Walk InterfacePath(const WinUsbApi& api, HDEVINFO set, DWORD index, const GUID& guid,
                   SP_DEVINFO_DATA& device, std::string& path) {
  device = {};
  device.cbSize = sizeof device;
  if (!api.SetupDiEnumDeviceInfo(set, index, &device)) return Walk::kEnd;

  SP_DEVICE_INTERFACE_DATA interface {};
  interface.cbSize = sizeof interface;
  if (!api.SetupDiEnumDeviceInterfaces(set, &device, &guid, 0, &interface)) return Walk::kSkip;

  DWORD required = 0;
  if (api.SetupDiGetDeviceInterfaceDetailA(set, &interface, nullptr, 0, &required, nullptr)) {
    return Walk::kSkip;  // a size query cannot succeed without a buffer
  }
  constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (api.GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= kPathOffset ||
      required > kMaxDetailSize) {
    return Walk::kSkip;
  }

  // Zero-filled and aligned for the structure.
  std::vector<std::uint64_t> block((required + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // the fixed part only
  if (!api.SetupDiGetDeviceInterfaceDetailA(set, &interface, detail, required, nullptr, &device)) {
    return Walk::kSkip;
  }
  // The path must end inside the block; an empty one names nothing.
  const std::size_t room = required - kPathOffset;
  const std::size_t length = strnlen(detail->DevicePath, room);
  if (length == 0 || length == room) return Walk::kSkip;
  path.assign(detail->DevicePath, length);
  return Walk::kFound;
}

// The device's instance ID; empty when it cannot be read or does not end inside its buffer.
std::string InstanceId(const WinUsbApi& api, HDEVINFO set, SP_DEVINFO_DATA& device) {
  char id[kMaxInstanceIdLength + 1] = {};
  DWORD required = 0;
  if (!api.SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, &required)) return {};
  const std::size_t length = strnlen(id, sizeof id);
  if (length == sizeof id) return {};
  return std::string(id, length);
}

// The device's SPDRP_LOCATION_PATHS, as the bytes of a REG_MULTI_SZ; empty when there are none.
std::vector<std::uint8_t> LocationPaths(const WinUsbApi& api, HDEVINFO set,
                                        SP_DEVINFO_DATA& device) {
  std::vector<std::uint8_t> data(512);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD type = 0, required = 0;
    if (api.SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_LOCATION_PATHS, &type,
                                              data.data(), static_cast<DWORD>(data.size()),
                                              &required)) {
      if (type != REG_MULTI_SZ) return {};
      data.resize(std::min<std::size_t>(required, data.size()));
      return data;
    }
    if (api.GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= data.size() ||
        required > kMaxLocationPathsSize) {
      return {};
    }
    data.assign(required, 0);
  }
  return {};  // it grew again: not believed
}

WinUsbProgrammer Describe(const WinUsbApi& api, HDEVINFO set, SP_DEVINFO_DATA& device,
                          std::string interfacePath) {
  WinUsbProgrammer p;
  p.interfacePath = std::move(interfacePath);
  p.instanceId = InstanceId(api, set, device);
  p.serial = SerialFromInstanceId(p.instanceId);
  if (const auto port = PortFromLocationPaths(LocationPaths(api, set, device))) {
    p.port = port->name;
    p.locationPath = port->locationPath;
  }
  p.name = ProgrammerName(p.serial, p.port, p.interfacePath);
  return p;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

bool Chosen(const WinUsbProgrammer& p, const ProgrammerChoice& choice) {
  if (!choice.serial.empty()) return p.serial == choice.serial;
  if (!choice.port.empty()) return p.port == choice.port;
  if (!choice.interfacePath.empty()) return EqualNoCase(p.interfacePath, choice.interfacePath);
  return true;
}

// Runs `f(programmer)` for each device of the class that `choice` takes, in SetupAPI's order,
// until it returns true.
template <class F>
void ForEachProgrammer(const WinUsbApi& api, const Guid& interfaceClass,
                       const ProgrammerChoice& choice, F&& f) {
  const GUID guid = ToWindowsGuid(interfaceClass);
  const HDEVINFO handle =
      api.SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  const DeviceInfoSet set(api, handle);
  for (DWORD index = 0; index < kMaxDevices; ++index) {
    SP_DEVINFO_DATA device{};
    std::string path;
    const Walk step = InterfacePath(api, set.get(), index, guid, device, path);
    if (step == Walk::kEnd) break;
    if (step != Walk::kFound) continue;
    const WinUsbProgrammer p = Describe(api, set.get(), device, std::move(path));
    if (Chosen(p, choice) && f(p)) return;
  }
}

// Why the device file did not open.
OpenStatus OpenStatusOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:  // WinUSB lets one handle at a time have the device
    case ERROR_SHARING_VIOLATION:
      return OpenStatus::Busy;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
      return OpenStatus::NoDevice;
    default:
      return OpenStatus::Error;
  }
}

class WinUsbDevice final : public UsbDevice {
 public:
  WinUsbDevice(const WinUsbApi& api, WinUsbOptions options, std::unique_ptr<DeviceFile> file,
               std::unique_ptr<InterfaceHandle> usb, std::vector<PipeInfo> pipes)
      : api_(api),
        options_(options),
        file_(std::move(file)),
        usb_(std::move(usb)),
        pipes_(std::move(pipes)) {}

  bool Ready() const { return bool(cancelEvent_) && bool(transferEvent_); }

  std::optional<std::vector<PipeInfo>> QueryPipes() override { return pipes_; }

  TransferResult BulkRead(std::uint8_t pipeId, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    return Transfer(pipeId, buffer.data(), buffer.size(), timeout, api_.WinUsb_ReadPipe);
  }

  TransferResult BulkWrite(std::uint8_t pipeId, std::span<const std::uint8_t> data,
                           std::chrono::milliseconds timeout) override {
    // WinUSB takes a non-const buffer for writes too; it only reads it.
    return Transfer(pipeId, const_cast<std::uint8_t*>(data.data()), data.size(), timeout,
                    api_.WinUsb_WritePipe);
  }

  void Cancel() override {
    cancelled_ = true;
    SetEvent(cancelEvent_.get());
  }

 private:
  using PipeCall = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG,
                                 LPOVERLAPPED);

  TransferResult Transfer(std::uint8_t pipeId, std::uint8_t* data, std::size_t size,
                          std::chrono::milliseconds timeout, PipeCall call) {
    if (cancelled_) return {TransferStatus::Cancelled, 0};
    const ULONG length = static_cast<ULONG>(std::min<std::size_t>(size, MAXDWORD));
    const ULONG ms = PolicyMilliseconds(timeout);
    SetTransferTimeout(api_, usb_->get(), pipeId, ms);

    ResetEvent(transferEvent_.get());
    OVERLAPPED overlapped{};
    overlapped.hEvent = transferEvent_.get();
    ULONG moved = 0;
    enum class Ended { kByDevice, kCancelled, kGuard } ended = Ended::kByDevice;
    if (!call(usb_->get(), pipeId, data, length, &moved, &overlapped)) {
      const DWORD error = api_.GetLastError();
      if (error != ERROR_IO_PENDING) return {StatusOf(error), 0};
      const HANDLE events[2] = {transferEvent_.get(), cancelEvent_.get()};
      const DWORD guard = ms + static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(
                                   options_.completionSlack.count(), 0, MAXDWORD / 2));
      const DWORD woke = WaitForMultipleObjects(2, events, FALSE, guard);
      if (woke != WAIT_OBJECT_0) {
        ended = woke == WAIT_OBJECT_0 + 1 ? Ended::kCancelled : Ended::kGuard;
        api_.WinUsb_AbortPipe(usb_->get(), pipeId);
      }
    }
    // Waits for the transfer to be over, so `overlapped` and the buffer are free again.
    DWORD transferred = 0;
    const BOOL ok = api_.WinUsb_GetOverlappedResult(usb_->get(), &overlapped, &transferred, TRUE);
    const std::size_t count = std::min<std::size_t>(transferred, length);
    if (ok) return {TransferStatus::Ok, count};
    const DWORD error = api_.GetLastError();
    if (ended == Ended::kCancelled || cancelled_) return {TransferStatus::Cancelled, count};
    if (ended == Ended::kGuard) return {TransferStatus::TimedOut, count};
    return {StatusOf(error), count};
  }

  const WinUsbApi& api_;
  WinUsbOptions options_;
  // Destroyed in reverse: the WinUSB interface is freed, then the device file is closed.
  std::unique_ptr<DeviceFile> file_;
  std::unique_ptr<InterfaceHandle> usb_;
  std::vector<PipeInfo> pipes_;
  Event cancelEvent_;
  Event transferEvent_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace

GUID ToWindowsGuid(const Guid& guid) {
  GUID g{};
  g.Data1 = guid.data1;
  g.Data2 = guid.data2;
  g.Data3 = guid.data3;
  std::memcpy(g.Data4, guid.data4.data(), sizeof g.Data4);
  return g;
}

ProgrammerChoice WinUsbProgrammer::Choice() const {
  if (!serial.empty()) return {serial, {}, {}};
  if (!port.empty()) return {{}, port, {}};
  return {{}, {}, interfacePath};
}

WinUsbTransport::WinUsbTransport(const WinUsbApi& api, WinUsbOptions options)
    : api_(api), options_(std::move(options)) {}

std::vector<WinUsbProgrammer> WinUsbTransport::List(const Guid& interfaceClass) {
  std::vector<WinUsbProgrammer> out;
  ForEachProgrammer(api_, interfaceClass, options_.only, [&](const WinUsbProgrammer& p) {
    out.push_back(p);
    return false;
  });
  return out;
}

std::vector<std::string> WinUsbTransport::ListDevicePaths(const Guid& interfaceClass) {
  std::vector<std::string> paths;
  for (WinUsbProgrammer& p : List(interfaceClass)) paths.push_back(std::move(p.interfacePath));
  return paths;
}

std::unique_ptr<UsbDevice> WinUsbTransport::OpenDevice(const Guid& interfaceClass,
                                                       std::chrono::milliseconds /*setupTimeout*/) {
  lastOpen_ = {};
  if (!api_.HasWinUsb()) return nullptr;  // no WinUSB on this system: no programmer either
  // The programmer opened before, while it is there (perhaps as a new device); else the first.
  std::vector<ProgrammerChoice> tries;
  if (lastOpened_) tries.push_back(*lastOpened_);
  if (!restarting_) tries.push_back(options_.only);
  for (const ProgrammerChoice& choice : tries) {
    std::optional<WinUsbProgrammer> first;
    ForEachProgrammer(api_, interfaceClass, choice, [&](const WinUsbProgrammer& p) {
      first = p;
      return true;
    });
    // The first one is the one: if it cannot be opened, nothing is opened rather than another.
    if (first) return Open(*first);
  }
  return nullptr;
}

std::unique_ptr<UsbDevice> WinUsbTransport::Open(const WinUsbProgrammer& programmer) {
  lastOpen_.status = OpenStatus::Error;
  const HANDLE handle = api_.CreateFileA(
      programmer.interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    lastOpen_.status = OpenStatusOf(api_.GetLastError());
    return nullptr;
  }
  auto file = std::make_unique<DeviceFile>(api_, handle);

  WINUSB_INTERFACE_HANDLE usbHandle = nullptr;
  if (!api_.WinUsb_Initialize(file->get(), &usbHandle)) {
    if (OpenStatusOf(api_.GetLastError()) == OpenStatus::NoDevice) {
      lastOpen_.status = OpenStatus::NoDevice;
    }
    return nullptr;
  }
  auto usb = std::make_unique<InterfaceHandle>(api_, usbHandle);

  // The pipes of alternate setting 0. A pipe whose query fails is passed over; the link decides
  // whether the ones found can carry the protocol.
  USB_INTERFACE_DESCRIPTOR settings{};
  if (!api_.WinUsb_QueryInterfaceSettings(usb->get(), 0, &settings)) {
    usb.reset();  // free the interface before its file closes
    return nullptr;
  }
  std::vector<PipeInfo> pipes;
  std::optional<UCHAR> in, out;
  for (UCHAR index = 0; index < settings.bNumEndpoints; ++index) {
    WINUSB_PIPE_INFORMATION info{};
    if (!api_.WinUsb_QueryPipe(usb->get(), 0, index, &info)) continue;
    const PipeInfo pipe{ToPipeType(info.PipeType), info.PipeId, info.MaximumPacketSize};
    pipes.push_back(pipe);
    if (pipe.type == PipeType::Bulk) (pipe.pipeId & 0x80 ? in : out) = pipe.pipeId;
  }
  if (in) SetTransferTimeout(api_, usb->get(), *in, kPipeTimeoutAtOpenMs);
  if (out) SetTransferTimeout(api_, usb->get(), *out, kPipeTimeoutAtOpenMs);

  auto device =
      std::make_unique<WinUsbDevice>(api_, options_, std::move(file), std::move(usb), pipes);
  if (!device->Ready()) return nullptr;
  lastOpen_.status = OpenStatus::Opened;
  lastOpen_.name = programmer.name;
  lastOpened_ = programmer.Choice();
  restarting_ = false;
  return device;
}

}  // namespace torv2::link::winusb
