// Packet framing, byte for byte, against the in-process virtual programmer.
#include "link/packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"

namespace torv2::link {
namespace {

using namespace std::chrono_literals;
using emulator::InProcessTransport;
using emulator::VirtualProgrammer;

std::string Bytes(const std::vector<std::uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

class Framing : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.OpenUsbLink()); }

  // The device sends each string as one USB write.
  void DeviceSends(const std::vector<std::string>& writes) {
    device_.WithProgrammer([&](VirtualProgrammer& p) {
      for (const auto& w : writes) {
        p.SendRaw(std::span(reinterpret_cast<const std::uint8_t*>(w.data()), w.size()));
      }
    });
  }
  std::string HostSent() {
    return device_.WithProgrammer([](VirtualProgrammer& p) { return Bytes(p.hostBytes()); });
  }

  InProcessTransport device_;
  UsbLink link_{device_, LinkTimeouts{20ms, 20ms}};
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kEscapedReplyBufferSize, 0xEE);
};

struct CommandCase {
  const char* command;
  const char* argument;
  const char* frame;
};

TEST_F(Framing, CommandFramesAreExact) {
  const CommandCase cases[] = {
      {"CurrentStatus", "", "$gCurrentStatus#ce"},
      {"ResetNow", "", "$gResetNow#9e"},
      {"ResetNow", nullptr, "$gResetNow#9e"},
      {nullptr, "ResetNow", "$gResetNow#9e"},
      {nullptr, nullptr, "$g#67"},
      {"VersionRead:", "Torv2MainExe,", "$gVersionRead:Torv2MainExe,#b3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    const std::size_t before = HostSent().size();
    EXPECT_TRUE(SendCommandPacket(link_, c.command, c.argument));
    // Only the frame: the receive calls below are not made, so no '+' of ours follows.
    EXPECT_EQ(HostSent().substr(before, std::string(c.frame).size()), c.frame);
    // Start the next case on a firmware that has no reply queued for us.
    link_.CloseUsbLink();
    device_.WithProgrammer([](VirtualProgrammer& p) { p.Restart(); });
    ASSERT_TRUE(link_.OpenUsbLink());
  }
}

TEST_F(Framing, NegativeAcknowledgementsResendTheIdenticalFrame) {
  device_.WithProgrammer([](VirtualProgrammer& p) { p.faults().nakFrames = 2; });
  EXPECT_TRUE(SendCommandPacket(link_, "ResetNow", ""));
  EXPECT_EQ(HostSent(), "$gResetNow#9e$gResetNow#9e$gResetNow#9e");
}

// A device that never stops asking, or whose every packet is spoilt the same way, gets 64
// resends (or 64 '-' answers) and then a failure instead of a host that loops for ever.
TEST_F(Framing, ResendsEndAfterSixtyFour) {
  // The device itself would give up after its own limit: lift it, so the host's limit shows.
  device_.WithProgrammer([](VirtualProgrammer& p) {
    p.settings().refusalLimit = 1000;
    p.faults().nakFrames = 1000;
  });
  EXPECT_FALSE(SendCommandPacket(link_, "ResetNow", ""));
  std::string frames;
  for (int i = 0; i < 65; ++i) frames += "$gResetNow#9e";
  EXPECT_EQ(HostSent(), frames);

  link_.CloseUsbLink();  // the device starts afresh: no '-' left for it to send
  ASSERT_TRUE(link_.OpenUsbLink());
  // A start marker in the junk before every reply: each packet reads as "$OK" with the checksum
  // of "OK", every time it is sent again.
  device_.WithProgrammer([](VirtualProgrammer& p) {
    p.faults().nakFrames = 0;
    p.faults().junkBeforeReply = "\xA4";
  });
  ASSERT_TRUE(SendCommandPacket(link_, "CurrentStatus", ""));
  const std::size_t before = HostSent().size();
  EXPECT_EQ(ReceiveReplyPacket(link_, buffer_), 0);
  EXPECT_EQ(HostSent().substr(before), std::string(64, '-'));
}

TEST_F(Framing, AnyOtherAcknowledgementEndsTheCommand) {
  device_.WithProgrammer([](VirtualProgrammer& p) {
    p.faults().atStep =
        emulator::StepFault{emulator::Step::CommandAck, 1, emulator::FaultKind::Junk};
  });
  EXPECT_FALSE(SendCommandPacket(link_, "ResetNow", ""));
  EXPECT_EQ(HostSent(), "$gResetNow#9e");
}

TEST_F(Framing, TextLongerThanSixtyOneBytesIsRefusedUnsent) {
  const std::string sixtyOne(61, 'x');
  EXPECT_TRUE(SendCommandPacket(link_, sixtyOne.c_str(), ""));
  const std::size_t sent = HostSent().size();
  EXPECT_EQ(sent, 66u);
  EXPECT_FALSE(SendCommandPacket(link_, sixtyOne.c_str(), "y"));
  EXPECT_EQ(HostSent().size(), sent);
}

TEST_F(Framing, NothingIsSentOnAClosedLink) {
  link_.CloseUsbLink();
  EXPECT_FALSE(SendCommandPacket(link_, "ResetNow", ""));
  EXPECT_EQ(ReceiveReplyPacket(link_, buffer_), 0);
  EXPECT_EQ(ReceiveEscapedReplyPacket(link_, buffer_), 0);
  EXPECT_EQ(HostSent(), "");
}

TEST_F(Framing, AFrameTheDeviceNeverAcknowledgesFails) {
  device_.WithProgrammer([](VirtualProgrammer& p) { p.faults().noAnswer = true; });
  EXPECT_FALSE(SendCommandPacket(link_, "ResetNow", ""));
}

struct ReplyCase {
  const char* name;
  bool escaped;
  std::vector<std::string> device;  // one USB write each
  int result;
  std::string payload;
  std::string hostAnswers;
};

class Replies : public Framing, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, AreReceivedAndAnswered) {
  const ReplyCase& c = GetParam();
  DeviceSends(c.device);
  const int n =
      c.escaped ? ReceiveEscapedReplyPacket(link_, buffer_) : ReceiveReplyPacket(link_, buffer_);
  EXPECT_EQ(n, c.result);
  if (c.result > 0 || c.hostAnswers == "+") {
    EXPECT_EQ(std::string(buffer_.begin(), buffer_.begin() + c.payload.size()), c.payload);
    EXPECT_EQ(buffer_[c.payload.size()], 0) << "payload is NUL-terminated";
  }
  EXPECT_EQ(HostSent(), c.hostAnswers);
}

const std::string kLong(65536, 'a');
const std::string kLongest(65535, 'a');
// 65,535 'a' (0x61) sum to 0xff9f, so the checksum is "9f".

INSTANTIATE_TEST_SUITE_P(
    Framing, Replies,
    ::testing::Values(
        ReplyCase{"Plain", false, {"$OK#9a"}, 2, "OK", "+"},
        ReplyCase{"JunkBeforeStart", false, {"\x01zz#+-", "$OK#9a"}, 2, "OK", "+"},
        ReplyCase{"A4StartsAPacket", false, {"\xA4OK#9a"}, 2, "OK", "+"},
        ReplyCase{"DollarInsidePayloadIsData", false, {"$A$B#a7"}, 3, "A$B", "+"},
        ReplyCase{"HighBitKept", false, {"$\xC1#c1"}, 1, "\xC1", "+"},
        ReplyCase{"UpperCaseChecksumIsResent", false, {"$OK#9A", "$OK#9a"}, 2, "OK", "-+"},
        ReplyCase{"EmptyPayloadIsAcknowledgedButCountsZero", false, {"$#00"}, 0, "", "+"},
        ReplyCase{"OverlongPayloadIsDroppedUnanswered", false, {kLong, "$OK#9a"}, 2, "OK", "+"},
        ReplyCase{"LongestPayload", false, {"$" + kLongest + "#9f"}, 65535, kLongest, "+"},
        ReplyCase{"ChecksumNeverArrives", false, {"$OK#9"}, 0, "", ""},
        ReplyCase{"NothingArrives", false, {}, 0, "", ""},
        ReplyCase{"EscapedRunsOfHashes", true, {"$$$$A#B##C###D####dc"}, 10, "A#B##C###D", "+"},
        ReplyCase{"EscapedStartMarkersWithBytesBetween", true, {"$x$\xA4y$A####41"}, 1, "A", "+"},
        ReplyCase{
            "EscapedResentAfterBadChecksum", true, {"$$$$AB####00", "$$$$AB####83"}, 2, "AB", "-+"},
        ReplyCase{"EscapedPayloadEndingInHashCannotBeCarried", true, {"$$$$AB#####a6"}, 0, "", "-"},
        ReplyCase{"EscapedOverlongPayloadIsDropped",
                  true,
                  {"$$$$" + kLong, "$$$$OK####9a"},
                  2,
                  "OK",
                  "+"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Framing, BufferTooSmallIsRefusedBeforeReading) {
  DeviceSends({"$OK#9a"});
  std::vector<std::uint8_t> small(kReplyBufferSize - 1);
  EXPECT_EQ(ReceiveReplyPacket(link_, small), 0);
  std::vector<std::uint8_t> almost(kEscapedReplyBufferSize - 1);
  EXPECT_EQ(ReceiveEscapedReplyPacket(link_, almost), 0);
  EXPECT_EQ(ReceiveReplyPacket(link_, buffer_), 2);
}

TEST_F(Framing, OverlongEscapedPayloadStaysInsideItsBuffer) {
  // The longest a drop can write: 65,535 bytes, then "###x" stored in one pass, then the NUL.
  std::vector<std::uint8_t> exact(kEscapedReplyBufferSize);
  DeviceSends({"$$$$" + kLongest + "###x", "$$$$OK####9a"});
  EXPECT_EQ(ReceiveEscapedReplyPacket(link_, exact), 2);
}

// A receive that fails says what it saw before the transfer that failed: junk it passed over, or
// a packet whose checksum did not match (which the device never sent again).
struct FailureCase {
  const char* name;
  std::vector<std::string> device;  // what the device sends, then nothing
  bool escaped;
  const char* said;  // DescribeHappened
  Happened what;
  Happened before;
};

TEST_F(Framing, AFailedReceiveSaysWhatItSaw) {
  const FailureCase cases[] = {
      {"silence", {}, false, "time-out after 20 ms", Happened::TimedOut, Happened::None},
      {"junk",
       {"zz\x01"},
       false,
       "junk, then time-out after 20 ms",
       Happened::TimedOut,
       Happened::Junk},
      {"bad checksum",
       {"$OK#00"},
       false,
       "a bad checksum, then time-out after 20 ms",
       Happened::TimedOut,
       Happened::BadChecksum},
      {"empty packet", {"$#00"}, false, "empty answer", Happened::Empty, Happened::None},
      {"escaped junk",
       {"$$x$$"},
       true,
       "junk, then time-out after 20 ms",
       Happened::TimedOut,
       Happened::Junk},
      {"escaped empty", {"$$$$####00"}, true, "empty answer", Happened::Empty, Happened::None},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    link_.CloseUsbLink();
    ASSERT_TRUE(link_.OpenUsbLink());
    DeviceSends(c.device);
    const int n =
        c.escaped ? ReceiveEscapedReplyPacket(link_, buffer_) : ReceiveReplyPacket(link_, buffer_);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(link_.failure().what, c.what);
    EXPECT_EQ(link_.failure().before, c.before);
    EXPECT_EQ(DescribeHappened(link_.failure()), c.said);
  }
}

TEST_F(Framing, ACommandAnsweredWithNeitherPlusNorMinusIsJunk) {
  // The device answers the frame with '*' (what it held before is drained first).
  device_.WithProgrammer([](VirtualProgrammer& p) {
    p.faults().atStep =
        emulator::StepFault{emulator::Step::CommandAck, 1, emulator::FaultKind::Corrupt};
  });
  EXPECT_FALSE(SendCommandPacket(link_, "CurrentStatus", ""));
  EXPECT_EQ(DescribeHappened(link_.failure()), "junk (\"*\")");
  EXPECT_EQ(link_.failure().transfer, TransferStatus::Ok);

  const std::string tooLong(kMaxCommandText + 1, 'x');
  EXPECT_FALSE(SendCommandPacket(link_, tooLong.c_str(), ""));
  EXPECT_EQ(DescribeHappened(link_.failure()), "too long (62 of 61 bytes)");
}

// Device bytes in a message are printable and bounded, whatever the device sent.
TEST(DeviceBytes, AreQuotedPrintableAndBounded) {
  const std::uint8_t mixed[] = {'O', 'K', '"', '\\', 0x00, 0x7F, 0xFF, '\n'};
  EXPECT_EQ(QuoteDeviceBytes(mixed), R"("OK\x22\x5c\x00\x7f\xff\x0a")");
  const std::vector<std::uint8_t> many(100, 'a');
  EXPECT_EQ(QuoteDeviceBytes(many), "\"" + std::string(32, 'a') + "\"...");

  ExchangeFailure refused;
  refused.what = Happened::Refused;
  refused.KeepAnswer(many);
  EXPECT_EQ(DescribeHappened(refused), "refused (\"" + std::string(32, 'a') + "\"...)");
}

}  // namespace
}  // namespace torv2::link
