// Which programmer the WinUSB transport takes: the serial number from the device instance ID, the
// port from the location paths (each from untrusted registry data), the listing of several
// programmers, opening one by its serial number, port or interface path, the same one again after
// it restarts and no other while it is away, a programmer another program holds, and which
// transfer errors mean the device is gone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "link/usb_link.h"
#include "link/winusb/device_identity.h"
#include "link/winusb/winusb_transport.h"
#include "tests/windows/fake_winusb.h"

namespace torv2::link::winusb {
namespace {

using ::testing::ElementsAre;
using testing::FakeDevice;
using testing::FakeWinUsb;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::MultiSz;
using testing::ScriptedTransfer;

constexpr std::chrono::milliseconds kSetup{10'000};

std::vector<std::string> Creates(const FakeWinUsb& fake) {
  std::vector<std::string> out;
  for (const auto& c : fake.calls()) {
    if (c.rfind("CreateFileA ", 0) == 0) out.push_back(c.substr(12, c.find(' ', 12) - 12));
  }
  return out;
}

// --- the serial number in the instance ID ---

struct InstanceIdCase {
  const char* name;
  std::string instanceId;
  std::string serial;
};

void PrintTo(const InstanceIdCase& c, std::ostream* os) {
  *os << c.name;
}

class SerialFromInstanceIdTest : public ::testing::TestWithParam<InstanceIdCase> {};

TEST_P(SerialFromInstanceIdTest, TakesOnlyASerialNumberTheDeviceGave) {
  EXPECT_EQ(SerialFromInstanceId(GetParam().instanceId), GetParam().serial);
}

INSTANTIATE_TEST_SUITE_P(
    InstanceIds, SerialFromInstanceIdTest,
    ::testing::Values(
        InstanceIdCase{"Serial", R"(USB\VID_1209&PID_7A72\TORV2-0042)", "TORV2-0042"},
        InstanceIdCase{"LowerCase", R"(usb\vid_1209&pid_7a72\a1b2)", "a1b2"},
        InstanceIdCase{"GeneratedByWindows", R"(USB\VID_1209&PID_7A72\5&2C0F7B3E&0&2)", ""},
        InstanceIdCase{"InterfaceOfACompositeDevice",
                       R"(USB\VID_1209&PID_7A72&MI_00\7&1A2B3C&0&0000)", ""},
        InstanceIdCase{"Empty", "", ""},
        InstanceIdCase{"NoSerialPart", R"(USB\VID_1209&PID_7A72\)", ""},
        InstanceIdCase{"TwoParts", R"(USB\VID_1209&PID_7A72)", ""},
        InstanceIdCase{"FourParts", R"(USB\VID_1209&PID_7A72\AB\CD)", ""},
        InstanceIdCase{"NoHardwarePart", R"(USB\\0042)", ""},
        InstanceIdCase{"NotUsb", R"(HID\VID_1209&PID_7A72\0042)", ""},
        InstanceIdCase{"Space", R"(USB\VID_1209&PID_7A72\AB CD)", ""},
        InstanceIdCase{"Comma", R"(USB\VID_1209&PID_7A72\AB,CD)", ""},
        InstanceIdCase{"ControlCharacter",
                       "USB\\VID_1209&PID_7A72\\AB\x1b"
                       "CD",
                       ""},
        InstanceIdCase{"NotAscii", "USB\\VID_1209&PID_7A72\\AB\xc3\xa9", ""},
        InstanceIdCase{"LongestWindowsMakes", R"(USB\VID_1209&PID_7A72\)" + std::string(177, 'S'),
                       std::string(177, 'S')},
        InstanceIdCase{"Overlong", R"(USB\VID_1209&PID_7A72\)" + std::string(178, 'S'), ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the port in the location paths ---

struct LocationCase {
  const char* name;
  std::string data;  // SPDRP_LOCATION_PATHS as SetupAPI returns it
  std::string port;  // empty: none
  std::string locationPath;
};

void PrintTo(const LocationCase& c, std::ostream* os) {
  *os << c.name;
}

class PortFromLocationPathsTest : public ::testing::TestWithParam<LocationCase> {};

TEST_P(PortFromLocationPathsTest, NamesTheControllerAndThePorts) {
  const std::string& data = GetParam().data;
  const auto port =
      PortFromLocationPaths({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
  if (GetParam().port.empty()) {
    EXPECT_EQ(port, std::nullopt) << port->name;
  } else {
    ASSERT_NE(port, std::nullopt);
    EXPECT_EQ(port->name, GetParam().port);
    EXPECT_EQ(port->locationPath, GetParam().locationPath);
  }
}

constexpr char kAcpi[] = "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)";
constexpr char kRootPort[] = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";

INSTANTIATE_TEST_SUITE_P(
    LocationPaths, PortFromLocationPathsTest,
    ::testing::Values(
        LocationCase{"RootHubPort", MultiSz({kRootPort, kAcpi}), "pci1400-2", kRootPort},
        LocationCase{"AcpiEntryFirst", MultiSz({kAcpi, kRootPort}), "pci1400-2", kRootPort},
        LocationCase{"NestedHubs",
                     MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)#USB(4)"}),
                     "pci1400-2.3.4", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)#USB(4)"},
        // Other controllers on the same ports get other names.
        LocationCase{"SecondController", MultiSz({"PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)"}),
                     "pci1A00-2", "PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)"},
        LocationCase{"ControllerBehindABridge",
                     MultiSz({"PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(2)"}),
                     "pci1C04.0000-2", "PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(2)"},
        LocationCase{"SecondPciRoot", MultiSz({"PCIROOT(1)#PCI(1400)#USBROOT(0)#USB(2)"}),
                     "pci1:1400-2", "PCIROOT(1)#PCI(1400)#USBROOT(0)#USB(2)"},
        LocationCase{"SecondUsbRoot", MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(1)#USB(2)"}),
                     "pci1400/1-2", "PCIROOT(0)#PCI(1400)#USBROOT(1)#USB(2)"},
        LocationCase{"LowerCaseHexIsTheSameController",
                     MultiSz({"PCIROOT(0)#PCI(1c04)#USBROOT(0)#USB(2)"}), "pci1C04-2",
                     "PCIROOT(0)#PCI(1c04)#USBROOT(0)#USB(2)"},
        LocationCase{"InterfaceOfACompositeDevice",
                     MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)"}), "pci1400-2",
                     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)"},
        LocationCase{"MalformedFirstThenGood",
                     MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)", kRootPort}), "pci1400-2",
                     kRootPort},
        LocationCase{"StringEndsWithoutTheListsEmptyOne", std::string(kRootPort) + '\0',
                     "pci1400-2", kRootPort},
        LocationCase{"SixHubs",
                     MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)#USB(3)#USB(4)#USB(5)#"
                              "USB(6)#USB(7)"}),
                     "pci1400-1.2.3.4.5.6.7",
                     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)#USB(3)#USB(4)#USB(5)#USB(6)#"
                     "USB(7)"},
        // No port.
        LocationCase{"NoPciRootEntry", MultiSz({kAcpi}), "", ""}, LocationCase{"Empty", "", "", ""},
        LocationCase{"EmptyList", std::string(1, '\0'), "", ""},
        LocationCase{"NoTerminator", kRootPort, "", ""},
        LocationCase{"AfterTheEndOfTheList",
                     std::string(kAcpi) + '\0' + '\0' + kRootPort + '\0' + '\0', "", ""},
        LocationCase{"NoPort", MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)"}), "", ""},
        LocationCase{"NoPciFunction", MultiSz({"PCIROOT(0)#USBROOT(0)#USB(2)"}), "", ""},
        LocationCase{"NoUsbRoot", MultiSz({"PCIROOT(0)#PCI(1400)#USB(2)"}), "", ""},
        LocationCase{"PortZero", MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(0)"}), "", ""},
        LocationCase{"PortTooLarge", MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(256)"}), "", ""},
        LocationCase{"NotHex", MultiSz({"PCIROOT(0)#PCI(14G0)#USBROOT(0)#USB(2)"}), "", ""},
        LocationCase{"FunctionTooLarge", MultiSz({"PCIROOT(0)#PCI(10000)#USBROOT(0)#USB(2)"}), "",
                     ""},
        LocationCase{"UnclosedElement", MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2"}), "", ""},
        LocationCase{"EmptyElement", MultiSz({"PCIROOT(0)#PCI(1400)##USBROOT(0)#USB(2)"}), "", ""},
        LocationCase{"TrailingHash", MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#"}), "", ""},
        LocationCase{"EmptyValue", MultiSz({"PCIROOT()#PCI(1400)#USBROOT(0)#USB(2)"}), "", ""},
        LocationCase{"NestedParentheses", MultiSz({"PCIROOT(0)#PCI((1400))#USBROOT(0)#USB(2)"}), "",
                     ""},
        LocationCase{"UnknownElementAfterThePorts",
                     MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#ACPI(HS02)"}), "", ""},
        LocationCase{"SevenHubs",
                     MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)#USB(3)#USB(4)#USB(5)#"
                              "USB(6)#USB(7)#USB(8)"}),
                     "", ""},
        LocationCase{"ControlCharacter", MultiSz({"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)\x1b"}),
                     "", ""},
        LocationCase{"Overlong",
                     MultiSz({"PCIROOT(0)#PCI(1400)#PCI(0000)" + std::string(480, '0') +
                              "#USBROOT(0)#USB(2)"}),
                     "", ""},
        LocationCase{"BeyondTheBytesRead", MultiSz({std::string(4095, 'A'), kRootPort}), "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the transport's list ---

// Three programmers: one with a serial number, one without (Windows made its instance ID up) on
// another controller, one whose location cannot be read.
class ThreeProgrammers : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.devices = {FakeDevice{}, FakeDevice{}, FakeDevice{}};
    fake.devices[0].path =
        R"(\\?\usb#vid_1209&pid_7a72#torv2-0042#{b91d9e33-6927-4b4d-a40d-484c312b8c26})";
    fake.devices[0].instanceId = R"(USB\VID_1209&PID_7A72\TORV2-0042)";
    fake.devices[0].locationPaths = MultiSz({kAcpi, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"});
    fake.devices[1].path =
        R"(\\?\usb#vid_1209&pid_7a72#5&2c0f7b3e&0&3#{b91d9e33-6927-4b4d-a40d-484c312b8c26})";
    fake.devices[1].instanceId = R"(USB\VID_1209&PID_7A72\5&2C0F7B3E&0&3)";
    fake.devices[1].locationPaths = MultiSz({"PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)#USB(3)"});
    fake.devices[2].path =
        R"(\\?\usb#vid_1209&pid_7a72#6&11&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26})";
    fake.devices[2].instanceId = R"(USB\VID_1209&PID_7A72\6&11&0&1)";
    fake.devices[2].locationFails = true;
  }

  FakeWinUsb fake;
};

TEST_F(ThreeProgrammers, ListsEachWithItsNameSerialPortAndPathWithoutOpeningAny) {
  WinUsbTransport transport(fake.api());
  const auto listed = transport.List(DeviceInterfaceGuid);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].name, "TORV2-0042");
  EXPECT_EQ(listed[0].serial, "TORV2-0042");
  EXPECT_EQ(listed[0].port, "pci1400-2");
  EXPECT_EQ(listed[0].locationPath, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)");
  EXPECT_EQ(listed[0].interfacePath, fake.devices[0].path);
  EXPECT_EQ(listed[0].instanceId, R"(USB\VID_1209&PID_7A72\TORV2-0042)");

  EXPECT_EQ(listed[1].name, "pci1A00-2.3");
  EXPECT_EQ(listed[1].serial, "");
  EXPECT_EQ(listed[1].port, "pci1A00-2.3");
  EXPECT_EQ(listed[1].interfacePath, fake.devices[1].path);
  EXPECT_EQ(listed[1].instanceId, R"(USB\VID_1209&PID_7A72\5&2C0F7B3E&0&3)");

  // Neither serial number nor port: the interface path, as a terminal may show it.
  EXPECT_EQ(listed[2].name,
            R"(\\\\?\\usb#vid_1209&pid_7a72#6&11&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26})");
  EXPECT_EQ(listed[2].port, "");
  EXPECT_EQ(listed[2].locationPath, "");

  EXPECT_THAT(Creates(fake), IsEmpty());
  EXPECT_EQ(fake.heldSets(), 0);
}

// Opening one of them by what names it.
struct ChoiceCase {
  const char* name;
  ProgrammerChoice choice;
  int opened;  // index of the device opened; -1: none
  std::string outcomeName;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
  *os << c.name;
}

class OpenChosenTest : public ThreeProgrammers, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(OpenChosenTest, OpensThatOneAndNoOther) {
  WinUsbTransport transport(fake.api(), WinUsbOptions{.only = GetParam().choice});
  const auto device = transport.OpenDevice(DeviceInterfaceGuid, kSetup);
  const OpenOutcome outcome = transport.LastOpenOutcome();
  if (GetParam().opened < 0) {
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(outcome.status, OpenStatus::NotFound);
    EXPECT_THAT(Creates(fake), IsEmpty());
    return;
  }
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(outcome.status, OpenStatus::Opened);
  EXPECT_EQ(outcome.name, GetParam().outcomeName);
  EXPECT_THAT(Creates(fake), ElementsAre(fake.devices[GetParam().opened].path));
}

INSTANTIATE_TEST_SUITE_P(
    Choices, OpenChosenTest,
    ::testing::Values(
        ChoiceCase{"Anyone", {}, 0, "TORV2-0042"},
        ChoiceCase{"BySerial", {"TORV2-0042", "", ""}, 0, "TORV2-0042"},
        ChoiceCase{"ByPort", {"", "pci1A00-2.3", ""}, 1, "pci1A00-2.3"},
        ChoiceCase{"ByPortOfOneWithASerial", {"", "pci1400-2", ""}, 0, "TORV2-0042"},
        ChoiceCase{
            "ByInterfacePath",
            {"", "",
             R"(\\?\usb#vid_1209&pid_7a72#6&11&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26})"},
            2,
            R"(\\\\?\\usb#vid_1209&pid_7a72#6&11&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26})"},
        ChoiceCase{
            "ByInterfacePathInOtherCase",
            {"", "",
             R"(\\?\USB#VID_1209&PID_7A72#5&2C0F7B3E&0&3#{B91D9E33-6927-4B4D-A40D-484C312B8C26})"},
            1,
            "pci1A00-2.3"},
        ChoiceCase{"SerialOfNoOne", {"TORV2-0043", "", ""}, -1, ""},
        // A serial number is compared as it is: the port does not stand in for it.
        ChoiceCase{"SerialWinsOverPort", {"TORV2-0043", "pci1400-2", ""}, -1, ""},
        ChoiceCase{"PortOfNoOne", {"", "pci1400-3", ""}, -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ThreeProgrammers, AListNarrowedByTheOptionsHoldsOnlyTheChosen) {
  WinUsbTransport transport(fake.api(), WinUsbOptions{.only = {"", "pci1A00-2.3", ""}});
  const auto listed = transport.List(DeviceInterfaceGuid);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].interfacePath, fake.devices[1].path);
}

// --- what SetupAPI gives, read with care ---

struct ReadCase {
  const char* name;
  std::function<void(FakeDevice&)> arrange;
  std::string serial;
  std::string port;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << c.name;
}

class IdentityReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(IdentityReadTest, BelievesOnlyWhatEndsInsideItsBuffer) {
  FakeWinUsb fake;
  GetParam().arrange(fake.devices[0]);
  WinUsbTransport transport(fake.api());
  const auto listed = transport.List(DeviceInterfaceGuid);
  ASSERT_EQ(listed.size(), 1u);  // listed all the same, by what is known
  EXPECT_EQ(listed[0].serial, GetParam().serial);
  EXPECT_EQ(listed[0].port, GetParam().port);
  EXPECT_EQ(fake.heldSets(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, IdentityReadTest,
    ::testing::Values(
        ReadCase{"AsGiven", [](FakeDevice&) {}, "0001", "pci1400-2"},
        ReadCase{"InstanceIdFails", [](FakeDevice& d) { d.idRead = FakeDevice::IdRead::kFails; },
                 "", "pci1400-2"},
        ReadCase{"InstanceIdWithoutNul",
                 [](FakeDevice& d) { d.idRead = FakeDevice::IdRead::kUnterminated; }, "",
                 "pci1400-2"},
        ReadCase{"InstanceIdLongerThanWindowsMakes",
                 [](FakeDevice& d) {
                   d.instanceId = R"(USB\VID_1209&PID_7A72\)" + std::string(200, 'S');
                 },
                 "", "pci1400-2"},
        ReadCase{"NoLocationPaths", [](FakeDevice& d) { d.locationFails = true; }, "0001", ""},
        ReadCase{"LocationNotAList", [](FakeDevice& d) { d.locationType = REG_SZ; }, "0001", ""},
        // More than the first buffer holds: read again at the size SetupAPI asks for.
        ReadCase{"LocationPathsLargerThanTheFirstBuffer",
                 [](FakeDevice& d) {
                   d.locationPaths = MultiSz({std::string(600, 'A'), kRootPort});
                 },
                 "0001", "pci1400-2"},
        ReadCase{"LocationPathsLargerThanBelieved",
                 [](FakeDevice& d) {
                   d.locationPaths = MultiSz({kRootPort, std::string(5000, 'A')});
                 },
                 "0001", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the same programmer again after it restarts ---

FakeDevice Programmer(const std::string& instancePart, const std::string& location) {
  FakeDevice d;
  d.instanceId = R"(USB\VID_1209&PID_7A72\)" + instancePart;
  d.path =
      R"(\\?\usb#vid_1209&pid_7a72#)" + instancePart + "#{b91d9e33-6927-4b4d-a40d-484c312b8c26}";
  d.locationPaths = MultiSz({location});
  return d;
}

const FakeDevice kFirst = Programmer("TORV2-0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)");
const FakeDevice kOther = Programmer("TORV2-0007", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)");

struct RestartCase {
  const char* name;
  ProgrammerChoice choice;         // how the transport was told which one
  std::vector<FakeDevice> before;  // attached at the first open
  std::vector<FakeDevice> away;    // while the opened one restarts
  std::vector<FakeDevice> back;    // once it is back, perhaps after another
  std::size_t opened;              // index in `before` of the one opened first
  std::size_t reopened;            // index in `back` of the one opened again
};

void PrintTo(const RestartCase& c, std::ostream* os) {
  *os << c.name;
}

class RestartTest : public ::testing::TestWithParam<RestartCase> {};

TEST_P(RestartTest, OpensTheSameOneAgainAndNoOtherWhileItIsAway) {
  const RestartCase& c = GetParam();
  FakeWinUsb fake;
  fake.devices = c.before;
  WinUsbTransport transport(fake.api(), WinUsbOptions{.only = c.choice});
  UsbLink link(transport);
  ASSERT_TRUE(link.OpenUsbLink());
  EXPECT_THAT(fake.openPaths(), ElementsAre(c.before[c.opened].path));
  transport.ProgrammerRestarts();
  link.CloseUsbLink();

  fake.devices = c.away;
  fake.ClearCalls();
  EXPECT_FALSE(link.OpenUsbLink());
  EXPECT_EQ(transport.LastOpenOutcome().status, OpenStatus::NotFound);
  EXPECT_THAT(Creates(fake), IsEmpty());

  fake.devices = c.back;
  fake.ClearCalls();
  ASSERT_TRUE(link.OpenUsbLink());
  EXPECT_THAT(Creates(fake), ElementsAre(c.back[c.reopened].path));
  link.CloseUsbLink();
  EXPECT_EQ(fake.heldFiles(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, RestartTest,
    ::testing::Values(
        // Taken as the first: while it is away, the other is not taken in its place.
        RestartCase{"FirstFoundBySerial", {}, {kFirst, kOther}, {kOther}, {kOther, kFirst}, 0, 1},
        RestartCase{"NamedBySerial",
                    {"TORV2-0007", "", ""},
                    {kFirst, kOther},
                    {kFirst},
                    {kFirst, kOther},
                    1,
                    1},
        // Without a serial number Windows makes another instance ID and interface path: the port
        // finds it.
        RestartCase{
            "NoSerialFoundByPort",
            {"", "pci1400-3", ""},
            {kFirst, Programmer("5&2C0F7B3E&0&3", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)")},
            {kFirst},
            {kFirst, Programmer("5&1D0A7C2F&0&3", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)")},
            1,
            1},
        RestartCase{"NamedByPathThenFoundBySerial",
                    {"", "", kOther.path},
                    {kFirst, kOther},
                    {kFirst},
                    {kFirst, Programmer("TORV2-0007", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)")},
                    1,
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WinUsbRestart, WithoutARestartAnotherIsTakenOnceTheFirstIsGone) {
  FakeWinUsb fake;
  fake.devices = {kFirst};
  WinUsbTransport transport(fake.api());
  UsbLink link(transport);
  ASSERT_TRUE(link.OpenUsbLink());
  link.CloseUsbLink();
  // Not restarting: the one opened before is preferred, but another does when it is gone.
  fake.devices = {kOther};
  ASSERT_TRUE(link.OpenUsbLink());
  EXPECT_THAT(fake.openPaths(), ElementsAre(kOther.path));
}

// --- a programmer another program holds ---

TEST(WinUsbBusy, AProgrammerAnotherHandleHoldsIsBusyAndNoOtherIsTaken) {
  FakeWinUsb fake;
  fake.devices = {kFirst, kOther};
  WinUsbTransport holder(fake.api());
  const auto held = holder.OpenDevice(DeviceInterfaceGuid, kSetup);
  ASSERT_NE(held, nullptr);

  WinUsbTransport second(fake.api());
  UsbLink link(second);
  EXPECT_FALSE(link.OpenUsbLink());
  EXPECT_EQ(second.LastOpenOutcome().status, OpenStatus::Busy);
  EXPECT_EQ(link.failure().what, Happened::Busy);
  EXPECT_THAT(fake.openPaths(), ElementsAre(kFirst.path));

  // Named, the other one opens beside it.
  WinUsbTransport third(fake.api(), WinUsbOptions{.only = {"TORV2-0007", "", ""}});
  EXPECT_NE(third.OpenDevice(DeviceInterfaceGuid, kSetup), nullptr);
}

struct CreateErrorCase {
  const char* name;
  DWORD error;
  OpenStatus status;
};

void PrintTo(const CreateErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class CreateFileErrorTest : public ::testing::TestWithParam<CreateErrorCase> {};

TEST_P(CreateFileErrorTest, SaysWhyTheOpenFailed) {
  FakeWinUsb fake;
  fake.devices[0].createFileFails = true;
  fake.devices[0].createFileError = GetParam().error;
  WinUsbTransport transport(fake.api());
  EXPECT_EQ(transport.OpenDevice(DeviceInterfaceGuid, kSetup), nullptr);
  EXPECT_EQ(transport.LastOpenOutcome().status, GetParam().status);
  EXPECT_EQ(transport.LastOpenOutcome().name, "");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CreateFileErrorTest,
    ::testing::Values(CreateErrorCase{"AccessDenied", ERROR_ACCESS_DENIED, OpenStatus::Busy},
                      CreateErrorCase{"FileNotFound", ERROR_FILE_NOT_FOUND, OpenStatus::NoDevice},
                      CreateErrorCase{"NotConnected", ERROR_DEVICE_NOT_CONNECTED,
                                      OpenStatus::NoDevice},
                      CreateErrorCase{"Other", ERROR_NOT_ENOUGH_MEMORY, OpenStatus::Error}),
    [](const auto& info) { return std::string(info.param.name); });

// --- a transfer error: the device gone, or still there ---

struct TransferErrorCase {
  const char* name;
  DWORD error;
  TransferStatus status;
};

void PrintTo(const TransferErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class TransferErrorTest : public ::testing::TestWithParam<TransferErrorCase> {};

TEST_P(TransferErrorTest, MapsTheErrorAtOnceAndAtCompletion) {
  FakeWinUsb fake;
  WinUsbTransport transport(fake.api());
  const auto device = transport.OpenDevice(DeviceInterfaceGuid, kSetup);
  ASSERT_NE(device, nullptr);
  std::uint8_t buffer[64];
  fake.transfers.push_back({ScriptedTransfer::Mode::kFails, {}, GetParam().error});
  EXPECT_EQ(device->BulkRead(0x81, buffer, kSetup).status, GetParam().status);

  fake.transfers.push_back({ScriptedTransfer::Mode::kEndsLater, {}, GetParam().error});
  std::thread completer([&] { fake.CompletePending(); });
  EXPECT_EQ(device->BulkWrite(0x01, buffer, kSetup).status, GetParam().status);
  completer.join();
}

INSTANTIATE_TEST_SUITE_P(
    Errors, TransferErrorTest,
    ::testing::Values(
        // A stalled pipe: the device is there and refused the transfer.
        TransferErrorCase{"GenFailureIsAStall", ERROR_GEN_FAILURE, TransferStatus::Error},
        TransferErrorCase{"NotConnected", ERROR_DEVICE_NOT_CONNECTED, TransferStatus::NoDevice},
        TransferErrorCase{"FileNotFound", ERROR_FILE_NOT_FOUND, TransferStatus::NoDevice},
        TransferErrorCase{"BadCommand", ERROR_BAD_COMMAND, TransferStatus::NoDevice},
        TransferErrorCase{"SemTimeout", ERROR_SEM_TIMEOUT, TransferStatus::TimedOut}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torv2::link::winusb
