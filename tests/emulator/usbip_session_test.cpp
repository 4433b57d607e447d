// The USB/IP face's conversation with vhci_hcd, as bytes: what the kernel would send, what the
// device answers. Headers are written out in full so a wrong offset or byte order shows.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/usb/usb_descriptors.h"
#include "emulator/usbip/usbip_protocol.h"
#include "emulator/usbip/usbip_session.h"
#include "emulator/virtual_programmer.h"

namespace torv2::emulator::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Be32(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A CMD_SUBMIT header, with the OUT data after it.
Bytes CmdSubmit(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep,
                std::uint32_t length, Bytes setup = Bytes(8, 0), Bytes data = {},
                std::uint32_t packets = 0) {
  Bytes b;
  Be32(b, 1);
  Be32(b, seqnum);
  Be32(b, 0x00010002);  // devid
  Be32(b, direction);
  Be32(b, ep);
  Be32(b, 0);  // transfer_flags
  Be32(b, length);
  Be32(b, 0);  // start_frame
  Be32(b, packets);
  Be32(b, 0);  // interval
  b.insert(b.end(), setup.begin(), setup.end());
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes CmdUnlink(std::uint32_t seqnum, std::uint32_t victim) {
  Bytes b;
  Be32(b, 2);
  Be32(b, seqnum);
  Be32(b, 0x00010002);
  Be32(b, 0);
  Be32(b, 0);
  Be32(b, victim);
  b.resize(48, 0);
  return b;
}

Bytes RetSubmit(std::uint32_t seqnum, std::int32_t status, std::uint32_t actual, Bytes data = {}) {
  Bytes b;
  Be32(b, 3);
  Be32(b, seqnum);
  b.resize(20, 0);
  Be32(b, static_cast<std::uint32_t>(status));
  Be32(b, actual);
  b.resize(48, 0);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes RetUnlink(std::uint32_t seqnum, std::int32_t status) {
  Bytes b;
  Be32(b, 4);
  Be32(b, seqnum);
  b.resize(20, 0);
  Be32(b, static_cast<std::uint32_t>(status));
  b.resize(48, 0);
  return b;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kGetDeviceDescriptor{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};

class UsbipSessionTest : public ::testing::Test {
 protected:
  UsbipSessionTest()
      : descriptors_(usb::BuildDescriptors({.serial = "KRN1"})),
        session_(programmer_, descriptors_) {}

  Bytes Feed(const Bytes& in) {
    Bytes out;
    EXPECT_TRUE(session_.Feed(in, out)) << session_.error();
    return out;
  }

  VirtualProgrammer programmer_;
  usb::Descriptors descriptors_;
  UsbipSession session_;
};

TEST_F(UsbipSessionTest, ControlInAnswersFromTheDescriptors) {
  const Bytes out = Feed(CmdSubmit(7, 1, 0, 18, kGetDeviceDescriptor));
  EXPECT_EQ(out, RetSubmit(7, 0, 18, descriptors_.device));
  EXPECT_FALSE(session_.configured());
  // SET_CONFIGURATION 1 ends the enumeration.
  EXPECT_EQ(Feed(CmdSubmit(8, 0, 0, 0, {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00})),
            RetSubmit(8, 0, 0));
  EXPECT_TRUE(session_.configured());
}

// Requests the device cannot take stall, as on a real bus, and the link goes on.
TEST_F(UsbipSessionTest, StallsWhatTheDeviceDoesNotHave) {
  const struct {
    const char* name;
    Bytes command;
  } rows[] = {
      {"unknown endpoint", CmdSubmit(1, 1, 2, 64)},
      {"class request", CmdSubmit(2, 1, 0, 4, {0xA1, 0x01, 0, 0, 0, 0, 4, 0})},
      {"setup says IN, transfer says OUT", CmdSubmit(3, 0, 0, 18, kGetDeviceDescriptor, Bytes(18))},
      {"wLength beyond the transfer", CmdSubmit(4, 1, 0, 8, kGetDeviceDescriptor)},
  };
  for (const auto& row : rows) {
    const std::uint32_t seqnum = static_cast<std::uint32_t>(&row - rows) + 1;
    EXPECT_EQ(Feed(row.command), RetSubmit(seqnum, -32, 0)) << row.name;
  }
  EXPECT_EQ(Feed(CmdSubmit(9, 1, 0, 18, kGetDeviceDescriptor)),
            RetSubmit(9, 0, 18, descriptors_.device));
}

TEST_F(UsbipSessionTest, BulkInWaitsUntilTheDeviceHasSomethingToSend) {
  EXPECT_EQ(Feed(CmdSubmit(10, 1, 1, 64)), Bytes{});
  EXPECT_EQ(session_.waitingReads(), 1u);
  // A command frame: the OUT completes, then the waiting IN takes the '+' acknowledgement.
  const Bytes frame = Text("$gCurrentStatus#ce");
  EXPECT_EQ(Feed(CmdSubmit(11, 0, 1, static_cast<std::uint32_t>(frame.size()), Bytes(8, 0), frame)),
            Concat({RetSubmit(11, 0, static_cast<std::uint32_t>(frame.size())),
                    RetSubmit(10, 0, 1, Text("+"))}));
  EXPECT_EQ(session_.waitingReads(), 0u);
  EXPECT_EQ(programmer_.commands(), std::vector<std::string>{"CurrentStatus"});
}

TEST_F(UsbipSessionTest, UnlinkOfAWaitingReadEndsItWithoutARetSubmit) {
  Feed(CmdSubmit(20, 1, 1, 64));
  EXPECT_EQ(Feed(CmdUnlink(21, 20)), RetUnlink(21, -104));  // -ECONNRESET
  // Data that comes later finds no read to answer: nothing is sent for seqnum 20.
  const Bytes frame = Text("$gCurrentStatus#ce");
  EXPECT_EQ(Feed(CmdSubmit(22, 0, 1, static_cast<std::uint32_t>(frame.size()), Bytes(8, 0), frame)),
            RetSubmit(22, 0, static_cast<std::uint32_t>(frame.size())));
  // An URB that was already answered is unlinked with status 0.
  EXPECT_EQ(Feed(CmdUnlink(23, 22)), RetUnlink(23, 0));
}

TEST_F(UsbipSessionTest, MessagesMayArriveInAnyPieces) {
  const Bytes stream =
      Concat({CmdSubmit(30, 1, 0, 18, kGetDeviceDescriptor), CmdSubmit(31, 1, 1, 64),
              CmdSubmit(32, 0, 1, 18, Bytes(8, 0), Text("$gCurrentStatus#ce"))});
  Bytes out;
  for (const std::uint8_t byte : stream) ASSERT_TRUE(session_.Feed(Bytes{byte}, out));
  EXPECT_EQ(out, Concat({RetSubmit(30, 0, 18, descriptors_.device), RetSubmit(32, 0, 18),
                         RetSubmit(31, 0, 1, Text("+"))}));
  EXPECT_EQ(session_.buffered(), 0u);
}

// A header no vhci_hcd sends ends the link; nothing is sized from its numbers first.
TEST(UsbipHeader, RefusesWhatNoHostControllerSends) {
  auto with = [](std::size_t at, std::uint32_t value) {
    Bytes b = CmdSubmit(1, 1, 1, 64);
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return b;
  };
  const struct {
    const char* name;
    Bytes header;
    HeaderError error;
  } rows[] = {
      {"short", Bytes(47, 0), HeaderError::Short},
      {"RET_SUBMIT from the host", with(0, 3), HeaderError::UnknownCommand},
      {"direction 2", with(12, 2), HeaderError::BadDirection},
      {"endpoint 16", with(16, 16), HeaderError::BadEndpoint},
      {"negative length", with(24, 0xFFFFFFFF), HeaderError::NegativeLength},
      {"16 MiB and one byte", with(24, 16 * 1024 * 1024 + 1), HeaderError::TooLong},
      {"isochronous packets", with(32, 3), HeaderError::Isochronous},
  };
  for (const auto& row : rows) {
    const Header header = ParseHeader(row.header);
    ASSERT_TRUE(std::holds_alternative<HeaderError>(header)) << row.name;
    EXPECT_EQ(std::get<HeaderError>(header), row.error) << row.name;
  }
  // 0xFFFFFFFF packets is how some kernels say "not isochronous".
  EXPECT_TRUE(std::holds_alternative<Submit>(ParseHeader(with(32, 0xFFFFFFFF))));
}

TEST_F(UsbipSessionTest, ABadHeaderEndsTheSession) {
  Bytes out;
  Bytes bad = CmdSubmit(40, 1, 1, 64);
  bad[3] = 9;
  EXPECT_FALSE(session_.Feed(bad, out));
  EXPECT_EQ(session_.error(), "unknown command");
  EXPECT_FALSE(session_.Feed(CmdSubmit(41, 1, 0, 18, kGetDeviceDescriptor), out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace torv2::emulator::usbip
