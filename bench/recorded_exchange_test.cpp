// The recorded exchange the benchmarks time each side with: a side that does what was recorded
// replays it whole, and one that does anything else is caught, so a replay can never time other
// work than the recorded upgrade's.
#include "bench/recorded_exchange.h"

#include <gtest/gtest.h>

#include <functional>

#include "bench/whole_upgrade.h"
#include "emulator/inprocess_transport.h"

namespace torv2::bench {
namespace {

emulator::DeviceSettings Settings(std::uint16_t packetSize) {
  return {.maxPacketSize = packetSize, .recordHostBytes = false};
}

Recording RecordUpgrade(std::uint16_t packetSize) {
  emulator::InProcessTransport device(Settings(packetSize));
  RecordingTransport recorder(device);
  UpgradeRig rig(recorder);
  EXPECT_TRUE(rig.Upgrade());
  return recorder.recording();
}

TEST(RecordedExchange, HoldsTheWholeUpgradeInOrder) {
  const Recording r = RecordUpgrade(64);
  ASSERT_GT(r.size(), 2u);
  EXPECT_EQ(r.front().kind, TransportCall::Kind::Open);
  EXPECT_TRUE(r.front().opened);
  EXPECT_EQ(r[1].kind, TransportCall::Kind::Pipes);
  EXPECT_EQ(r.back().kind, TransportCall::Kind::Close);
  std::size_t reads = 0, writes = 0;
  for (const TransportCall& call : r) {
    reads += call.kind == TransportCall::Kind::Read;
    writes += call.kind == TransportCall::Kind::Write;
  }
  // Every transfer of the upgrade (bench_bus counts 1,169 IN and 380 OUT at full speed), and the
  // one read that drains the device after the open.
  EXPECT_EQ(reads, 1169u + 1u);
  EXPECT_EQ(writes, 380u);
}

TEST(RecordedExchange, TheSameHostReplaysItAgainAndAgain) {
  for (const std::uint16_t packetSize : {64, 512}) {
    SCOPED_TRACE(packetSize);
    const Recording r = RecordUpgrade(packetSize);
    ReplayTransport replay(r);
    UpgradeRig rig(replay);
    for (int i = 0; i < 3; ++i) {
      replay.Rewind();
      EXPECT_TRUE(rig.Upgrade());
      EXPECT_TRUE(replay.Faithful());
    }
  }
}

struct HostCase {
  const char* name;
  std::function<void(Images&)> change;
};

TEST(RecordedExchange, AHostThatWritesOtherBytesIsCaught) {
  const Recording r = RecordUpgrade(64);
  const HostCase cases[] = {
      {"one byte of the main image", [](Images& i) { i.main[5000] ^= 0x01; }},
      {"one byte of the sub image", [](Images& i) { i.sub.back() ^= 0x01; }},
      {"a main image one byte longer", [](Images& i) { i.main.push_back(0x01); }},
  };
  for (const HostCase& c : cases) {
    SCOPED_TRACE(c.name);
    Images images = BenchImages();
    c.change(images);
    ReplayTransport replay(r);
    UpgradeRig rig(replay, images);
    EXPECT_FALSE(rig.Upgrade());
    EXPECT_FALSE(replay.Faithful());
  }
}

TEST(RecordedExchange, AHostThatStopsShortIsCaught) {
  Recording r = RecordUpgrade(64);
  r.push_back(r[r.size() - 2]);  // a read the host never makes
  ReplayTransport replay(r);
  UpgradeRig rig(replay);
  EXPECT_TRUE(rig.Upgrade());
  EXPECT_FALSE(replay.Faithful());
}

struct ModelCase {
  const char* name;
  std::function<void(emulator::VirtualProgrammer&)> change;
  bool answersAsRecorded;
};

TEST(RecordedExchange, TheModelFedTheHostsTransfersAnswersAsRecorded) {
  const Recording r = RecordUpgrade(64);
  const ModelCase cases[] = {
      {"the same model", [](emulator::VirtualProgrammer&) {}, true},
      {"another verdict", [](emulator::VirtualProgrammer& p) { p.settings().finalVerdict = "NG"; },
       false},
      {"a socket not upgraded",
       [](emulator::VirtualProgrammer& p) { p.settings().socketStatus[3] = 'F'; }, false},
      {"a corrupt read-back chunk",
       [](emulator::VirtualProgrammer& p) {
         p.faults().atStep = {emulator::Step::ReadChunk, 2, emulator::FaultKind::Corrupt};
       },
       false},
  };
  for (const ModelCase& c : cases) {
    SCOPED_TRACE(c.name);
    emulator::InProcessTransport device(Settings(64));
    device.WithProgrammer(c.change);
    EXPECT_EQ(FeedModel(device, r), c.answersAsRecorded);
  }
}

TEST(RecordedExchange, TheSameModelCanBeFedItAgain) {
  const Recording r = RecordUpgrade(512);
  emulator::InProcessTransport device(Settings(512));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(FeedModel(device, r));
}

}  // namespace
}  // namespace torv2::bench
