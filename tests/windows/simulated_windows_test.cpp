// The simulated Windows through its raw function table, as a program on Windows would call it:
// SetupAPI's lists and size queries, what a device is called and where it is plugged in, one
// program per device file, overlapped transfers with their time-outs, partial reads, aborts,
// stalls, unplugging, and re-enumeration after "ResetNow".
#include "emulator/winusb/simulated_windows.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <future>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "emulator/winusb/simulated_usb_options.h"

namespace torv2::emulator::winusb {
namespace {

using namespace std::chrono_literals;

const GUID kProgrammer = {
    0xB91D9E33, 0x6927, 0x4B4D, {0xA4, 0x0D, 0x48, 0x4C, 0x31, 0x2B, 0x8C, 0x26}};
constexpr char kGuidPart[] = "#{b91d9e33-6927-4b4d-a40d-484c312b8c26}";

SimulatedDevice Device(std::string serial, UsbPort port = {}) {
  SimulatedDevice d;
  d.serial = std::move(serial);
  d.port = std::move(port);
  return d;
}

// What SetupAPI lists of the programmer's class: each device's instance ID, interface path and
// location paths, each read with a size query first.
struct Listed {
  std::string instanceId;
  std::string path;
  std::string locations;  // REG_MULTI_SZ
};

std::vector<Listed> ListThroughSetupApi(const link::winusb::WinUsbApi& api) {
  std::vector<Listed> out;
  const HDEVINFO set = api.SetupDiGetClassDevsA(&kProgrammer, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(set, INVALID_HANDLE_VALUE);
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!api.SetupDiEnumDeviceInfo(set, i, &device)) {
      EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    Listed l;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    EXPECT_TRUE(api.SetupDiEnumDeviceInterfaces(set, &device, &kProgrammer, 0, &iface));
    DWORD need = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &need, nullptr));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<std::uint64_t> block((need + 7) / 8);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    // One byte short is still too small.
    EXPECT_FALSE(
        api.SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, need - 1, nullptr, nullptr));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(api.SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, need, nullptr, nullptr));
    l.path = detail->DevicePath;

    DWORD idSize = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInstanceIdA(set, &device, nullptr, 0, &idSize));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::string id(idSize, '\0');
    EXPECT_TRUE(api.SetupDiGetDeviceInstanceIdA(set, &device, id.data(), idSize, nullptr));
    l.instanceId = id.c_str();

    DWORD type = 0, locSize = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_LOCATION_PATHS, &type,
                                                       nullptr, 0, &locSize));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::string locations(locSize, '\0');
    EXPECT_TRUE(api.SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_LOCATION_PATHS, &type,
                                                      reinterpret_cast<PBYTE>(locations.data()),
                                                      locSize, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    l.locations = locations;
    out.push_back(l);
  }
  EXPECT_TRUE(api.SetupDiDestroyDeviceInfoList(set));
  return out;
}

// --- identity ---

struct IdentityCase {
  const char* name;
  SimulatedDevice device;
  std::string instanceId;
  std::string locations;
};

void PrintTo(const IdentityCase& c, std::ostream* os) {
  *os << c.name;
}

class Identity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(Identity, AsSetupApiShowsIt) {
  const IdentityCase& c = GetParam();
  SimulatedWindows world({c.device});
  const auto listed = ListThroughSetupApi(world.api());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].instanceId, c.instanceId);
  std::string path = c.instanceId;
  for (char& ch : path) {
    if (ch == '\\') ch = '#';
  }
  EXPECT_EQ(listed[0].path, "\\\\?\\" + path + kGuidPart);
  EXPECT_EQ(listed[0].locations, c.locations);
  EXPECT_EQ(world.heldSets(), 0);
}

SimulatedDevice AcpiFirst(SimulatedDevice d) {
  d.acpiPathFirst = true;
  return d;
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Windows, Identity,
    ::testing::Values(
        IdentityCase{"Serial", Device("VIRTUAL1", {0x1400, {2}}),
                     R"(USB\VID_1209&PID_0001\VIRTUAL1)",
                     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)\0"
                     "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)\0\0"s},
        IdentityCase{"AcpiPathFirstBehindAHub", AcpiFirst(Device("SN7", {0x0D00, {1, 3}})),
                     R"(USB\VID_1209&PID_0001\SN7)",
                     "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS01)#USB(3)\0"
                     "PCIROOT(0)#PCI(0D00)#USBROOT(0)#USB(1)#USB(3)\0\0"s},
        // Without a serial number (or one Windows cannot take) the ID comes from the port.
        IdentityCase{"NoSerial", Device("", {0x1400, {3}}),
                     R"(USB\VID_1209&PID_0001\5&99454B9&0&3)",
                     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)\0"
                     "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS03)\0\0"s},
        IdentityCase{"SerialWithASpace", Device("A B", {0x1400, {3}}),
                     R"(USB\VID_1209&PID_0001\5&99454B9&0&3)",
                     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)\0"
                     "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS03)\0\0"s}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Identity, PortsMakeDifferentIdsAndAChangedSerialIsPassedOver) {
  SimulatedWindows world({Device("", {0x1400, {1}}), Device("", {0x0D00, {1}}),
                          Device("", {0x1400, {2, 1}}), Device("TWIN", {0x1400, {4}}),
                          Device("TWIN", {0x1400, {5}})});
  const auto listed = ListThroughSetupApi(world.api());
  ASSERT_EQ(listed.size(), 5u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NE(listed[i].instanceId.find('&', 22), std::string::npos) << listed[i].instanceId;
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(listed[i].instanceId, listed[j].instanceId);
  }
  EXPECT_EQ(listed[3].instanceId, R"(USB\VID_1209&PID_0001\TWIN)");
  // Two devices cannot share an ID: the second one goes by its port.
  EXPECT_NE(listed[4].instanceId, listed[3].instanceId);
  EXPECT_EQ(listed[4].instanceId.rfind("&0&5"), listed[4].instanceId.size() - 4);
}

TEST(SetupApi, ListsOnlyPresentDevicesOfTheClassAndChecksWhatItIsHanded) {
  SimulatedDevice decoy = Device("DECOY");
  decoy.carriesGuid = false;
  SimulatedDevice away = Device("AWAY");
  away.attached = false;
  SimulatedWindows world({decoy, Device("HERE"), away});
  const auto& api = world.api();
  const auto listed = ListThroughSetupApi(api);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].instanceId, R"(USB\VID_1209&PID_0001\HERE)");

  // Another class lists nothing; a set without the interface flag is refused.
  const GUID other{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const HDEVINFO set =
      api.SetupDiGetClassDevsA(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  EXPECT_FALSE(api.SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(api.SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(api.SetupDiGetClassDevsA(&kProgrammer, nullptr, nullptr, DIGCF_PRESENT),
            INVALID_HANDLE_VALUE);

  // A structure of the wrong size, a property that is not kept, a set already destroyed.
  const HDEVINFO ours = api.SetupDiGetClassDevsA(&kProgrammer, nullptr, nullptr,
                                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  device.cbSize = sizeof device + 4;
  EXPECT_FALSE(api.SetupDiEnumDeviceInfo(ours, 0, &device));
  EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  device.cbSize = sizeof device;
  ASSERT_TRUE(api.SetupDiEnumDeviceInfo(ours, 0, &device));
  DWORD size = 0;
  EXPECT_FALSE(api.SetupDiGetDeviceRegistryPropertyA(ours, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                     nullptr, 0, &size));
  EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_TRUE(api.SetupDiDestroyDeviceInfoList(ours));
  EXPECT_FALSE(api.SetupDiEnumDeviceInfo(ours, 0, &device));
  EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(world.heldSets(), 0);
}

// --- the device file ---

// An opened device: its file and its WinUSB interface, released in that order's reverse.
class Opened {
 public:
  Opened(const link::winusb::WinUsbApi& api, const std::string& path) : api_(api) {
    file_ = api.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
    error_ = api.GetLastError();
    if (file_ != INVALID_HANDLE_VALUE && !api.WinUsb_Initialize(file_, &usb_)) usb_ = nullptr;
  }
  ~Opened() {
    if (usb_) api_.WinUsb_Free(usb_);
    if (file_ != INVALID_HANDLE_VALUE) api_.CloseHandle(file_);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;

  bool ok() const { return usb_ != nullptr; }
  DWORD openError() const { return error_; }
  WINUSB_INTERFACE_HANDLE usb() const { return usb_; }

  void SetTimeout(UCHAR pipe, ULONG ms) {
    ASSERT_TRUE(api_.WinUsb_SetPipePolicy(usb_, pipe, PIPE_TRANSFER_TIMEOUT, sizeof ms, &ms));
  }

 private:
  const link::winusb::WinUsbApi& api_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE usb_ = nullptr;
  DWORD error_ = 0;
};

class Event {
 public:
  Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() { CloseHandle(handle_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct OpenCase {
  const char* name;
  DWORD share;
  bool heldElsewhere;
  bool openedHereFirst;
  std::string path;  // empty: the device's own, as SetupAPI gives it
  DWORD error;       // 0: opens
};

void PrintTo(const OpenCase& c, std::ostream* os) {
  *os << c.name;
}

class DeviceFile : public ::testing::TestWithParam<OpenCase> {};

TEST_P(DeviceFile, OneProgramAtATime) {
  const OpenCase& c = GetParam();
  SimulatedDevice device = Device("VIRTUAL1");
  device.heldElsewhere = c.heldElsewhere;
  SimulatedWindows world({device});
  const auto& api = world.api();
  std::optional<Opened> first;
  if (c.openedHereFirst) {
    first.emplace(api, world.InterfacePath(0));
    ASSERT_TRUE(first->ok());
  }
  const std::string path = c.path.empty() ? world.InterfacePath(0) : c.path;
  const HANDLE h = api.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, c.share, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (c.error == 0) {
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(api.CloseHandle(h));
  } else {
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), c.error);
  }
  first.reset();
  EXPECT_EQ(world.heldFiles(), 0);
  EXPECT_EQ(world.heldInterfaces(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DeviceFile,
    ::testing::Values(
        OpenCase{"Free", FILE_SHARE_READ | FILE_SHARE_WRITE, false, false, "", 0},
        OpenCase{"PathInOtherLetterCase", 0, false, false,
                 R"(\\?\usb#vid_1209&pid_0001#virtual1#{B91D9E33-6927-4B4D-A40D-484C312B8C26})", 0},
        OpenCase{"OpenHereAlready", FILE_SHARE_READ | FILE_SHARE_WRITE, false, true, "",
                 ERROR_ACCESS_DENIED},
        OpenCase{"OpenHereAlreadyNoSharing", 0, false, true, "", ERROR_ACCESS_DENIED},
        OpenCase{"HeldByAnotherProgram", FILE_SHARE_READ | FILE_SHARE_WRITE, true, false, "",
                 ERROR_ACCESS_DENIED},
        OpenCase{"NoSuchDevice", 0, false, false,
                 R"(\\?\USB#VID_1209&PID_0001#VIRTUAL9#{b91d9e33-6927-4b4d-a40d-484c312b8c26})",
                 ERROR_FILE_NOT_FOUND}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceFile, ClosingFreesItForTheNextOpenAndHeldCanBeLetGo) {
  SimulatedWindows world({Device("VIRTUAL1")});
  {
    Opened a(world.api(), world.InterfacePath(0));
    ASSERT_TRUE(a.ok());
  }
  Opened b(world.api(), world.InterfacePath(0));
  EXPECT_TRUE(b.ok());
  EXPECT_EQ(world.opens(0), 2u);

  world.SetHeldElsewhere(0, true);
  Opened c(world.api(), world.InterfacePath(0));
  EXPECT_EQ(c.openError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// --- transfers ---

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class Transfers : public ::testing::Test {
 protected:
  explicit Transfers(std::vector<SimulatedDevice> devices = {Device("VIRTUAL1")})
      : world_(std::move(devices)), api_(world_.api()) {}

  // Starts a read; false, with the error, when it fails at once.
  bool TryStartRead(std::size_t size, OVERLAPPED& o, std::vector<std::uint8_t>& buffer,
                    Opened& device, DWORD& error) {
    buffer.assign(size, 0);
    o = OVERLAPPED{};
    o.hEvent = event_.get();
    ResetEvent(event_.get());
    EXPECT_FALSE(api_.WinUsb_ReadPipe(device.usb(), 0x81, buffer.data(), static_cast<ULONG>(size),
                                      nullptr, &o));
    error = api_.GetLastError();
    return error == ERROR_IO_PENDING;
  }
  void StartRead(std::size_t size, OVERLAPPED& o, std::vector<std::uint8_t>& buffer,
                 Opened& device) {
    DWORD error = 0;
    ASSERT_TRUE(TryStartRead(size, o, buffer, device, error)) << error;
  }

  struct Ended {
    bool ok;
    DWORD error;
    std::string data;
  };
  // A whole read, waited for.
  Ended Read(Opened& device, std::size_t size) {
    OVERLAPPED o{};
    std::vector<std::uint8_t> buffer;
    DWORD error = 0;
    if (!TryStartRead(size, o, buffer, device, error)) return {false, error, ""};
    return Finish(device, o, buffer);
  }
  Ended Finish(Opened& device, OVERLAPPED& o, const std::vector<std::uint8_t>& buffer) {
    DWORD n = 0;
    const BOOL ok = api_.WinUsb_GetOverlappedResult(device.usb(), &o, &n, TRUE);
    const DWORD error = ok ? 0 : api_.GetLastError();
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 0), WAIT_OBJECT_0) << "the event was not set";
    return {ok != FALSE, error,
            std::string(buffer.begin(), buffer.begin() + std::min<std::size_t>(n, buffer.size()))};
  }
  Ended Write(Opened& device, std::string_view text, UCHAR pipe = 0x01) {
    std::string data(text);
    OVERLAPPED o{};
    o.hEvent = event_.get();
    ResetEvent(event_.get());
    const BOOL started =
        api_.WinUsb_WritePipe(device.usb(), pipe, reinterpret_cast<PUCHAR>(data.data()),
                              static_cast<ULONG>(data.size()), nullptr, &o);
    if (!started && api_.GetLastError() != ERROR_IO_PENDING) {
      return {false, api_.GetLastError(), ""};
    }
    DWORD n = 0;
    const BOOL ok = api_.WinUsb_GetOverlappedResult(device.usb(), &o, &n, TRUE);
    return {ok != FALSE, ok ? 0 : api_.GetLastError(), std::to_string(n)};
  }
  void DeviceSends(std::size_t index, std::string_view text) {
    world_.WithProgrammer(index, [&](VirtualProgrammer& p) { p.SendRaw(Bytes(text)); });
  }

  SimulatedWindows world_;
  const link::winusb::WinUsbApi& api_;
  Event event_;
};

TEST_F(Transfers, ATimedOutReadLeavesLateDataForTheNext) {
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  device.SetTimeout(0x81, 30);
  const auto start = std::chrono::steady_clock::now();
  const Ended first = Read(device, 64);
  EXPECT_FALSE(first.ok);
  EXPECT_EQ(first.error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  EXPECT_EQ(first.data, "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);

  DeviceSends(0, "$OK#9a");
  const Ended second = Read(device, 64);
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(second.data, "$OK#9a");
}

TEST_F(Transfers, APendingReadTakesWhatTheDeviceSendsLater) {
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  OVERLAPPED o{};
  std::vector<std::uint8_t> buffer;
  StartRead(64, o, buffer, device);
  DWORD n = 0;
  EXPECT_FALSE(api_.WinUsb_GetOverlappedResult(device.usb(), &o, &n, FALSE));
  EXPECT_EQ(api_.GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  EXPECT_EQ(WaitForSingleObject(o.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // The host's command makes the device answer: '+' and the reply, in one packet.
  EXPECT_TRUE(Write(device, "$gCurrentStatus#ce").ok);
  const Ended r = Finish(device, o, buffer);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.data, "+");
  EXPECT_EQ(Read(device, 64).data, "$Ready.#23");
}

struct PacketCase {
  const char* name;
  std::vector<std::string> deviceWrites;
  std::vector<std::size_t> reads;  // buffer sizes, in order
  std::vector<std::string> got;
  UCHAR autoFlush = 0;
};

void PrintTo(const PacketCase& c, std::ostream* os) {
  *os << c.name;
}

class Packets : public Transfers, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(Packets, ReadsEndOnAShortPacketOrAFullBuffer) {
  const PacketCase& c = GetParam();
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  device.SetTimeout(0x81, 20);
  ASSERT_TRUE(api_.WinUsb_SetPipePolicy(device.usb(), 0x81, AUTO_FLUSH, 1,
                                        const_cast<UCHAR*>(&c.autoFlush)));
  for (const std::string& w : c.deviceWrites) DeviceSends(0, w);
  std::vector<std::string> got;
  for (std::size_t size : c.reads) got.push_back(Read(device, size).data);
  EXPECT_EQ(got, c.got);
}

const std::string k64(64, 'a');
const std::string k36(36, 'b');
INSTANTIATE_TEST_SUITE_P(
    Windows, Packets,
    ::testing::Values(
        // 100 bytes are a full packet and a short one: one read of 512 takes both.
        PacketCase{"ShortPacketEndsTheRead", {k64 + k36, "next"}, {512, 512}, {k64 + k36, "next"}},
        PacketCase{"FullBufferEndsTheRead", {k64 + k36}, {64, 512}, {k64, k36}},
        // The rest of a packet that did not fit comes with the next read (ALLOW_PARTIAL_READS).
        PacketCase{"RestOfAPacketIsKept", {"$Ready.#23"}, {1, 1, 64}, {"$", "R", "eady.#23"}},
        PacketCase{"AutoFlushDropsTheRest", {"$Ready.#23", "x"}, {1, 64}, {"$", "x"}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transfers, AbortEndsAPendingReadAndTheDataStaysQueued) {
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  OVERLAPPED o{};
  std::vector<std::uint8_t> buffer;
  StartRead(64, o, buffer, device);
  EXPECT_TRUE(api_.WinUsb_AbortPipe(device.usb(), 0x81));
  const Ended r = Finish(device, o, buffer);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  DeviceSends(0, "late");
  EXPECT_EQ(Read(device, 64).data, "late");
  EXPECT_EQ(world_.pendingTransfers(), 0);
}

struct StallCase {
  const char* name;
  UCHAR stalled;
  bool pendingFirst;  // a read waits when the pipe stalls
};

void PrintTo(const StallCase& c, std::ostream* os) {
  *os << c.name;
}

class Stalls : public Transfers, public ::testing::WithParamInterface<StallCase> {};

TEST_P(Stalls, FailWithGenFailureUntilCleared) {
  const StallCase& c = GetParam();
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  if (c.pendingFirst) {
    OVERLAPPED o{};
    std::vector<std::uint8_t> buffer;
    StartRead(64, o, buffer, device);
    world_.Stall(0, c.stalled);
    const Ended r = Finish(device, o, buffer);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
  } else {
    world_.Stall(0, c.stalled);
  }
  const Ended r = c.stalled == 0x81 ? Read(device, 64) : Write(device, "$gCurrentStatus#ce");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_GEN_FAILURE));

  world_.Stall(0, c.stalled, false);
  EXPECT_TRUE(Write(device, "$gCurrentStatus#ce").ok);
  EXPECT_EQ(Read(device, 64).data, "+");
}

INSTANTIATE_TEST_SUITE_P(Windows, Stalls,
                         ::testing::Values(StallCase{"In", 0x81, false},
                                           StallCase{"InWhileReading", 0x81, true},
                                           StallCase{"Out", 0x01, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transfers, UnpluggedEveryCallFailsAndTheHandleStaysDead) {
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  OVERLAPPED o{};
  std::vector<std::uint8_t> buffer;
  StartRead(64, o, buffer, device);
  world_.Unplug(0);
  EXPECT_EQ(Finish(device, o, buffer).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

  const auto fails = [&](const char* call, BOOL ok) {
    EXPECT_FALSE(ok) << call;
    EXPECT_EQ(api_.GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)) << call;
  };
  std::uint8_t b[64];
  OVERLAPPED o2{};
  o2.hEvent = event_.get();
  USB_INTERFACE_DESCRIPTOR settings{};
  WINUSB_PIPE_INFORMATION pipe{};
  ULONG ms = 10;
  fails("read", api_.WinUsb_ReadPipe(device.usb(), 0x81, b, sizeof b, nullptr, &o2));
  fails("write", api_.WinUsb_WritePipe(device.usb(), 0x01, b, sizeof b, nullptr, &o2));
  fails("abort", api_.WinUsb_AbortPipe(device.usb(), 0x81));
  fails("settings", api_.WinUsb_QueryInterfaceSettings(device.usb(), 0, &settings));
  fails("pipe", api_.WinUsb_QueryPipe(device.usb(), 0, 0, &pipe));
  fails("policy", api_.WinUsb_SetPipePolicy(device.usb(), 0x81, PIPE_TRANSFER_TIMEOUT, 4, &ms));
  EXPECT_TRUE(ListThroughSetupApi(api_).empty());
  Opened whileAway(api_, world_.InterfacePath(0));
  EXPECT_EQ(whileAway.openError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // Back again: the old handle stays dead, a new open works.
  world_.Replug(0);
  fails("read after replug", api_.WinUsb_ReadPipe(device.usb(), 0x81, b, sizeof b, nullptr, &o2));
  Opened again(api_, world_.InterfacePath(0));
  EXPECT_TRUE(again.ok());
}

// --- re-enumeration ---

class Reenumeration : public Transfers {
 protected:
  Reenumeration() : Transfers({Device("VIRTUAL1"), Device("", {0x1400, {2}})}) {}

  // The host tells device `index` to restart and reads the acknowledgement.
  void ResetNow(Opened& device) {
    ASSERT_TRUE(Write(device, "$gResetNow#9e").ok);
    EXPECT_EQ(Read(device, 64).data, "+");
  }
};

TEST_F(Reenumeration, ComesBackUnderTheSameIdAndPathWithTheOldHandleDead) {
  for (std::size_t index : {0u, 1u}) {
    SCOPED_TRACE(index == 0 ? "with a serial number" : "without one");
    const auto before = ListThroughSetupApi(api_);
    Opened device(api_, world_.InterfacePath(index));
    ASSERT_TRUE(device.ok());
    ResetNow(device);
    EXPECT_EQ(world_.reenumerations(index), 1u);
    EXPECT_EQ(Read(device, 64).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(Write(device, "x").error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    const auto after = ListThroughSetupApi(api_);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      EXPECT_EQ(after[i].instanceId, before[i].instanceId);
      EXPECT_EQ(after[i].path, before[i].path);
    }
    // The dead handle does not hold the device: a new open works while the old one is open.
    Opened again(api_, world_.InterfacePath(index));
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(Write(again, "$gCurrentStatus#ce").ok);
    EXPECT_EQ(Read(again, 64).data, "+");
  }
}

TEST_F(Reenumeration, OffTheBusForItsDelayAndWithNothingQueuedUntilTheAckIsRead) {
  world_.SetReenumerationDelay(0, std::chrono::hours(1));
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  ASSERT_TRUE(Write(device, "$gResetNow#9e").ok);
  EXPECT_TRUE(world_.OnTheBus(0)) << "left before the host read the acknowledgement";
  EXPECT_EQ(Read(device, 64).data, "+");
  EXPECT_FALSE(world_.OnTheBus(0));
  const auto listed = ListThroughSetupApi(api_);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].path, world_.InterfacePath(1));
}

// The knob does what "ResetNow" does, without the command; Replug() ends the delay.
TEST_F(Reenumeration, ByTheKnobTheDeviceIsAwayUntilReplugged) {
  world_.SetReenumerationDelay(0, std::chrono::hours(1));
  Opened device(api_, world_.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  DeviceSends(0, "$OK#9a");
  world_.Reenumerate(0);
  EXPECT_EQ(world_.reenumerations(0), 1u);
  EXPECT_FALSE(world_.OnTheBus(0));
  EXPECT_EQ(Read(device, 64).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  Opened whileAway(api_, world_.InterfacePath(0));
  EXPECT_EQ(whileAway.openError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  world_.Replug(0);
  EXPECT_TRUE(world_.OnTheBus(0));
  Opened again(api_, world_.InterfacePath(0));
  ASSERT_TRUE(again.ok());
  again.SetTimeout(0x81, 30);
  EXPECT_EQ(Read(again, 64).error, static_cast<DWORD>(ERROR_SEM_TIMEOUT))
      << "the firmware restarted: nothing it queued before is left";
  EXPECT_TRUE(Write(again, "$gCurrentStatus#ce").ok);
  EXPECT_EQ(Read(again, 64).data, "+");
}

TEST(LastArrivesOnReset, TheLastDeviceIsPluggedInWhenAnotherRestarts) {
  SimulatedWindows world({Device("VIRTUAL1"), Device("VIRTUAL2")}, {.lastArrivesOnReset = true});
  const auto& api = world.api();
  ASSERT_EQ(ListThroughSetupApi(api).size(), 1u);
  EXPECT_FALSE(world.OnTheBus(1));
  Opened device(api, world.InterfacePath(0));
  ASSERT_TRUE(device.ok());
  ULONG ms = 1000;
  ASSERT_TRUE(api.WinUsb_SetPipePolicy(device.usb(), 0x81, PIPE_TRANSFER_TIMEOUT, 4, &ms));
  std::string command = "$gResetNow#9e";
  ULONG n = 0;
  ASSERT_TRUE(api.WinUsb_WritePipe(device.usb(), 0x01, reinterpret_cast<PUCHAR>(command.data()),
                                   static_cast<ULONG>(command.size()), &n, nullptr));
  std::uint8_t ack = 0;
  ASSERT_TRUE(api.WinUsb_ReadPipe(device.usb(), 0x81, &ack, 1, &n, nullptr));
  EXPECT_EQ(ack, '+');
  EXPECT_TRUE(world.OnTheBus(1));
  EXPECT_EQ(ListThroughSetupApi(api).size(), 2u);
}

// --- the set-up from a command line ---

// --- device notifications ---

// A message-only window on a thread of its own, registered through the table for `filterClass`,
// that writes down each WM_DEVICECHANGE it is sent: "+PATH" for an arrival, "-PATH" for a removal.
class NotifiedWindow {
 public:
  NotifiedWindow(const link::winusb::WinUsbApi& api, const GUID& filterClass) : api_(api) {
    std::promise<void> ready;
    thread_ = std::thread([&] {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof windowClass;
      windowClass.lpfnWndProc = &Proc;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.lpszClassName = L"torv2-test-notified";
      RegisterClassExW(&windowClass);  // fails harmlessly the second time
      window_ = CreateWindowExW(0, L"torv2-test-notified", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
      SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = filterClass;
      handle_ = api_.RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
      ready.set_value();
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
      DestroyWindow(window_);
    });
    ready.get_future().wait();
  }
  ~NotifiedWindow() {
    if (handle_ != nullptr) api_.UnregisterDeviceNotification(handle_);
    PostMessageW(window_, WM_APP, 0, 0);
    thread_.join();
  }
  bool registered() const { return handle_ != nullptr; }
  // What the window was told, once it holds `count` notices or a generous while has passed.
  std::vector<std::string> Told(std::size_t count) {
    std::unique_lock lock(mutex_);
    told_changed_.wait_for(lock, 10s, [&] { return told_.size() >= count; });
    return told_;
  }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<NotifiedWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_APP) PostQuitMessage(0);
    if (message != WM_DEVICECHANGE || self == nullptr) {
      return DefWindowProcW(window, message, wParam, lParam);
    }
    const auto* event = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    std::string path;
    for (const wchar_t* c = event->dbcc_name; *c; ++c) path.push_back(static_cast<char>(*c));
    std::lock_guard lock(self->mutex_);
    self->told_.push_back((wParam == DBT_DEVICEARRIVAL ? "+" : "-") + path);
    self->told_changed_.notify_all();
    return TRUE;
  }

  const link::winusb::WinUsbApi& api_;
  HWND window_ = nullptr;
  HDEVNOTIFY handle_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable told_changed_;
  std::vector<std::string> told_;
};

TEST(Notifications, EveryArrivalAndRemovalInOrderAndNothingForOtherClasses) {
  SimulatedDevice later = Device("VIRTUAL2", {0x1400, {2}});
  later.attached = false;
  SimulatedWindows world({Device("VIRTUAL1"), later});
  const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  NotifiedWindow programmers(world.api(), kProgrammer);
  NotifiedWindow others(world.api(), other);
  ASSERT_TRUE(programmers.registered());
  ASSERT_TRUE(others.registered());
  EXPECT_EQ(world.registrations(), 2);

  const std::string one = world.InterfacePath(0), two = world.InterfacePath(1);
  world.Unplug(0);
  world.Replug(0);
  world.Replug(1);       // plugged in for the first time
  world.Reenumerate(0);  // "ResetNow": away and back at once (no delay)
  world.SetReenumerationDelay(1, 30ms);
  world.Reenumerate(1);  // back after its delay, told then
  EXPECT_EQ(programmers.Told(7),
            (std::vector<std::string>{"-" + one, "+" + one, "+" + two, "-" + one, "+" + one,
                                      "-" + two, "+" + two}));
  EXPECT_TRUE(others.Told(0).empty());
  // Arrivals are told once the device is on the bus: SetupAPI lists it by then.
  EXPECT_TRUE(world.OnTheBus(1));

  const HDEVNOTIFY bogus = reinterpret_cast<HDEVNOTIFY>(0x1);
  EXPECT_FALSE(world.api().UnregisterDeviceNotification(bogus));
  EXPECT_EQ(world.api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The timeline plugs devices in and out as a person would, and Windows says so.
TEST(Notifications, TheTimelineIsTold) {
  SimulatedDevice later = Device("VIRTUAL2", {0x1400, {2}});
  later.attached = false;
  SimulatedDevice first = Device("VIRTUAL1");
  WorldOptions options;
  // Well after the window below has registered (the timeline runs from the world's start).
  options.timeline = {{TimedAction::Action::Plug, 1, 500ms},
                      {TimedAction::Action::Replug, 0, 600ms}};
  SimulatedWindows world({first, later}, options);
  NotifiedWindow window(world.api(), kProgrammer);
  const std::string one = world.InterfacePath(0), two = world.InterfacePath(1);
  EXPECT_EQ(window.Told(3), (std::vector<std::string>{"+" + two, "-" + one, "+" + one}));
  EXPECT_TRUE(world.OnTheBus(0));
  EXPECT_TRUE(world.OnTheBus(1));
}

TEST(SimulatedUsbOptions, TheTimelineAndItsKnobs) {
  std::string error;
  const auto setup = ParseSimulatedUsb(
      "--count 3 --at 1500:plug:2 --at 300:unplug:1 --status Already. --status-on 3 "
      "--comes-back-after 200 --interrupt-event stop-here",
      error);
  ASSERT_TRUE(setup) << error;
  ASSERT_EQ(setup->devices.size(), 3u);
  EXPECT_TRUE(setup->devices[0].attached);
  EXPECT_FALSE(setup->devices[1].attached);  // off the bus until it is plugged in
  EXPECT_NE(setup->devices[0].settings.statusReply, "Already.");
  EXPECT_EQ(setup->devices[2].settings.statusReply, "Already.");
  EXPECT_EQ(setup->devices[0].comesBackAfter, std::optional(200ms));
  ASSERT_EQ(setup->options.timeline.size(), 2u);
  EXPECT_EQ(setup->options.timeline[0].device, 1u);
  EXPECT_EQ(setup->options.timeline[0].at, 1500ms);
  EXPECT_EQ(setup->interruptEvent, "stop-here");
  for (const char* wrong :
       {"--at 100:plug:4", "--at 100:jump:1", "--at x:plug:1", "--at 100:plug:0"}) {
    EXPECT_FALSE(ParseSimulatedUsb(std::string("--count 3 ") + wrong, error)) << wrong;
  }
}

TEST(SimulatedUsbOptions, TakeTheLauncherNames) {
  std::string error;
  const auto setup = ParseSimulatedUsb(
      "--count 3 --fault chunk-ack:3:unplug --faults-on 2 --held VIRTUAL3 --status 'Already.' "
      "--high-speed --serial ''",
      error);
  ASSERT_TRUE(setup.has_value()) << error;
  ASSERT_EQ(setup->devices.size(), 3u);
  EXPECT_EQ(setup->devices[0].serial, "");
  EXPECT_EQ(setup->devices[1].settings.statusReply, "Already.");
  EXPECT_EQ(setup->devices[1].settings.maxPacketSize, 512);
  EXPECT_FALSE(setup->devices[0].faults.atStep.has_value());
  ASSERT_TRUE(setup->devices[1].faults.atStep.has_value());
  EXPECT_EQ(setup->devices[1].faults.atStep->occurrence, 3);
  EXPECT_EQ(setup->devices[1].faults.atStep->kind, FaultKind::Unplug);
  EXPECT_EQ(setup->devices[2].port.ports, std::vector<std::uint8_t>{3});

  const auto held = ParseSimulatedUsb("--two --held VIRTUAL2", error);
  ASSERT_TRUE(held.has_value()) << error;
  EXPECT_FALSE(held->devices[0].heldElsewhere);
  EXPECT_TRUE(held->devices[1].heldElsewhere);

  for (const char* bad : {"--fault chunk-ack:x:unplug", "--count", "--bogus", "--serial 'open"}) {
    EXPECT_FALSE(ParseSimulatedUsb(bad, error).has_value()) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace
}  // namespace torv2::emulator::winusb
