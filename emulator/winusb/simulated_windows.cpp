#include "emulator/winusb/simulated_windows.h"

// dbt.h needs windows.h, which the header brings.
#include <dbt.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <thread>

#include "emulator/usb/usb_descriptors.h"
#include "link/guid.h"

namespace torv2::emulator::winusb {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UCHAR kInPipe = usb::kBulkInEndpoint;
constexpr UCHAR kOutPipe = usb::kBulkOutEndpoint;

// The one world the table's plain functions reach.
SimulatedWindows::State* g_state = nullptr;
thread_local DWORD g_lastError = 0;

BOOL Fail(DWORD error) {
  g_lastError = error;
  return FALSE;
}

std::uintptr_t Key(const void* handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// What Windows takes as a serial number for an instance ID: printable, no space, no comma.
bool UsableSerial(std::string_view serial) {
  return !serial.empty() && serial.size() <= 126 &&
         std::all_of(serial.begin(), serial.end(),
                     [](char c) { return c > 0x20 && c < 0x7F && c != ','; });
}

// The instance ID's last part for a device without a usable serial number: made from the hub it
// hangs on and its port there, so it stays the same as long as the device stays on that port.
std::string GeneratedInstancePart(const UsbPort& port) {
  std::uint32_t hash = 2166136261u;  // FNV-1a over the parent's location
  const auto mix = [&hash](std::uint8_t byte) {
    hash ^= byte;
    hash *= 16777619u;
  };
  mix(static_cast<std::uint8_t>(port.controller >> 8));
  mix(static_cast<std::uint8_t>(port.controller));
  for (std::size_t i = 0; i + 1 < port.ports.size(); ++i) mix(port.ports[i]);
  char text[48];
  std::snprintf(text, sizeof text, "%u&%X&0&%u", static_cast<unsigned>(4 + port.ports.size()),
                static_cast<unsigned>(hash & 0xFFFFFFF),
                port.ports.empty() ? 1u : static_cast<unsigned>(port.ports.back()));
  return text;
}

std::string LocationPathsOf(const UsbPort& port, bool acpiFirst) {
  char text[64];
  std::snprintf(text, sizeof text, "PCIROOT(0)#PCI(%04X)#USBROOT(0)",
                static_cast<unsigned>(port.controller));
  std::string pci = text;
  std::string acpi = "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)";
  for (std::size_t i = 0; i < port.ports.size(); ++i) {
    std::snprintf(text, sizeof text, "#USB(%u)", static_cast<unsigned>(port.ports[i]));
    pci += text;
    if (i == 0) {
      std::snprintf(text, sizeof text, "#ACPI(HS%02u)", static_cast<unsigned>(port.ports[i]));
    }
    acpi += text;
  }
  std::string multi;
  for (const std::string& path : acpiFirst ? std::vector{acpi, pci} : std::vector{pci, acpi}) {
    multi += path;
    multi.push_back('\0');
  }
  multi.push_back('\0');
  return multi;
}

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

GUID ProgrammerGuid() {
  GUID g{};
  const auto bytes = link::DeviceInterfaceGuid.Bytes();
  std::memcpy(&g, bytes.data(), sizeof g);
  return g;
}

struct PipePolicy {
  ULONG timeoutMs = 0;  // 0: no time-out
  bool allowPartialReads = true;
  bool autoFlush = false;
};

}  // namespace

struct SimulatedWindows::State {
  struct Device {
    SimulatedDevice described;  // as the test plugged it in
    std::unique_ptr<VirtualProgrammer> programmer;
    bool attached = true;
    bool heldElsewhere = false;
    std::size_t generation = 0;  // bumps whenever it leaves the bus: handles of before stay dead
    Clock::time_point backAt{};  // re-enumerating until then
    std::chrono::milliseconds reenumerationDelay{0};
    std::set<UCHAR> stalled;
    std::size_t reenumerations = 0;
    std::size_t opens = 0;
    std::string instanceId, interfacePath, locationPaths;
    bool announced = false;  // registered windows were last told it is on the bus
    std::optional<Clock::time_point> comesBackAt;  // after a fault took it off the bus
  };
  // What a registered window is told next.
  struct Notice {
    bool arrival;
    std::string path;
  };
  struct File {
    std::size_t device;
    std::size_t generation;
    bool overlapped;
  };
  struct Interface {
    std::uintptr_t file;
    std::size_t device;
    std::size_t generation;
    std::map<UCHAR, PipePolicy> policies;
    std::vector<std::uint8_t> leftover;  // the rest of a packet a read had no room for
  };
  struct Transfer {
    std::uintptr_t interface;
    std::size_t device;
    UCHAR pipe;
    PUCHAR buffer;
    ULONG length;
    OVERLAPPED* overlapped;
    std::optional<Clock::time_point> deadline;
  };
  struct Result {
    DWORD error;
    DWORD bytes;
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::unique_ptr<Device>> devices;
  WorldOptions options;
  std::map<std::uintptr_t, std::vector<std::size_t>> sets;
  std::map<std::uintptr_t, File> files;
  std::map<std::uintptr_t, Interface> interfaces;
  std::deque<Transfer> pending;  // reads waiting for the device, in the order they were made
  std::map<OVERLAPPED*, Result> results;
  std::uintptr_t nextHandle = 0x5000;
  bool stopping = false;
  std::thread timer;
  link::winusb::WinUsbApi api;
  Clock::time_point start = Clock::now();
  std::vector<TimedAction> timeline;  // in time order
  std::size_t nextTimed = 0;
  // Windows told of the programmer's class; null for a registration of another class.
  std::map<std::uintptr_t, HWND> registrations;
  std::deque<Notice> notices;
  std::condition_variable noticed;
  std::thread notifier;

  std::uintptr_t NewHandle() { return nextHandle += 4; }

  bool Present(std::size_t index) const {
    const Device& d = *devices[index];
    return d.attached && Clock::now() >= d.backAt;
  }
  bool Alive(std::size_t index, std::size_t generation) const {
    return Present(index) && devices[index]->generation == generation;
  }

  void Complete(OVERLAPPED* overlapped, DWORD error, DWORD bytes) {
    results[overlapped] = {error, bytes};
    overlapped->Internal = 0;
    overlapped->InternalHigh = bytes;
    if (overlapped->hEvent) SetEvent(overlapped->hEvent);
    changed.notify_all();
  }

  // Ends every pending transfer `which` picks with `error`.
  template <class Pred>
  void EndPending(Pred which, DWORD error) {
    for (auto it = pending.begin(); it != pending.end();) {
      if (which(*it)) {
        OVERLAPPED* o = it->overlapped;
        it = pending.erase(it);
        Complete(o, error, 0);
      } else {
        ++it;
      }
    }
  }

  void LeaveBus(std::size_t index) {
    Device& d = *devices[index];
    if (d.announced) {
      d.announced = false;
      notices.push_back({false, d.interfacePath});
      noticed.notify_all();
    }
    ++d.generation;
    EndPending([&](const Transfer& t) { return t.device == index; }, ERROR_DEVICE_NOT_CONNECTED);
  }

  // The model may ask to drop off the bus while it runs, or to restart once the host has read
  // what it queued.
  void AfterDeviceActed(std::size_t index) {
    Device& d = *devices[index];
    VirtualProgrammer& p = *d.programmer;
    if (p.UnplugRequested()) {
      p.ClearUnplugRequest();
      d.attached = false;
      LeaveBus(index);
      if (d.described.comesBackAfter) d.comesBackAt = Clock::now() + *d.described.comesBackAfter;
    }
    if (p.ResetRequested() && !p.HasInData()) Reenumerate(index);
    changed.notify_all();
  }

  // What "ResetNow" does: off the bus at once, the firmware restarts, and the device is back
  // after its re-enumeration delay.
  void Reenumerate(std::size_t index) {
    Device& d = *devices[index];
    d.programmer->Restart();
    ++d.reenumerations;
    d.backAt = Clock::now() + d.reenumerationDelay;
    LeaveBus(index);
    if (options.lastArrivesOnReset && devices.size() > 1 && index + 1 != devices.size()) {
      devices.back()->attached = true;
    }
    Announce();
  }

  // Tells registered windows of every device of the class that has come onto the bus.
  void Announce() {
    for (auto& d : devices) {
      const std::size_t index = static_cast<std::size_t>(&d - devices.data());
      if (d->announced || !d->described.carriesGuid || !Present(index)) continue;
      d->announced = true;
      notices.push_back({true, d->interfacePath});
      noticed.notify_all();
    }
  }

  void Unplug(std::size_t index) {
    devices[index]->attached = false;
    devices[index]->comesBackAt.reset();
    LeaveBus(index);
  }

  // Power comes back: the firmware starts over, the flash kept; a re-enumeration under way ends.
  void Replug(std::size_t index) {
    Device& d = *devices[index];
    if (!d.attached) {
      d.programmer->Restart();
      d.stalled.clear();
    }
    d.attached = true;
    d.backAt = {};
    d.comesBackAt.reset();
    Announce();
    changed.notify_all();
  }

  // Does what is due on the timeline and brings back devices whose time has come.
  void RunDue(Clock::time_point now) {
    static constexpr const char* kWords[] = {"plugged in", "unplugged", "replugged"};
    while (nextTimed < timeline.size() && start + timeline[nextTimed].at <= now) {
      const TimedAction& a = timeline[nextTimed++];
      if (a.device >= devices.size()) continue;
      if (a.action != TimedAction::Action::Plug) Unplug(a.device);
      if (a.action != TimedAction::Action::Unplug) Replug(a.device);
      std::fprintf(stderr, "simulated USB: %lld ms: %s %s\n", static_cast<long long>(a.at.count()),
                   devices[a.device]->described.serial.c_str(), kWords[static_cast<int>(a.action)]);
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i]->comesBackAt && *devices[i]->comesBackAt <= now) Replug(i);
    }
    Announce();  // re-enumerations whose delay has passed
  }

  // When RunDue() has something to do next.
  std::optional<Clock::time_point> NextDue(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    const auto consider = [&next](Clock::time_point t) {
      if (!next || t < *next) next = t;
    };
    if (nextTimed < timeline.size()) consider(start + timeline[nextTimed].at);
    for (const auto& d : devices) {
      if (d->comesBackAt) consider(*d->comesBackAt);
      if (!d->announced && d->attached && d->described.carriesGuid && d->backAt > now) {
        consider(d->backAt);
      }
    }
    return next;
  }

  // Sends the notices to the registered windows, one at a time, with the world unlocked (the
  // windows' threads look at the world while they take them).
  void RunNotifier() {
    std::unique_lock lock(mutex);
    for (;;) {
      noticed.wait(lock, [this] { return stopping || !notices.empty(); });
      if (stopping) return;
      const Notice notice = std::move(notices.front());
      notices.pop_front();
      std::vector<HWND> windows;
      for (const auto& [handle, window] : registrations) {
        if (window != nullptr) windows.push_back(window);
      }
      lock.unlock();
      constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
      const std::size_t size = kNameOffset + (notice.path.size() + 1) * sizeof(wchar_t);
      std::vector<std::uint64_t> block((size + 7) / 8);  // aligned as the structure needs
      auto* data = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
      data->dbcc_size = static_cast<DWORD>(size);
      data->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      data->dbcc_classguid = ProgrammerGuid();
      for (std::size_t i = 0; i < notice.path.size(); ++i) {
        data->dbcc_name[i] = static_cast<wchar_t>(static_cast<unsigned char>(notice.path[i]));
      }
      data->dbcc_name[notice.path.size()] = L'\0';
      for (HWND window : windows) {
        SendMessageW(window, WM_DEVICECHANGE,
                     notice.arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                     reinterpret_cast<LPARAM>(data));
      }
      lock.lock();
    }
  }

  // Gives waiting reads on device `index` what it has to send, oldest read first.
  void Serve(std::size_t index) {
    for (auto it = pending.begin(); it != pending.end();) {
      if (it->device != index) {
        ++it;
        continue;
      }
      Interface& iface = interfaces.at(it->interface);
      Device& d = *devices[index];
      if (!Alive(index, iface.generation)) {
        OVERLAPPED* o = it->overlapped;
        it = pending.erase(it);
        Complete(o, ERROR_DEVICE_NOT_CONNECTED, 0);
        continue;
      }
      if (d.stalled.count(it->pipe)) {
        OVERLAPPED* o = it->overlapped;
        it = pending.erase(it);
        Complete(o, ERROR_GEN_FAILURE, 0);
        continue;
      }
      const Transfer t = *it;
      const PipePolicy& policy = iface.policies[t.pipe];
      if (!iface.leftover.empty()) {
        const std::size_t n = std::min<std::size_t>(iface.leftover.size(), t.length);
        std::memcpy(t.buffer, iface.leftover.data(), n);
        iface.leftover.erase(iface.leftover.begin(), iface.leftover.begin() + n);
        it = pending.erase(it);
        Complete(t.overlapped, ERROR_SUCCESS, static_cast<DWORD>(n));
        continue;
      }
      // The host controller asks for whole packets; what does not fit the caller's buffer is
      // WinUSB's to keep or drop.
      const std::size_t packet = std::max<std::size_t>(1, p(d).settings().maxPacketSize);
      const std::size_t ask = std::max<std::size_t>(1, (t.length + packet - 1) / packet) * packet;
      auto in = p(d).TakeInTransfer(ask);
      if (!in) break;  // later reads wait behind this one
      it = pending.erase(it);
      const std::size_t n = std::min<std::size_t>(in->data.size(), t.length);
      std::memcpy(t.buffer, in->data.data(), n);
      DWORD error = ERROR_SUCCESS;
      if (in->data.size() > t.length) {
        if (!policy.allowPartialReads) {
          error = ERROR_GEN_FAILURE;  // the device sent more than asked for (babble)
        } else if (!policy.autoFlush) {
          iface.leftover.assign(in->data.begin() + static_cast<std::ptrdiff_t>(n), in->data.end());
        }
      }
      Complete(t.overlapped, error, static_cast<DWORD>(n));
      AfterDeviceActed(index);
      it = pending.begin();  // the device may have left the bus meanwhile
    }
  }

  static VirtualProgrammer& p(Device& d) { return *d.programmer; }

  // Ends reads at their time-outs.
  void RunTimer() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      RunDue(Clock::now());
      std::optional<Clock::time_point> next = NextDue(Clock::now());
      for (const Transfer& t : pending) {
        if (t.deadline && (!next || *t.deadline < *next)) next = t.deadline;
      }
      if (next) {
        changed.wait_until(lock, *next);
      } else {
        changed.wait(lock);
      }
      const auto now = Clock::now();
      EndPending([&](const Transfer& t) { return t.deadline && *t.deadline <= now; },
                 ERROR_SEM_TIMEOUT);
    }
  }

  // --- lookups that also check what the caller handed in ---

  const std::vector<std::size_t>* Set(HDEVINFO set) {
    const auto it = sets.find(Key(set));
    return it == sets.end() ? nullptr : &it->second;
  }
  // The device an SP_DEVINFO_DATA of `set` names.
  std::optional<std::size_t> DeviceOf(const std::vector<std::size_t>& set,
                                      const SP_DEVINFO_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0) {
      return std::nullopt;
    }
    const std::size_t index = data->DevInst - 1;
    if (std::find(set.begin(), set.end(), index) == set.end()) return std::nullopt;
    return index;
  }
  Interface* InterfaceOf(WINUSB_INTERFACE_HANDLE handle) {
    const auto it = interfaces.find(Key(handle));
    if (it == interfaces.end() || !files.count(it->second.file)) return nullptr;
    return &it->second;
  }
};

namespace {

using State = SimulatedWindows::State;

State& World() {
  return *g_state;
}

// The size protocol of SetupAPI's string and property calls: the size needed always, the data
// only into a buffer large enough.
BOOL CopyOut(std::string_view data, PBYTE buffer, DWORD size, PDWORD required) {
  const DWORD need = static_cast<DWORD>(data.size());
  if (required) *required = need;
  if (buffer == nullptr && size != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, data.data(), need);
  return TRUE;
}

HDEVINFO WINAPI GetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  if (!(flags & DIGCF_DEVICEINTERFACE) || (guid == nullptr && !(flags & DIGCF_ALLCLASSES))) {
    g_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  const GUID programmer = ProgrammerGuid();
  std::vector<std::size_t> listed;
  for (std::size_t i = 0; i < w.devices.size(); ++i) {
    const bool ofClass = w.devices[i]->described.carriesGuid &&
                         (guid == nullptr || std::memcmp(guid, &programmer, sizeof(GUID)) == 0);
    if (ofClass && (!(flags & DIGCF_PRESENT) || w.Present(i))) listed.push_back(i);
  }
  const std::uintptr_t handle = w.NewHandle();
  w.sets[handle] = std::move(listed);
  return reinterpret_cast<HDEVINFO>(handle);
}

BOOL WINAPI EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  const auto* listed = w.Set(set);
  if (!listed) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (index >= listed->size()) return Fail(ERROR_NO_MORE_ITEMS);
  data->ClassGuid = GUID{};
  data->DevInst = static_cast<DWORD>((*listed)[index] + 1);
  data->Reserved = 0;
  return TRUE;
}

BOOL WINAPI EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* guid,
                                 DWORD member, PSP_DEVICE_INTERFACE_DATA data) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  const auto* listed = w.Set(set);
  if (!listed) return Fail(ERROR_INVALID_HANDLE);
  if (guid == nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const GUID programmer = ProgrammerGuid();
  if (std::memcmp(guid, &programmer, sizeof(GUID)) != 0) return Fail(ERROR_NO_MORE_ITEMS);
  std::size_t index = 0;
  if (device != nullptr) {
    const auto d = w.DeviceOf(*listed, device);
    if (!d) return Fail(ERROR_INVALID_PARAMETER);
    if (member != 0) return Fail(ERROR_NO_MORE_ITEMS);  // one interface of the class each
    index = *d;
  } else {
    if (member >= listed->size()) return Fail(ERROR_NO_MORE_ITEMS);
    index = (*listed)[member];
  }
  data->InterfaceClassGuid = programmer;
  data->Flags = w.Present(index) ? SPINT_ACTIVE : 0;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI GetInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                               PDWORD required, PSP_DEVINFO_DATA device) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  const auto* listed = w.Set(set);
  if (!listed) return Fail(ERROR_INVALID_HANDLE);
  if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      interfaceData->Reserved == 0 ||
      std::find(listed->begin(), listed->end(), interfaceData->Reserved - 1) == listed->end()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::size_t index = interfaceData->Reserved - 1;
  const std::string& path = w.devices[index]->interfacePath;
  constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const DWORD need = kPathOffset + static_cast<DWORD>(path.size()) + 1;
  if (required) *required = need;
  if (detail == nullptr)
    return Fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (size < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (device != nullptr) {
    if (device->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    device->ClassGuid = GUID{};
    device->DevInst = static_cast<DWORD>(index + 1);
    device->Reserved = 0;
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

BOOL WINAPI DestroyList(HDEVINFO set) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  return w.sets.erase(Key(set)) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI GetInstanceId(HDEVINFO set, PSP_DEVINFO_DATA device, PSTR buffer, DWORD size,
                          PDWORD required) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  const auto* listed = w.Set(set);
  if (!listed) return Fail(ERROR_INVALID_HANDLE);
  const auto index = w.DeviceOf(*listed, device);
  if (!index) return Fail(ERROR_INVALID_PARAMETER);
  const std::string& id = w.devices[*index]->instanceId;
  return CopyOut(std::string_view(id.c_str(), id.size() + 1), reinterpret_cast<PBYTE>(buffer), size,
                 required);
}

BOOL WINAPI GetRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD type,
                                PBYTE buffer, DWORD size, PDWORD required) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  const auto* listed = w.Set(set);
  if (!listed) return Fail(ERROR_INVALID_HANDLE);
  const auto index = w.DeviceOf(*listed, device);
  if (!index) return Fail(ERROR_INVALID_PARAMETER);
  if (property != SPDRP_LOCATION_PATHS) return Fail(ERROR_INVALID_DATA);  // not kept here
  if (type) *type = REG_MULTI_SZ;
  return CopyOut(w.devices[*index]->locationPaths, buffer, size, required);
}

HANDLE WINAPI CreateFileSim(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                            DWORD flags, HANDLE) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  std::optional<std::size_t> found;
  for (std::size_t i = 0; path != nullptr && i < w.devices.size(); ++i) {
    if (w.devices[i]->described.carriesGuid && w.Present(i) &&
        SameTextIgnoringCase(path, w.devices[i]->interfacePath)) {
      found = i;
    }
  }
  if (!found || disposition != OPEN_EXISTING) {
    g_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  State::Device& d = *w.devices[*found];
  const bool openHere = std::any_of(w.files.begin(), w.files.end(), [&](const auto& f) {
    return f.second.device == *found && f.second.generation == d.generation;
  });
  if (d.heldElsewhere || openHere) {
    g_lastError = ERROR_ACCESS_DENIED;  // the device file admits one program at a time
    return INVALID_HANDLE_VALUE;
  }
  const std::uintptr_t handle = w.NewHandle();
  w.files[handle] = {*found, d.generation, (flags & FILE_FLAG_OVERLAPPED) != 0};
  ++d.opens;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI CloseSim(HANDLE handle) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  return w.files.erase(Key(handle)) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

HDEVNOTIFY WINAPI RegisterNotification(HANDLE recipient, LPVOID filter, DWORD flags) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  // Only windows here; a service's handle is not simulated.
  if (recipient == nullptr || (flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0 ||
      filter == nullptr) {
    g_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
    g_lastError = ERROR_INVALID_DATA;
    return nullptr;
  }
  const auto* wanted = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  const GUID programmer = ProgrammerGuid();
  const std::uintptr_t handle = w.NewHandle();
  // A filter for another class is taken and never told anything: only programmers come and go.
  const bool told = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0 ||
                    std::memcmp(&wanted->dbcc_classguid, &programmer, sizeof(GUID)) == 0;
  w.registrations[handle] = told ? static_cast<HWND>(recipient) : nullptr;
  return reinterpret_cast<HDEVNOTIFY>(handle);
}

BOOL WINAPI UnregisterNotification(HDEVNOTIFY handle) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  return w.registrations.erase(Key(handle)) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

DWORD WINAPI LastErrorSim() {
  return g_lastError;
}

BOOL WINAPI Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE out) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  const auto it = w.files.find(Key(file));
  if (it == w.files.end()) return Fail(ERROR_INVALID_HANDLE);
  if (out == nullptr || !it->second.overlapped) return Fail(ERROR_INVALID_PARAMETER);
  if (!w.Alive(it->second.device, it->second.generation)) {
    return Fail(ERROR_DEVICE_NOT_CONNECTED);
  }
  const std::uintptr_t handle = w.NewHandle();
  State::Interface iface{it->first, it->second.device, it->second.generation, {}, {}};
  iface.policies[kInPipe] = {};
  iface.policies[kOutPipe] = {};
  w.interfaces[handle] = std::move(iface);
  *out = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(handle);
  return TRUE;
}

BOOL WINAPI Free(WINUSB_INTERFACE_HANDLE handle) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  const auto it = w.interfaces.find(Key(handle));
  if (it == w.interfaces.end()) return Fail(ERROR_INVALID_HANDLE);
  w.EndPending([&](const State::Transfer& t) { return t.interface == it->first; },
               ERROR_OPERATION_ABORTED);
  w.interfaces.erase(it);
  return TRUE;
}

BOOL WINAPI QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                   PUSB_INTERFACE_DESCRIPTOR out) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  State::Interface* iface = w.InterfaceOf(handle);
  if (!iface) return Fail(ERROR_INVALID_HANDLE);
  if (!w.Alive(iface->device, iface->generation)) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  if (out == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (alternate != 0) return Fail(ERROR_NO_MORE_ITEMS);
  *out = USB_INTERFACE_DESCRIPTOR{};
  out->bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
  out->bDescriptorType = usb::kInterfaceDescriptor;
  out->bInterfaceNumber = usb::kInterfaceNumber;
  out->bNumEndpoints = 2;
  out->bInterfaceClass = 0xFF;
  return TRUE;
}

BOOL WINAPI QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                      PWINUSB_PIPE_INFORMATION out) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  State::Interface* iface = w.InterfaceOf(handle);
  if (!iface) return Fail(ERROR_INVALID_HANDLE);
  if (!w.Alive(iface->device, iface->generation)) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  if (out == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (alternate != 0 || index > 1) return Fail(ERROR_NO_MORE_ITEMS);
  out->PipeType = UsbdPipeTypeBulk;
  out->PipeId = index == 0 ? kInPipe : kOutPipe;
  out->MaximumPacketSize = w.devices[iface->device]->programmer->settings().maxPacketSize;
  out->Interval = 0;
  return TRUE;
}

BOOL WINAPI SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG policy, ULONG length,
                          PVOID value) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  State::Interface* iface = w.InterfaceOf(handle);
  if (!iface) return Fail(ERROR_INVALID_HANDLE);
  if (!w.Alive(iface->device, iface->generation)) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  const auto it = iface->policies.find(pipe);
  if (it == iface->policies.end() || value == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  PipePolicy& p = it->second;
  switch (policy) {
    case PIPE_TRANSFER_TIMEOUT:
      if (length != sizeof(ULONG)) return Fail(ERROR_INVALID_PARAMETER);
      std::memcpy(&p.timeoutMs, value, sizeof(ULONG));
      return TRUE;
    case ALLOW_PARTIAL_READS:
    case AUTO_FLUSH:
    case SHORT_PACKET_TERMINATE:
    case IGNORE_SHORT_PACKETS:
    case AUTO_CLEAR_STALL:
    case RAW_IO: {
      if (length != sizeof(UCHAR)) return Fail(ERROR_INVALID_PARAMETER);
      const bool on = *static_cast<const UCHAR*>(value) != 0;
      if (policy == ALLOW_PARTIAL_READS) p.allowPartialReads = on;
      if (policy == AUTO_FLUSH) p.autoFlush = on;
      return TRUE;
    }
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

BOOL Transfer(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG moved,
              LPOVERLAPPED overlapped, bool write);

BOOL WINAPI ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                     PULONG moved, LPOVERLAPPED overlapped) {
  return Transfer(handle, pipe, buffer, length, moved, overlapped, false);
}

BOOL WINAPI WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                      PULONG moved, LPOVERLAPPED overlapped) {
  return Transfer(handle, pipe, buffer, length, moved, overlapped, true);
}

BOOL WINAPI GetOverlappedResultSim(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                   LPDWORD moved, BOOL wait);

BOOL Transfer(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG moved,
              LPOVERLAPPED overlapped, bool write) {
  State& w = World();
  if (overlapped == nullptr) {
    // A synchronous transfer: the same, waited for here.
    OVERLAPPED own{};
    if (!Transfer(handle, pipe, buffer, length, nullptr, &own, write) &&
        g_lastError != ERROR_IO_PENDING) {
      return FALSE;
    }
    DWORD n = 0;
    const BOOL ok = GetOverlappedResultSim(handle, &own, &n, TRUE);
    if (moved) *moved = n;
    return ok;
  }
  std::unique_lock lock(w.mutex);
  State::Interface* iface = w.InterfaceOf(handle);
  if (!iface) return Fail(ERROR_INVALID_HANDLE);
  if (!w.Alive(iface->device, iface->generation)) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  if (pipe != (write ? kOutPipe : kInPipe) || (buffer == nullptr && length != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (moved) *moved = 0;
  const std::size_t index = iface->device;
  State::Device& d = *w.devices[index];
  overlapped->Internal = STATUS_PENDING;
  overlapped->InternalHigh = 0;
  w.results.erase(overlapped);
  if (d.stalled.count(pipe)) {
    w.Complete(overlapped, ERROR_GEN_FAILURE, 0);
  } else if (write) {
    d.programmer->OnOutTransfer(std::span<const std::uint8_t>(buffer, length));
    w.Complete(overlapped, ERROR_SUCCESS, length);
    w.AfterDeviceActed(index);
    w.Serve(index);
  } else {
    State::Transfer t{Key(handle), index, pipe, buffer, length, overlapped, std::nullopt};
    const ULONG ms = iface->policies[pipe].timeoutMs;
    if (ms != 0) t.deadline = Clock::now() + std::chrono::milliseconds(ms);
    w.pending.push_back(t);
    w.Serve(index);
    w.changed.notify_all();  // the timer looks at the new deadline
  }
  return Fail(ERROR_IO_PENDING);
}

BOOL WINAPI AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  State& w = World();
  std::lock_guard lock(w.mutex);
  State::Interface* iface = w.InterfaceOf(handle);
  if (!iface) return Fail(ERROR_INVALID_HANDLE);
  if (!w.Alive(iface->device, iface->generation)) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  if (!iface->policies.count(pipe)) return Fail(ERROR_INVALID_PARAMETER);
  const std::uintptr_t key = Key(handle);
  w.EndPending([&](const State::Transfer& t) { return t.interface == key && t.pipe == pipe; },
               ERROR_OPERATION_ABORTED);
  return TRUE;
}

BOOL WINAPI GetOverlappedResultSim(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                   LPDWORD moved, BOOL wait) {
  State& w = World();
  std::unique_lock lock(w.mutex);
  if (!w.interfaces.count(Key(handle))) return Fail(ERROR_INVALID_HANDLE);
  if (overlapped == nullptr || moved == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto inFlight = [&] {
    return std::any_of(w.pending.begin(), w.pending.end(),
                       [&](const State::Transfer& t) { return t.overlapped == overlapped; });
  };
  if (inFlight()) {
    if (!wait) return Fail(ERROR_IO_INCOMPLETE);
    w.changed.wait(lock, [&] { return !inFlight(); });
  }
  const auto it = w.results.find(overlapped);
  if (it == w.results.end()) return Fail(ERROR_INVALID_PARAMETER);  // no transfer of ours
  const State::Result r = it->second;
  w.results.erase(it);
  *moved = r.bytes;
  return r.error == ERROR_SUCCESS ? TRUE : Fail(r.error);
}

}  // namespace

SimulatedWindows::SimulatedWindows(std::vector<SimulatedDevice> devices, WorldOptions options)
    : state_(std::make_unique<State>()) {
  if (g_state != nullptr) throw std::logic_error("one simulated Windows at a time");
  State& w = *state_;
  w.options = options;
  std::set<std::string> serials;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    auto d = std::make_unique<State::Device>();
    d->described = devices[i];
    d->programmer = std::make_unique<VirtualProgrammer>(devices[i].settings);
    d->programmer->faults() = devices[i].faults;
    d->attached = devices[i].attached &&
                  !(options.lastArrivesOnReset && devices.size() > 1 && i + 1 == devices.size());
    d->heldElsewhere = devices[i].heldElsewhere;
    d->announced = d->attached && d->described.carriesGuid;  // there before anyone asked
    d->reenumerationDelay = devices[i].reenumerationDelay;
    // A serial number another device already goes by is not taken: Windows names the second
    // device by its port, as it does one without a serial number.
    const std::string& serial = devices[i].serial;
    const bool bySerial = UsableSerial(serial) && serials.insert(serial).second;
    char prefix[40];
    std::snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X\\", usb::kVendorId,
                  devices[i].carriesGuid ? usb::kProgrammerProductId : usb::kDecoyProductId);
    d->instanceId = prefix + (bySerial ? serial : GeneratedInstancePart(devices[i].port));
    std::string path = d->instanceId;
    std::replace(path.begin(), path.end(), '\\', '#');
    d->interfacePath = "\\\\?\\" + path + "#" + LowerCase(link::DeviceInterfaceGuid.ToString());
    d->locationPaths = LocationPathsOf(devices[i].port, devices[i].acpiPathFirst);
    w.devices.push_back(std::move(d));
  }
  link::winusb::WinUsbApi& api = w.api;
  api.SetupDiGetClassDevsA = &GetClassDevs;
  api.SetupDiEnumDeviceInfo = &EnumDeviceInfo;
  api.SetupDiEnumDeviceInterfaces = &EnumDeviceInterfaces;
  api.SetupDiGetDeviceInterfaceDetailA = &GetInterfaceDetail;
  api.SetupDiDestroyDeviceInfoList = &DestroyList;
  api.SetupDiGetDeviceInstanceIdA = &GetInstanceId;
  api.SetupDiGetDeviceRegistryPropertyA = &GetRegistryProperty;
  api.RegisterDeviceNotificationW = &RegisterNotification;
  api.UnregisterDeviceNotification = &UnregisterNotification;
  api.CreateFileA = &CreateFileSim;
  api.CloseHandle = &CloseSim;
  api.GetLastError = &LastErrorSim;
  api.WinUsb_Initialize = &Initialize;
  api.WinUsb_Free = &Free;
  api.WinUsb_QueryInterfaceSettings = &QueryInterfaceSettings;
  api.WinUsb_QueryPipe = &QueryPipe;
  api.WinUsb_SetPipePolicy = &SetPipePolicy;
  api.WinUsb_ReadPipe = &ReadPipe;
  api.WinUsb_WritePipe = &WritePipe;
  api.WinUsb_AbortPipe = &AbortPipe;
  api.WinUsb_GetOverlappedResult = &GetOverlappedResultSim;
  w.timeline = options.timeline;
  std::stable_sort(w.timeline.begin(), w.timeline.end(),
                   [](const TimedAction& a, const TimedAction& b) { return a.at < b.at; });
  g_state = &w;
  w.timer = std::thread([&w] { w.RunTimer(); });
  w.notifier = std::thread([&w] { w.RunNotifier(); });
}

SimulatedWindows::~SimulatedWindows() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_all();
    state_->noticed.notify_all();
  }
  state_->timer.join();
  state_->notifier.join();
  g_state = nullptr;
}

const link::winusb::WinUsbApi& SimulatedWindows::api() const {
  return state_->api;
}

std::size_t SimulatedWindows::size() const {
  return state_->devices.size();
}

std::string SimulatedWindows::InstanceId(std::size_t index) const {
  return state_->devices.at(index)->instanceId;
}
std::string SimulatedWindows::InterfacePath(std::size_t index) const {
  return state_->devices.at(index)->interfacePath;
}
std::string SimulatedWindows::LocationPaths(std::size_t index) const {
  return state_->devices.at(index)->locationPaths;
}

SimulatedWindows::Access::Access(SimulatedWindows& world, std::size_t index)
    : world_(world), index_(index), lock_(world.state_->mutex) {
  if (index >= world.state_->devices.size()) throw std::out_of_range("no such device");
}

SimulatedWindows::Access::~Access() {
  State& w = *world_.state_;
  w.AfterDeviceActed(index_);
  w.Serve(index_);
}

VirtualProgrammer& SimulatedWindows::Access::programmer() {
  return *world_.state_->devices[index_]->programmer;
}

void SimulatedWindows::Unplug(std::size_t index) {
  State& w = *state_;
  std::lock_guard lock(w.mutex);
  if (index >= w.devices.size()) throw std::out_of_range("no such device");
  w.Unplug(index);
}

void SimulatedWindows::Replug(std::size_t index) {
  State& w = *state_;
  std::lock_guard lock(w.mutex);
  if (index >= w.devices.size()) throw std::out_of_range("no such device");
  w.Replug(index);
}

void SimulatedWindows::Reenumerate(std::size_t index) {
  State& w = *state_;
  std::lock_guard lock(w.mutex);
  if (index >= w.devices.size()) throw std::out_of_range("no such device");
  w.Reenumerate(index);
  w.changed.notify_all();
}

void SimulatedWindows::SetHeldElsewhere(std::size_t index, bool held) {
  std::lock_guard lock(state_->mutex);
  state_->devices.at(index)->heldElsewhere = held;
}

void SimulatedWindows::Stall(std::size_t index, std::uint8_t pipe, bool stalled) {
  State& w = *state_;
  std::lock_guard lock(w.mutex);
  State::Device& d = *w.devices.at(index);
  if (stalled) {
    d.stalled.insert(pipe);
    w.EndPending([&](const State::Transfer& t) { return t.device == index && t.pipe == pipe; },
                 ERROR_GEN_FAILURE);
  } else {
    d.stalled.erase(pipe);
  }
}

void SimulatedWindows::SetReenumerationDelay(std::size_t index, std::chrono::milliseconds delay) {
  std::lock_guard lock(state_->mutex);
  state_->devices.at(index)->reenumerationDelay = delay;
}

bool SimulatedWindows::OnTheBus(std::size_t index) const {
  std::lock_guard lock(state_->mutex);
  return index < state_->devices.size() && state_->Present(index);
}

std::size_t SimulatedWindows::reenumerations(std::size_t index) const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.at(index)->reenumerations;
}

std::size_t SimulatedWindows::opens(std::size_t index) const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.at(index)->opens;
}

int SimulatedWindows::heldSets() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->sets.size());
}
int SimulatedWindows::heldFiles() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->files.size());
}
int SimulatedWindows::heldInterfaces() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->interfaces.size());
}
int SimulatedWindows::registrations() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->registrations.size());
}
int SimulatedWindows::pendingTransfers() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->pending.size());
}

}  // namespace torv2::emulator::winusb
