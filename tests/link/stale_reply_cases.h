#pragma once
// The stale-reply rows, shared by every transport they run over (the in-process transport on
// Linux, WinUSB over the simulated Windows): what the device sent for an exchange the host gave
// up on is drained before the next command, and only the next command's frame goes on the wire.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/virtual_programmer.h"
#include "link/image_transfer.h"
#include "link/packet.h"
#include "link/usb_link.h"

namespace torv2::stale_reply {

using namespace std::chrono_literals;
using emulator::VirtualProgrammer;

inline constexpr link::LinkTimeouts kTimeouts{20ms, 20ms, 5ms};

inline std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Collects what the link discarded.
class DiscardedBytes : public link::LinkTrace {
 public:
  void Record(link::Direction, std::string_view what,
              std::span<const std::uint8_t> bytes) override {
    if (what == "discarded") text.append(bytes.begin(), bytes.end());
  }
  std::string text;
};

// Lets `link` report to `trace` while it lives.
class TraceAttached {
 public:
  TraceAttached(link::UsbLink& link, link::LinkTrace& trace) : link_(link) {
    link_.SetTrace(&trace);
  }
  ~TraceAttached() { link_.SetTrace(nullptr); }
  TraceAttached(const TraceAttached&) = delete;
  TraceAttached& operator=(const TraceAttached&) = delete;

 private:
  link::UsbLink& link_;
};

class NullSink : public link::ProgressSink {
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

inline const StaleCase kStaleCases[] = {
    // The reply came after the host's time-out: "$OK#9a" is still queued.
    {"ReplyTheHostGaveUpOn", GaveUp::WaitingForAReply, {}, {"$OK#9a"}, false, "$OK#9a"},
    // A late acknowledgement would pass for the answer to the next frame, which the device asks
    // for again.
    {"LateAcknowledgement", GaveUp::WaitingForAReply, {}, {"+"}, true, "+"},
    // Half a reply before the time-out, the rest after it in two USB transfers: the drain reads
    // until nothing comes.
    {"HalfSentReply", GaveUp::WaitingForAReply, {"$Rea"}, {"dy.", "#23"}, false, "dy.#23"},
    // A refused chunk whose USB packet carried a reply as well: the link's receive buffer still
    // holds "$OK#9a".
    {"RestOfAUsbPacket", GaveUp::OnAChunkAnswer, {"+0.ok.ok.-$OK#9a"}, {}, false, "$OK#9a"},
    // A chunk answered with five bytes; the other five come late.
    {"RestOfAChunkAnswer", GaveUp::OnAChunkAnswer, {"+0.ok"}, {".ok.+"}, false, ".ok.+"},
};

inline std::string CaseName(const ::testing::TestParamInfo<StaleCase>& info) {
  return info.param.name;
}
inline void PrintTo(const StaleCase& c, std::ostream* os) {
  *os << c.name;
}

// Runs one row over an opened `link` to a device reached through `withProgrammer(f)`, which calls
// f(VirtualProgrammer&) with the device's model locked.
template <class WithProgrammer>
void CheckStaleBytesAreDrained(const StaleCase& c, link::UsbLink& link,
                               WithProgrammer&& withProgrammer) {
  DiscardedBytes trace;
  const TraceAttached attached(link, trace);
  std::vector<std::uint8_t> buffer(link::kReplyBufferSize);
  const auto deviceSends = [&](const std::vector<std::string>& writes) {
    withProgrammer([&](VirtualProgrammer& p) {
      for (const std::string& w : writes) p.SendRaw(Bytes(w));
    });
  };
  const auto hostSent = [&] {
    std::string sent;
    withProgrammer(
        [&](VirtualProgrammer& p) { sent.assign(p.hostBytes().begin(), p.hostBytes().end()); });
    return sent;
  };

  // A settled link first, so that only the failure below can ask for a drain.
  ASSERT_TRUE(SendCommandPacket(link, "VersionRead:", "Torv2MainExe,"));
  ASSERT_GT(ReceiveReplyPacket(link, buffer), 0);
  ASSERT_FALSE(link.Unsettled());

  deviceSends(c.before);
  switch (c.gaveUp) {
    case GaveUp::WaitingForAReply:
      ASSERT_EQ(ReceiveReplyPacket(link, buffer), 0);
      break;
    case GaveUp::OnAChunkAnswer: {
      NullSink sink;
      bool subSocketError = false;
      link::TransferContext t{link, sink, subSocketError};
      ASSERT_FALSE(DownloadImage(t, Bytes("xxxxxxxxxx"), 1000));
      break;
    }
  }
  EXPECT_TRUE(link.Unsettled());
  deviceSends(c.late);
  if (c.deviceAsksForTheFrameAgain) {
    withProgrammer([](VirtualProgrammer& p) { p.faults().nakFrames = 1; });
  }

  // The next attempt: the version query, and nothing else on the wire.
  const std::size_t sentBefore = hostSent().size();
  EXPECT_TRUE(SendCommandPacket(link, "VersionRead:", "Torv2MainExe,"));
  const int n = ReceiveReplyPacket(link, buffer);
  ASSERT_GT(n, 0);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(buffer.data()), n)
                  .starts_with("MainExe - TORV2 Execute V"))
      << reinterpret_cast<const char*>(buffer.data());
  const std::string frame = "$gVersionRead:Torv2MainExe,#b3";
  EXPECT_EQ(hostSent().substr(sentBefore),
            (c.deviceAsksForTheFrameAgain ? frame + frame : frame) + "+");
  EXPECT_EQ(trace.text, c.discarded);
  EXPECT_FALSE(link.Unsettled());
}

}  // namespace torv2::stale_reply
