// "BUS:ADDR" as the command line gives it to restrict the transport to one device.
#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "link/libusb/libusb_transport.h"

namespace torv2::link {
namespace {

TEST(UsbAddress, ParsesBusAndAddressInDecimal) {
  struct Case {
    std::string_view text;
    std::optional<UsbAddress> expected;
  };
  const Case cases[] = {
      {"3:7", UsbAddress{3, 7}}, {"003:007", UsbAddress{3, 7}}, {"255:127", UsbAddress{255, 127}},
      {"0:0", UsbAddress{0, 0}}, {"256:1", std::nullopt},       {"1:256", std::nullopt},
      {"1:", std::nullopt},      {":1", std::nullopt},          {"1", std::nullopt},
      {"1:2:3", std::nullopt},   {"0x1:2", std::nullopt},       {"-1:2", std::nullopt},
      {" 1:2", std::nullopt},    {"1:2 ", std::nullopt},        {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UsbAddress::Parse(c.text), c.expected) << c.text;
  }
  EXPECT_EQ((UsbAddress{3, 7}).ToString(), "003:007");
}

}  // namespace
}  // namespace torv2::link
