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
  // Waits until the job has reached `phase`; fails the test, rather than hang it, when the job
  // ends without reaching it (a failed job shows no result dialog).
  void WaitFor(Phase phase) {
    std::unique_lock lock(mutex_);
    const bool reached = changed_.wait_for(lock, std::chrono::seconds(30), [&] {
      return std::find(reached_.begin(), reached_.end(), phase) != reached_.end();
    });
    if (!reached) ADD_FAILURE() << "the job never reached phase " << static_cast<int>(phase);
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
    void SetLabel(std::string_view label, bool show) override {
      RecordingSink::SetLabel(label, show);
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
    upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                       {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
    std::future<bool> startUp;
    if (c.startUpOnly) {
      startUp = std::async(std::launch::async, [&] { return upgrader.StartUpExchange(); });
    } else {
      upgrader.SetDeviceUsable(true);
      upgrader.StartJob();
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
  const bool sent = device.WaitUntil([&](VirtualProgrammer& p) {
    return std::find(p.commands().begin(), p.commands().end(), command) != p.commands().end();
  });
  if (!sent) ADD_FAILURE() << "the device never got " << command;
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

// --- stopping a job at the next transfer boundary (Ctrl-C on the command line) ---

// Asks the job to stop from inside its progress report, the moment the n-th label shows (1 =
// the main image's "Down"): between two transfers, on the job's own thread.
class StoppingHost : public UpgradeHost {
 public:
  StoppingHost(std::size_t atLabel, std::size_t atPercent) : sink_(*this, atLabel, atPercent) {}

  link::ProgressSink& Progress() override { return sink_; }
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  void ShowResult(const UpgradeReport&) override { ++results; }
  void EnableUpdateButton(bool) override {}
  void ShowCurrentVersion(std::string_view) override {}
  void EndProgram() override {}

  std::function<void()> stop;
  std::function<void()> atStop;  // what the test records at that moment
  std::vector<std::string> messages;
  int results = 0;

 private:
  class Sink : public testing::RecordingSink {
   public:
    Sink(StoppingHost& host, std::size_t atLabel, std::size_t atPercent)
        : host_(host), atLabel_(atLabel), atPercent_(atPercent) {}
    void SetLabel(std::string_view label, bool show) override {
      RecordingSink::SetLabel(label, show);
      if (show) ++labels_;
    }
    void SetPercent(int percent) override {
      if (labels_ == atLabel_ && percent >= static_cast<int>(atPercent_) && !stopped_) {
        stopped_ = true;
        host_.stop();
        host_.atStop();
      }
      RecordingSink::SetPercent(percent);
    }

   private:
    StoppingHost& host_;
    std::size_t atLabel_, atPercent_;
    std::size_t labels_ = 0;
    bool stopped_ = false;
  };

  Sink sink_;
};

struct StopCase {
  const char* name;
  std::size_t atLabel;  // 1 main Down, 2 main Verify, 3 sub Down, 4 sub Verify
  std::size_t atPercent;
};

class CancelJob : public ::testing::TestWithParam<StopCase> {};

TEST_P(CancelJob, StopsAtTheNextTransferBoundaryWithoutAMessage) {
  const StopCase& c = GetParam();
  const auto mainImage = Image(20000);
  const auto subImage = Image(2500);
  emulator::InProcessTransport device;
  link::UsbLink link(device, {10s, 10s, 1ms});
  StoppingHost host(c.atLabel, c.atPercent);
  Upgrader upgrader(link, host, UpgraderTimings{10s});
  upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                     {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
  upgrader.SetDeviceUsable(true);
  std::size_t transfersAtStop = 0;
  host.stop = [&] { upgrader.CancelJob(); };
  host.atStop = [&] { transfersAtStop = device.bulkReads() + device.bulkWrites(); };
  upgrader.StartJob();
  upgrader.WaitForJob();

  EXPECT_EQ(upgrader.LastJob().outcome, JobOutcome::Failed);
  EXPECT_EQ(host.messages, std::vector<std::string>{}) << "the front end says why it stopped";
  EXPECT_EQ(host.results, 0);
  EXPECT_FALSE(link.IsOpen());
  ASSERT_GT(transfersAtStop, 0u);
  EXPECT_EQ(device.bulkReads() + device.bulkWrites(), transfersAtStop) << "no transfer after it";
}

INSTANTIATE_TEST_SUITE_P(Upgrade, CancelJob,
                         ::testing::Values(StopCase{"MainDownload", 1, 40},
                                           StopCase{"MainVerify", 2, 40},
                                           StopCase{"SubDownload", 3, 40},
                                           StopCase{"SubVerify", 4, 40}),
                         [](const auto& info) { return info.param.name; });

TEST(CancelJob, EndsTheWaitForTheDevicesRestart) {
  emulator::InProcessTransport device;
  device.WithProgrammer([](VirtualProgrammer& p) { p.settings().statusReply = "Already."; });
  link::UsbLink link(device, {10s, 10s, 1ms});
  ClosingHost host;
  Upgrader upgrader(link, host, UpgraderTimings{10s});
  auto startUp = std::async(std::launch::async, [&] { return upgrader.StartUpExchange(); });
  WaitForCommand(device, "ResetNow");
  const auto start = std::chrono::steady_clock::now();
  upgrader.CancelJob();
  startUp.get();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(host.dialogsShown(), 0u);
}

}  // namespace
}  // namespace torv2::upgrade
