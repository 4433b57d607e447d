// No stale byte is taken as an answer: what the device sent for an exchange the host gave up on
// is drained before the next command, and a link without failures reads nothing extra.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "link/image_transfer.h"
#include "link/packet.h"
#include "link/usb_link.h"

namespace torv2::link {
namespace {

using namespace std::chrono_literals;
using emulator::InProcessTransport;
using emulator::VirtualProgrammer;

constexpr LinkTimeouts kTimeouts{20ms, 20ms, 5ms};

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Collects what the link discarded.
class DiscardedBytes : public LinkTrace {
 public:
  void Record(Direction, std::string_view what, std::span<const std::uint8_t> bytes) override {
    if (what == "discarded") text.append(bytes.begin(), bytes.end());
  }
  std::string text;
};

class NullSink : public ProgressSink {
 public:
  void SetLabel(std::string_view, bool) override {}
  void SetPercent(int) override {}
};

// How the host came to give up on an exchange.
enum class GaveUp {
  WaitingForAReply,  // no reply within the time-out (or only part of one)
  OnAChunkAnswer,    // a downloaded chunk answered with too few bytes, or refused
};

struct StaleCase {
  const char* name;
  GaveUp gaveUp;
  std::vector<std::string> before;  // device writes sent while the host still listened
  std::vector<std::string> late;    // device writes sent after the host gave up
  bool deviceAsksForTheFrameAgain;  // the next command frame is answered with '-' once
  std::string discarded;            // what the drain drops
};

class StaleBytes : public ::testing::TestWithParam<StaleCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link_.OpenUsbLink());
    link_.SetTrace(&trace_);
  }

  void DeviceSends(const std::vector<std::string>& writes) {
    device_.WithProgrammer([&](VirtualProgrammer& p) {
      for (const std::string& w : writes) p.SendRaw(Bytes(w));
    });
  }

  std::string HostSent() {
    return device_.WithProgrammer([](VirtualProgrammer& p) {
      return std::string(p.hostBytes().begin(), p.hostBytes().end());
    });
  }

  InProcessTransport device_;
  UsbLink link_{device_, kTimeouts};
  DiscardedBytes trace_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kReplyBufferSize);
};

TEST_P(StaleBytes, AreDrainedAndTheNextAttemptCompletes) {
  const StaleCase& c = GetParam();
  // A settled link first, so that only the failure below can ask for a drain.
  ASSERT_TRUE(SendCommandPacket(link_, "VersionRead:", "Torv2MainExe,"));
  ASSERT_GT(ReceiveReplyPacket(link_, buffer_), 0);
  ASSERT_FALSE(link_.Unsettled());

  DeviceSends(c.before);
  switch (c.gaveUp) {
    case GaveUp::WaitingForAReply:
      ASSERT_EQ(ReceiveReplyPacket(link_, buffer_), 0);
      break;
    case GaveUp::OnAChunkAnswer: {
      NullSink sink;
      bool subSocketError = false;
      TransferContext t{link_, sink, subSocketError};
      ASSERT_FALSE(DownloadImage(t, Bytes("xxxxxxxxxx"), 1000));
      break;
    }
  }
  EXPECT_TRUE(link_.Unsettled());
  DeviceSends(c.late);
  if (c.deviceAsksForTheFrameAgain) {
    device_.WithProgrammer([](VirtualProgrammer& p) { p.faults().nakFrames = 1; });
  }

  // The next attempt: the version query, and nothing else on the wire.
  const std::size_t sentBefore = HostSent().size();
  EXPECT_TRUE(SendCommandPacket(link_, "VersionRead:", "Torv2MainExe,"));
  const int n = ReceiveReplyPacket(link_, buffer_);
  ASSERT_GT(n, 0);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(buffer_.data()), n)
                  .starts_with("MainExe - TORV2 Execute V"))
      << reinterpret_cast<const char*>(buffer_.data());
  const std::string frame = "$gVersionRead:Torv2MainExe,#b3";
  EXPECT_EQ(HostSent().substr(sentBefore),
            (c.deviceAsksForTheFrameAgain ? frame + frame : frame) + "+");
  EXPECT_EQ(trace_.text, c.discarded);
  EXPECT_FALSE(link_.Unsettled());
}

INSTANTIATE_TEST_SUITE_P(
    Link, StaleBytes,
    ::testing::Values(
        // The reply came after the host's time-out: "$OK#9a" is still queued.
        StaleCase{
            "ReplyTheHostGaveUpOn", GaveUp::WaitingForAReply, {}, {"$OK#9a"}, false, "$OK#9a"},
        // A late acknowledgement would pass for the answer to the next frame, which the device
        // asks for again.
        StaleCase{"LateAcknowledgement", GaveUp::WaitingForAReply, {}, {"+"}, true, "+"},
        // Half a reply before the time-out, the rest after it in two USB transfers: the drain
        // reads until nothing comes.
        StaleCase{
            "HalfSentReply", GaveUp::WaitingForAReply, {"$Rea"}, {"dy.", "#23"}, false, "dy.#23"},
        // A refused chunk whose USB packet carried a reply as well: the link's receive buffer
        // still holds "$OK#9a".
        StaleCase{
            "RestOfAUsbPacket", GaveUp::OnAChunkAnswer, {"+0.ok.ok.-$OK#9a"}, {}, false, "$OK#9a"},
        // A chunk answered with five bytes; the other five come late.
        StaleCase{
            "RestOfAChunkAnswer", GaveUp::OnAChunkAnswer, {"+0.ok"}, {".ok.+"}, false, ".ok.+"}),
    [](const auto& info) { return info.param.name; });

TEST(Drain, GoodExchangesReadNothingExtra) {
  InProcessTransport device;
  UsbLink link(device, kTimeouts);
  std::vector<std::uint8_t> buffer(kReplyBufferSize);
  ASSERT_TRUE(link.OpenUsbLink());
  EXPECT_TRUE(link.Unsettled());

  std::vector<std::size_t> reads;
  for (int i = 0; i < 3; ++i) {
    const std::size_t before = device.bulkReads();
    ASSERT_TRUE(SendCommandPacket(link, "VersionRead:", "Torv2MainExe,"));
    ASSERT_GT(ReceiveReplyPacket(link, buffer), 0);
    reads.push_back(device.bulkReads() - before);
    EXPECT_FALSE(link.Unsettled());
  }
  // The first exchange after the open has one read more: the drain, which found nothing.
  EXPECT_EQ(reads[0], reads[1] + 1);
  EXPECT_EQ(reads[1], reads[2]);

  // After a failed exchange, again one read more, and only before the next command.
  ASSERT_EQ(ReceiveReplyPacket(link, buffer), 0);
  const std::size_t before = device.bulkReads();
  ASSERT_TRUE(SendCommandPacket(link, "VersionRead:", "Torv2MainExe,"));
  ASSERT_GT(ReceiveReplyPacket(link, buffer), 0);
  EXPECT_EQ(device.bulkReads() - before, reads[1] + 1);
}

// A device whose IN pipe answers from a script, then either times out or never stops talking.
class ScriptedDevice final : public UsbDevice {
 public:
  struct Read {
    TransferStatus status;
    std::size_t bytes;
  };
  ScriptedDevice(std::deque<Read> script, bool talksForever)
      : script_(std::move(script)), talksForever_(talksForever) {}

  std::optional<std::vector<PipeInfo>> QueryPipes() override {
    return std::vector<PipeInfo>{{PipeType::Bulk, 0x81, 64}, {PipeType::Bulk, 0x01, 64}};
  }
  TransferResult BulkRead(std::uint8_t, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    timeouts.push_back(timeout);
    Read r{TransferStatus::TimedOut, 0};
    if (!script_.empty()) {
      r = script_.front();
      script_.pop_front();
    } else if (talksForever_) {
      r = {TransferStatus::Ok, 64};
    }
    const std::size_t n = std::min(r.bytes, buffer.size());
    std::fill_n(buffer.begin(), n, std::uint8_t{'x'});
    return {r.status, n};
  }
  TransferResult BulkWrite(std::uint8_t, std::span<const std::uint8_t> data,
                           std::chrono::milliseconds) override {
    if (readsBeforeFirstWrite < 0) readsBeforeFirstWrite = static_cast<int>(timeouts.size());
    return {TransferStatus::Ok, data.size()};
  }
  void Cancel() override {}

  std::vector<std::chrono::milliseconds> timeouts;
  int readsBeforeFirstWrite = -1;

 private:
  std::deque<Read> script_;
  bool talksForever_;
};

class ScriptedTransport final : public UsbTransport {
 public:
  explicit ScriptedTransport(std::unique_ptr<ScriptedDevice> device)
      : device_(std::move(device)), raw_(device_.get()) {}
  std::unique_ptr<UsbDevice> OpenDevice(const Guid&, std::chrono::milliseconds) override {
    return std::move(device_);
  }
  ScriptedDevice& device() { return *raw_; }

 private:
  std::unique_ptr<ScriptedDevice> device_;
  ScriptedDevice* raw_;
};

struct EndCase {
  const char* name;
  std::deque<ScriptedDevice::Read> script;
  bool talksForever;
  int reads;  // made by the drain before the command frame goes out
};

class DrainEnds : public ::testing::TestWithParam<EndCase> {};

TEST_P(DrainEnds, WithTheFirstQuietOrFailedReadOrAtItsBound) {
  const EndCase& c = GetParam();
  ScriptedTransport transport(std::make_unique<ScriptedDevice>(c.script, c.talksForever));
  UsbLink link(transport, kTimeouts);
  ASSERT_TRUE(link.OpenUsbLink());
  SendCommandPacket(link, "ResetNow", "");
  EXPECT_EQ(transport.device().readsBeforeFirstWrite, c.reads);
  for (int i = 0; i < c.reads; ++i) EXPECT_EQ(transport.device().timeouts[i], 5ms) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Link, DrainEnds,
    ::testing::Values(EndCase{"NothingQueued", {}, false, 1},
                      EndCase{"DeviceGone", {{TransferStatus::NoDevice, 0}}, false, 1},
                      EndCase{"Cancelled", {{TransferStatus::Cancelled, 0}}, false, 1},
                      // Bytes that came before a time-out mean the device is still sending.
                      EndCase{"StillSendingAtTheTimeOut",
                              {{TransferStatus::TimedOut, 3}, {TransferStatus::Ok, 2}},
                              false,
                              3},
                      EndCase{"NeverQuiet", {}, true, 64}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace torv2::link
