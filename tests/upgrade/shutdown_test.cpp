// Closing the program in every phase: the transfer or wait in flight ends at once, nothing more
// is shown, and the worker thread is joined.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>

#include "emulator/inprocess_transport.h"
#include "tests/support/recording_sink.h"
#include "upgrade/upgrader.h"

namespace torv2::upgrade {
namespace {

using namespace std::chrono_literals;
using emulator::FaultKind;
using emulator::Step;
using emulator::StepFault;
using emulator::VirtualProgrammer;

// A window whose dialogs stay open until the program closes, and which tells when the job has
// reached a phase.
class ClosingHost : public UpgradeHost {
 public:
  enum class Phase { None, Down, Verify, Message, Result };

  link::ProgressSink& Progress() override { return sink_; }
  void ShowMessage(std::string_view) override { Block(Phase::Message); }
  void ShowResult(const UpgradeReport&) override { Block(Phase::Result); }
  void EnableUpdateButton(bool) override {}
  void ShowCurrentVersion(std::string_view) override {}
  void EndProgram() override {}

  void Reach(Phase phase) {
    std::lock_guard lock(mutex_);
    reached_.push_back(phase);
    changed_.notify_all();
  }
  void WaitFor(Phase phase) {
    std::unique_lock lock(mutex_);
    changed_.wait(
        lock, [&] { return std::find(reached_.begin(), reached_.end(), phase) != reached_.end(); });
  }
  // The window closes: open dialogs return.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  std::size_t dialogsShown() {
    std::lock_guard lock(mutex_);
    return dialogs_;
  }

 private:
  class Sink : public testing::RecordingSink {
   public:
    explicit Sink(ClosingHost& host) : host_(host) {}
    void SetText(std::string_view label, bool show) override {
      RecordingSink::SetText(label, show);
      if (label == "Down") host_.Reach(Phase::Down);
      if (label == "Verify") host_.Reach(Phase::Verify);
    }

   private:
    ClosingHost& host_;
  };

  void Block(Phase phase) {
    std::unique_lock lock(mutex_);
    ++dialogs_;
    reached_.push_back(phase);
    changed_.notify_all();
    changed_.wait(lock, [&] { return closed_; });
  }

  Sink sink_{*this};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Phase> reached_;
  bool closed_ = false;
  std::size_t dialogs_ = 0;
};

using Phase = ClosingHost::Phase;

struct ShutdownCase {
  const char* name;
  std::function<void(VirtualProgrammer&)> device;
  // Waits until the program is in the phase to close in.
  std::function<void(ClosingHost&, emulator::InProcessTransport&)> reach;
  bool startUpOnly;
  std::size_t dialogs;  // dialogs shown before the close, none after it
};

class CloseDuring : public ::testing::TestWithParam<ShutdownCase> {};

std::vector<std::uint8_t> Image(std::size_t size) {
  return std::vector<std::uint8_t>(size, 0x5A);
}

TEST_P(CloseDuring, EndsWithinASecond) {
  const ShutdownCase& c = GetParam();
  const auto mainImage = Image(20000);
  const auto subImage = Image(2500);
  emulator::InProcessTransport device;
  if (c.device) device.WithProgrammer(c.device);
  // Every wait would last ten seconds if nothing ended it.
  link::UsbLink link(device, {10s, 10s});
  ClosingHost host;
  std::chrono::steady_clock::duration closing{};
  {
    Upgrader upgrader(link, host, UpgraderTimings{10s});
    upgrader.m_mainImage = {mainImage.data(), static_cast<std::uint32_t>(mainImage.size())};
    upgrader.m_subImage = {subImage.data(), static_cast<std::uint32_t>(subImage.size())};
    std::future<bool> startUp;
    if (c.startUpOnly) {
      startUp = std::async(std::launch::async, [&] { return upgrader.StartUpExchange(); });
    } else {
      upgrader.SetDeviceUsable(true);
      upgrader.OnBnClickedUpdate();
    }
    c.reach(host, device);

    const auto start = std::chrono::steady_clock::now();
    host.Close();
    upgrader.Shutdown();
    if (startUp.valid()) startUp.get();
    closing = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(link.IsOpen());
  }
  EXPECT_LT(closing, 1s);
  EXPECT_EQ(host.dialogsShown(), c.dialogs);
}

void WaitForCommand(emulator::InProcessTransport& device, std::string command) {
  device.WaitUntil([&](VirtualProgrammer& p) {
    return std::find(p.commands().begin(), p.commands().end(), command) != p.commands().end();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Upgrade, CloseDuring,
    ::testing::Values(
        ShutdownCase{"StartUpResetWait",
                     [](VirtualProgrammer& p) { p.settings().statusReply = "Already."; },
                     [](ClosingHost&, auto& d) { WaitForCommand(d, "ResetNow"); }, true, 0},
        ShutdownCase{"StartUpSilentDevice",
                     [](VirtualProgrammer& p) {
                       p.faults().atStep = StepFault{Step::StatusReply, 1, FaultKind::NoAnswer};
                     },
                     [](ClosingHost&, auto& d) { WaitForCommand(d, "CurrentStatus"); }, true, 0},
        ShutdownCase{"Download",
                     [](VirtualProgrammer& p) {
                       p.faults().atStep = StepFault{Step::ChunkAck, 2, FaultKind::NoAnswer};
                     },
                     [](ClosingHost& h, auto&) { h.WaitFor(Phase::Down); }, false, 0},
        ShutdownCase{"Verify",
                     [](VirtualProgrammer& p) {
                       p.faults().atStep = StepFault{Step::ReadChunk, 2, FaultKind::NoAnswer};
                     },
                     [](ClosingHost& h, auto&) { h.WaitFor(Phase::Verify); }, false, 0},
        ShutdownCase{"MessageBox",
                     [](VirtualProgrammer& p) {
                       p.faults().atStep = StepFault{Step::BlockStatus, 1, FaultKind::Refuse};
                     },
                     [](ClosingHost& h, auto&) { h.WaitFor(Phase::Message); }, false, 1},
        ShutdownCase{"ResultDialog", nullptr,
                     [](ClosingHost& h, auto&) { h.WaitFor(Phase::Result); }, false, 1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace torv2::upgrade
