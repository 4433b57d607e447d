// Which programmers --all and --device pick, and how they are named; no USB here.
#include "cli/attached_programmers.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace torv2::cli {
namespace {

AttachedProgrammer At(std::string port, std::string serial, std::string address = "001:002") {
  return {std::move(address), std::move(port), std::move(serial), ""};
}

TEST(Identity, SerialNumberElsePortElseAddress) {
  EXPECT_EQ(IdentityOf(At("1-2", "SN7")), "SN7");
  EXPECT_EQ(IdentityOf(At("1-2.4", "")), "1-2.4");
  EXPECT_EQ(IdentityOf(At("", "", "003:009")), "003:009");
}

// As Windows lists them: no bus address; an interface path, and the location path of the port.
AttachedProgrammer OnWindows(std::string port, std::string serial, std::string path,
                             std::string location = "") {
  AttachedProgrammer p = At(std::move(port), std::move(serial), "");
  p.interfacePath = std::move(path);
  p.locationPath = std::move(location);
  return p;
}

constexpr char kPathA[] = R"(\\?\usb#vid_1209&pid_7a72#a#{b91d9e33-6927-4b4d-a40d-484c312b8c26})";
constexpr char kPathB[] =
    R"(\\?\usb#vid_1209&pid_7a72#5&1&0&3#{b91d9e33-6927-4b4d-a40d-484c312b8c26})";
constexpr char kPathC[] =
    R"(\\?\usb#vid_1209&pid_7a72#6&2&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26})";

TEST(Identity, OnWindowsThePathStandsInForTheAddress) {
  const std::vector<AttachedProgrammer> attached{
      OnWindows("pci1400-2", "A", kPathA, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"),
      OnWindows("", "", kPathC)};
  // The name escapes the backslashes as every name does; the path column shows the path itself.
  EXPECT_EQ(IdentityOf(attached[1]),
            R"(\\\\?\\usb#vid_1209&pid_7a72#6&2&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26})");
  EXPECT_EQ(
      ListLine(attached[0], attached),
      R"(A  port pci1400-2  serial A  path \\?\usb#vid_1209&pid_7a72#a#{b91d9e33-6927-4b4d-a40d-484c312b8c26})");
  const std::vector<AttachedProgrammer> twins{OnWindows("", "", kPathC), OnWindows("", "", kPathC)};
  EXPECT_NE(ListLine(twins[0], twins)
                .find(R"(shares its name: use --device \\?\usb#vid_1209&pid_7a72#6&2&0&1#)"),
            std::string::npos)
      << ListLine(twins[0], twins);
}

TEST(Identity, ListLineShowsEveryNameAndWarnsOfNamesakes) {
  const std::vector<AttachedProgrammer> two{At("1-1", "SAME", "001:002"),
                                            At("1-2", "SAME", "001:003")};
  EXPECT_EQ(ListLine(two[1], two),
            "SAME  port 1-2  address 001:003  serial SAME  shares its name: use --device 1-2");
  AttachedProgrammer plain = At("2-3", "", "002:005");
  plain.detail = "MS OS 1.0";
  EXPECT_EQ(ListLine(plain, std::span(&plain, 1)),
            "2-3  port 2-3  address 002:005  serial -  (MS OS 1.0)");
}

struct PrintableCase {
  const char* name;
  std::string device;  // as the device supplied it
  std::string shown;
};

class DeviceText : public ::testing::TestWithParam<PrintableCase> {};

TEST_P(DeviceText, ShowsNoControlCharacter) {
  EXPECT_EQ(Printable(GetParam().device), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Identity, DeviceText,
    ::testing::Values(
        PrintableCase{"Plain", "VIRTUAL1", "VIRTUAL1"},
        PrintableCase{"TerminalEscape", "\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07"},
        PrintableCase{"LineBreaks", "A\r\nB\tC", "A\\x0d\\x0aB\\x09C"},
        PrintableCase{"NulAndDelete", std::string("A\0B\x7f", 4), "A\\x00B\\x7f"},
        PrintableCase{"Backslash", "A\\x1b", "A\\\\x1b"},
        PrintableCase{"C1Control",
                      "A\xc2\x9b"
                      "B",
                      "A\\u009bB"},
        PrintableCase{"Utf8Kept", "S\xc3\xa9rie \xe2\x82\xac \xf0\x9f\x94\x8c",
                      "S\xc3\xa9rie \xe2\x82\xac \xf0\x9f\x94\x8c"},
        PrintableCase{"BrokenUtf8", "A\xc3(\xff\xe2\x82", "A\\xc3(\\xff\\xe2\\x82"},
        PrintableCase{"Overlong", "\xc0\x8a\xe0\x80\x8a", "\\xc0\\x8a\\xe0\\x80\\x8a"}),
    [](const auto& info) { return info.param.name; });

TEST(Identity, DeviceTextIsEscapedInNamesListsAndMessages) {
  const std::vector<AttachedProgrammer> attached{At("1-1", "SN\x1b[31m\n"),
                                                 At("1-2", "SN\x1b[31m\n")};
  EXPECT_EQ(IdentityOf(attached[0]), "SN\\x1b[31m\\x0a");
  EXPECT_EQ(ListLine(attached[0], std::span(&attached[0], 1)),
            "SN\\x1b[31m\\x0a  port 1-1  address 001:002  serial SN\\x1b[31m\\x0a");
  const Selection all = SelectAll(attached);
  ASSERT_EQ(all.refusals.size(), 1u);
  EXPECT_NE(all.refusals[0].find("2 programmers go by SN\\x1b[31m\\x0a (at 1-1, 1-2)"),
            std::string::npos)
      << all.refusals[0];
  // --device takes the name as it is shown.
  EXPECT_EQ(SelectNamed(attached, "1-2").chosen, std::vector<std::size_t>{1});
  EXPECT_EQ(SelectNamed(std::span(&attached[0], 1), "SN\\x1b[31m\\x0a").chosen,
            std::vector<std::size_t>{0});
}

struct SelectCase {
  const char* name;
  std::vector<AttachedProgrammer> attached;
  const char* device;  // nullptr: --all
  std::vector<std::size_t> chosen;
  std::vector<std::string> refusalsHave;  // one text for each refusal expected
  friend void PrintTo(const SelectCase& c, std::ostream* os) { *os << c.name; }
};

class Select : public ::testing::TestWithParam<SelectCase> {};

TEST_P(Select, ChoosesOrRefuses) {
  const SelectCase& c = GetParam();
  const Selection s = c.device ? SelectNamed(c.attached, c.device) : SelectAll(c.attached);
  EXPECT_EQ(s.chosen, c.chosen);
  ASSERT_EQ(s.refusals.size(), c.refusalsHave.size());
  for (std::size_t i = 0; i < s.refusals.size(); ++i) {
    EXPECT_NE(s.refusals[i].find(c.refusalsHave[i]), std::string::npos) << s.refusals[i];
  }
}

const std::vector<AttachedProgrammer> kThree{At("1-1", "A", "001:002"), At("1-2", "", "001:003"),
                                             At("1-3", "C", "001:004")};
// Two report the same serial number; a third has its own.
const std::vector<AttachedProgrammer> kTwins{
    At("1-1", "TWIN", "001:002"), At("1-2", "OWN", "001:003"), At("1-4", "TWIN", "001:005")};

// Windows: a serial number, a port without one, and a device known by its path alone.
const std::vector<AttachedProgrammer> kWindows{
    OnWindows("pci1400-2", "A", kPathA, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"),
    OnWindows("pci1A00-2.3", "", kPathB, "PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)#USB(3)"),
    OnWindows("", "", kPathC)};

INSTANTIATE_TEST_SUITE_P(
    Windows, Select,
    ::testing::Values(
        SelectCase{"AllOfThree", kWindows, nullptr, {0, 1, 2}, {}},
        SelectCase{"BySerial", kWindows, "A", {0}, {}},
        SelectCase{"ByPort", kWindows, "pci1A00-2.3", {1}, {}},
        SelectCase{
            "ByLocationPath", kWindows, "PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)#USB(3)", {1}, {}},
        SelectCase{"ByLocationPathInOtherCase",
                   kWindows,
                   "pciroot(0)#pci(1a00)#usbroot(0)#usb(2)#usb(3)",
                   {1},
                   {}},
        SelectCase{"ByInterfacePath", kWindows, kPathB, {1}, {}},
        SelectCase{"ByInterfacePathInOtherCase",
                   kWindows,
                   R"(\\?\USB#VID_1209&PID_7A72#A#{B91D9E33-6927-4B4D-A40D-484C312B8C26})",
                   {0},
                   {}},
        // The path as `list` shows it, each backslash doubled.
        SelectCase{"ByInterfacePathAsShown",
                   kWindows,
                   R"(\\\\?\\usb#vid_1209&pid_7a72#6&2&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26})",
                   {2},
                   {}},
        SelectCase{"NoAddressToMatch", kWindows, "1:2", {}, {"no programmer goes by 1:2"}},
        SelectCase{"APathOfNoOne",
                   kWindows,
                   R"(\\?\usb#vid_1209&pid_7a72#b#{b91d9e33-6927-4b4d-a40d-484c312b8c26})",
                   {},
                   {"no programmer goes by"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Cases, Select,
    ::testing::Values(
        SelectCase{"AllOfThree", kThree, nullptr, {0, 1, 2}, {}},
        SelectCase{"AllOfNone", {}, nullptr, {}, {}},
        SelectCase{
            "AllLeavesTwinsOut", kTwins, nullptr, {1}, {"2 programmers go by TWIN (at 1-1, 1-4)"}},
        // A serial number that is another programmer's port is a shared name too.
        SelectCase{"SerialLikeAPort",
                   {At("1-1", "1-2", "001:002"), At("1-2", "", "001:003")},
                   nullptr,
                   {},
                   {"2 programmers go by 1-2"}},
        SelectCase{"BySerial", kThree, "C", {2}, {}},
        SelectCase{"ByPortWithoutSerial", kThree, "1-2", {1}, {}},
        SelectCase{"ByPortOfOneWithASerial", kThree, "1-3", {2}, {}},
        SelectCase{"ByAddress", kThree, "1:4", {2}, {}},
        SelectCase{"ByAddressWithZeros", kThree, "001:003", {1}, {}},
        SelectCase{
            "TwinSerialIsRefused",
            kTwins,
            "TWIN",
            {},
            {"2 programmers go by TWIN (at 1-1, 1-4): name one by its port, e.g. --device 1-1"}},
        SelectCase{"TwinByPort", kTwins, "1-4", {2}, {}},
        SelectCase{"Unknown", kThree, "ZZ", {}, {"no programmer goes by ZZ"}},
        SelectCase{"AddressOutOfRange", kThree, "1:260", {}, {"no programmer goes by 1:260"}},
        SelectCase{"NotQuiteAnAddress", kThree, "1:4x", {}, {"no programmer goes by 1:4x"}},
        SelectCase{"EmptyPortNeverMatches", {At("", "S", "001:002")}, "", {}, {"no programmer"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torv2::cli
