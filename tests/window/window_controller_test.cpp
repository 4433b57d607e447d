// The main window's behaviour with a fake view and a GUI queue that the test thread runs by hand,
// over the in-process virtual programmer: start-up, the keys and the click guard, device arrival
// and removal in every phase of a job, device events while a message box is open, closing in
// every phase, and the host's hand-over rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "window/window_controller.h"

namespace torv2::window {
namespace {

using namespace std::chrono_literals;
using emulator::FaultKind;
using emulator::Step;
using emulator::StepFault;
using emulator::VirtualProgrammer;
using link::DeviceEvent;
using Clock = std::chrono::steady_clock;

const std::string kCaption = "ZARN TORV II Upgrader";
const std::string kConnected = kCaption + "\u3000\u3000\u3000\u00A7 USB OK \u00A7";
const std::string kDisconnected = kCaption + "\u3000\u00A7 USB UnConn \u00A7";
constexpr char kUpgradeError[] = "ZARN TORV II - Firmware Upgrade Error!";
constexpr char kVersionNotReady[] = "USB Device is not Ready, Ver!!";
constexpr char kRefused[] = "USB Communication cannot be operated!";
constexpr char kVersionRead[] = "VersionRead:Torv2MainExe,";

// The GUI thread's event loop, run by the test thread: tasks wait until the test runs them.
class ManualQueue final : public GuiQueue {
 public:
  bool Post(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
    return true;
  }
  bool OnGuiThread() const override { return std::this_thread::get_id() == gui_; }

  // Runs tasks as they come until `done()` holds; false when it does not within 10 s.
  template <class F>
  bool RunUntil(F&& done) {
    const auto deadline = Clock::now() + 10s;
    while (!done()) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        if (!posted_.wait_until(lock, deadline, [&] { return !tasks_.empty(); })) return done();
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    return true;
  }
  // Runs what is queued now, and what those tasks queue, without waiting for more.
  void RunPending() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }
  std::size_t Queued() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }
  void Close() override {
    std::lock_guard lock(mutex_);
    closed_ = true;
    tasks_.clear();
  }

 private:
  const std::thread::id gui_ = std::this_thread::get_id();
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
  bool closed_ = false;
};

// The progress bar of the fake view: what it would paint, one line a change, by the bar's rules
// for a bar 280 pixels wide (every percent moves it).
class FakeBar final : public link::ProgressSink {
 public:
  void SetLabel(std::string_view label, bool show) override {
    label_ = label;
    show_ = show;
  }
  void SetPercent(int percent) override {
    painted.push_back(label_ + (show_ ? "" : " (hidden)") + " " + std::to_string(percent));
  }
  std::vector<std::string> painted;

 private:
  std::string label_;
  bool show_ = false;
};

// Records what the controller asks of the window. A modal dialog runs `onModal` (the test's
// stand-in for what happens while it is open) and then closes, unless the test holds it.
class FakeView final : public WindowView {
 public:
  explicit FakeView(ManualQueue& queue) : queue_(queue) {}

  void SetTitle(std::string_view title) override {
    title_ = title;
    calls.push_back("title " + std::string(title));
  }
  void SetUpgradeVersionText(std::string_view text) override { upgradeVersion = text; }
  void SetCurrentVersionText(std::string_view text) override { currentVersion = text; }
  void EnableUpdate(bool enabled) override {
    button = enabled;
    calls.push_back(enabled ? "button on" : "button off");
  }
  void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon,
                   std::string_view details) override {
    EXPECT_TRUE(queue_.OnGuiThread());
    messages.emplace_back(text);
    messageDetails.emplace_back(details);
    captions.emplace_back(caption);
    icons.push_back(icon);
    calls.push_back("message " + std::string(text));
    RunModal();
  }
  void ShowResult(const upgrade::UpgradeReport& report) override {
    EXPECT_TRUE(queue_.OnGuiThread());
    results.push_back(report);
    calls.push_back("result " + report.mainResult);
    RunModal();
  }
  void End() override {
    ended = true;
    modalOpen_ = false;
    calls.push_back("end");
  }
  link::ProgressSink& ProgressBar() override { return bar; }

  const std::string& title() const { return title_; }
  bool ModalOpen() const { return modalOpen_; }
  // While true, a modal dialog stays open (running the queue) until Dismiss() or End().
  bool hold = false;
  void Dismiss() { modalOpen_ = false; }
  std::function<void(std::string_view what)> onModal;

  std::vector<std::string> calls;
  std::vector<std::string> messages;
  std::vector<std::string> messageDetails;  // beside each message
  std::vector<std::string> captions;
  std::vector<MessageIcon> icons;
  std::vector<upgrade::UpgradeReport> results;
  std::string upgradeVersion = "Unknown";
  std::string currentVersion = "Unknown";
  bool button = false;
  bool ended = false;
  FakeBar bar;

 private:
  void RunModal() {
    modalOpen_ = true;
    ++depth_;
    if (onModal) onModal(calls.back());
    // A modal loop keeps the GUI queue moving.
    if (hold) queue_.RunUntil([this] { return !modalOpen_; });
    --depth_;
    modalOpen_ = depth_ > 0;
  }

  ManualQueue& queue_;
  std::string title_;
  bool modalOpen_ = false;
  int depth_ = 0;
};

class Controller : public ::testing::Test {
 protected:
  void TearDown() override {
    if (controller_) controller_->Shutdown();
    queue_.Close();
  }

  // Builds the controller and runs the start-up, as a view does before showing the window. A
  // silent device costs 300 ms per transfer unless the test asks for the real time-outs.
  void Start(WindowOptions options = {}, bool realTimeouts = false) {
    options.timings.resetWait = 1ms;
    if (!realTimeouts) options.linkTimeouts = link::LinkTimeouts{1000ms, 300ms};
    controller_ = std::make_unique<WindowController>(view_, queue_, device_, std::move(options));
    controller_->Start(kCaption);
  }

  template <class F>
  decltype(auto) Device(F&& f) {
    return device_.WithProgrammer(std::forward<F>(f));
  }
  void Fault(Step step, int occurrence, FaultKind kind) {
    Device([&](VirtualProgrammer& p) { p.faults().atStep = StepFault{step, occurrence, kind}; });
  }
  int CountCommand(const std::string& command) {
    const auto c = Device([](VirtualProgrammer& p) { return p.commands(); });
    return static_cast<int>(std::count(c.begin(), c.end(), command));
  }
  upgrade::Upgrader& Upgrader() { return controller_->upgrader(); }
  bool Idle() { return !Upgrader().Busy(); }
  template <class F>
  bool RunUntil(F&& done) {
    return queue_.RunUntil(std::forward<F>(done));
  }
  // Waits (running the GUI queue) until the job stands in the middle of the main download.
  void RunJobUntilTransferring() {
    Fault(Step::ChunkAck, 2, FaultKind::NoAnswer);
    controller_->StartJob();
    device_.WaitUntil([](VirtualProgrammer& p) { return p.stepCount(Step::ChunkAck) >= 2; });
    ASSERT_FALSE(Idle());
  }

  emulator::InProcessTransport device_;
  ManualQueue queue_;
  FakeView view_{queue_};
  std::unique_ptr<WindowController> controller_;
};

// --- start-up ---

struct StartCase {
  const char* name;
  std::function<void(emulator::InProcessTransport&)> device;
  std::string title;
  bool usable;
  const char* currentVersion;
  std::vector<std::string> messages;
  int resets;
};

class StartsUp : public Controller, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartsUp, TitleButtonAndVersions) {
  const StartCase& c = GetParam();
  if (c.device) c.device(device_);
  Start();
  EXPECT_EQ(view_.title(), c.title);
  EXPECT_EQ(view_.button, c.usable);
  EXPECT_EQ(Upgrader().DeviceUsable(), c.usable);
  EXPECT_EQ(view_.upgradeVersion, "2.08");
  EXPECT_EQ(view_.currentVersion, c.currentVersion);
  EXPECT_EQ(Upgrader().Report().upgradeVersion, "Upgrade Version : 2.08");
  EXPECT_EQ(view_.messages, c.messages);
  EXPECT_EQ(Device([](VirtualProgrammer& p) { return p.resetCount(); }), c.resets);
}

INSTANTIATE_TEST_SUITE_P(
    Device, StartsUp,
    ::testing::Values(StartCase{"Attached", {}, kConnected, true, "2.07", {}, 0},
                      StartCase{"Absent",
                                [](emulator::InProcessTransport& d) { d.Unplug(); },
                                kDisconnected,
                                false,
                                "Unknown",
                                {},
                                0},
                      // A device that opened counts as usable even when its version cannot be read.
                      StartCase{"VersionUnreadable",
                                [](emulator::InProcessTransport& d) {
                                  d.WithProgrammer([](VirtualProgrammer& p) {
                                    p.settings().versionReply = "Error";
                                  });
                                },
                                kConnected,
                                true,
                                "0.00",
                                {},
                                0},
                      StartCase{"AsksForAReset",
                                [](emulator::InProcessTransport& d) {
                                  d.WithProgrammer([](VirtualProgrammer& p) {
                                    p.settings().statusReply = "Already.Run";
                                  });
                                },
                                kConnected,
                                true,
                                "2.07",
                                {},
                                1},
                      StartCase{
                          "StatusReplyUnreadable",
                          [](emulator::InProcessTransport& d) {
                            d.WithProgrammer([](VirtualProgrammer& p) {
                              p.faults().atStep = StepFault{Step::StatusReply, 1, FaultKind::Junk};
                            });
                          },
                          kConnected,
                          true,
                          "2.07",
                          {"Read Current Status Data Fail!"},
                          0}),
    [](const auto& info) { return info.param.name; });

struct MissingCase {
  const char* name;
  const char* modulePath;
  std::vector<std::string> messages;
  std::vector<std::string> captions;
  std::vector<MessageIcon> icons;
};

class ImagesMissing : public Controller, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(ImagesMissing, NothingElseOfStartUpHappens) {
  const MissingCase& c = GetParam();
  WindowOptions options;
  options.modulePath = c.modulePath;
  bool registered = false;
  options.registerDeviceNotification = [&](auto) {
    registered = true;
    return nullptr;
  };
  Start(options);
  EXPECT_EQ(view_.upgradeVersion, "Unknown - MainExe");
  EXPECT_EQ(view_.title(), "");  // the template's caption stays
  EXPECT_FALSE(view_.button);
  EXPECT_EQ(view_.messages, c.messages);
  EXPECT_EQ(view_.captions, c.captions);
  EXPECT_EQ(view_.icons, c.icons);
  EXPECT_FALSE(registered);
  EXPECT_EQ(device_.opens(), 0u);  // nothing was sent to the device
}

INSTANTIATE_TEST_SUITE_P(Path, ImagesMissing,
                         ::testing::Values(MissingCase{"NoSuchFile",
                                                       "/nonexistent/torv2-upgrader",
                                                       {"LoadLibrary Error!"},
                                                       {"Error!"},
                                                       {MessageIcon::None}},
                                           MissingCase{
                                               "NoPath",
                                               "",
                                               {"GetModuleFileName Failed!", "LoadLibrary Error!"},
                                               {"test_window", "Error!"},
                                               {MessageIcon::Exclamation, MessageIcon::None}}),
                         [](const auto& info) { return info.param.name; });

TEST(ProgramName, IsTheExecutablesFileNameWithoutItsExtension) {
  EXPECT_EQ(ProgramName("/usr/bin/torv2-upgrader"), "torv2-upgrader");
  EXPECT_EQ(ProgramName("C:\\Program Files\\torv2\\torv2-upgrader.exe"), "torv2-upgrader");
  EXPECT_EQ(ProgramName("torv2-upgrader-test.exe"), "torv2-upgrader-test");
  EXPECT_EQ(ProgramName(".hidden"), ".hidden");
  EXPECT_EQ(ProgramName(""), "torv2-upgrader");
}

// --- the keys and the click guard ---

TEST_F(Controller, SpaceStartsAJobOnlyWhenNoneRunsAndEveryKeyIsSwallowed) {
  Start({}, /*realTimeouts=*/true);
  EXPECT_TRUE(controller_->KeyDown(false));  // Enter, Escape, Tab, letters: nothing
  EXPECT_EQ(CountCommand("WriteFirmware:Torv2MainExe,"), 0);
  RunJobUntilTransferring();
  EXPECT_TRUE(controller_->KeyDown(true));  // a job runs: space does nothing
  controller_->StartJob();                  // nor does a late click
  controller_->Shutdown();
  EXPECT_EQ(CountCommand("WriteFirmware:Torv2MainExe,"), 1);
}

// The click and the space key start a job through one guard: not while a job runs, not once the
// window is closing. A start that got past it would disable the button again, or leave the
// upgrader busy for good.
struct GuardCase {
  const char* name;
  bool space;    // the key, else the click
  bool closing;  // the window was closed, else a job runs
};

class SecondStart : public Controller, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(SecondStart, IsRefusedByTheControllersGuard) {
  const GuardCase& c = GetParam();
  Start({}, /*realTimeouts=*/true);
  if (c.closing) {
    controller_->Close();
  } else {
    RunJobUntilTransferring();
  }
  const std::vector<std::string> calls = view_.calls;
  if (c.space) {
    EXPECT_TRUE(controller_->KeyDown(true));
  } else {
    controller_->StartJob();
  }
  EXPECT_EQ(view_.calls, calls);
  EXPECT_EQ(Idle(), c.closing);
  controller_->Shutdown();
  EXPECT_EQ(CountCommand("WriteFirmware:Torv2MainExe,"), c.closing ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Starts, SecondStart,
                         ::testing::Values(GuardCase{"ClickWhileAJobRuns", false, false},
                                           GuardCase{"SpaceWhileAJobRuns", true, false},
                                           GuardCase{"ClickAfterClosing", false, true},
                                           GuardCase{"SpaceAfterClosing", true, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(Controller, SpaceOnADisabledButtonIsRefusedWithAMessage) {
  device_.Unplug();
  Start();
  ASSERT_FALSE(view_.button);
  EXPECT_TRUE(controller_->KeyDown(true));
  EXPECT_EQ(view_.messages, std::vector<std::string>{kRefused});
  EXPECT_EQ(view_.captions, std::vector<std::string>{"test_window"});
  EXPECT_EQ(view_.icons, std::vector<MessageIcon>{MessageIcon::Exclamation});
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(view_.button);  // the refusal enables it again
  EXPECT_EQ(device_.opens(), 0u);
}

// --- why a message box came: its details ---

// A failure's box keeps the program's own text and says, as its details, the cause in words and
// what to do, in the words the command line uses for the same cause.
struct DetailsCase {
  const char* name;
  std::function<void(emulator::InProcessTransport&)> device;
  bool startJob;  // press space once the window is up
  std::vector<std::string> messages;
  std::vector<std::string> details;  // beside each message
};

class MessageDetails : public Controller, public ::testing::WithParamInterface<DetailsCase> {};

TEST_P(MessageDetails, CarryTheCauseAndWhatToDo) {
  const DetailsCase& c = GetParam();
  if (c.device) c.device(device_);
  Start();
  if (c.startJob) {
    controller_->StartJob();
    ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  }
  EXPECT_EQ(view_.messages, c.messages);
  EXPECT_EQ(view_.messageDetails, c.details);
}

void FaultAt(emulator::InProcessTransport& d, Step step, int occurrence, FaultKind kind) {
  d.WithProgrammer([&](VirtualProgrammer& p) { p.faults().atStep = {step, occurrence, kind}; });
}

// Where a Windows user finds an attached programmer differs from Linux.
#ifdef _WIN32
constexpr char kPlugInAdvice[] =
    "What to do: plug the programmer in (Device Manager lists it under Universal Serial Bus "
    "devices once it is attached) and run the upgrade again";
#else
constexpr char kPlugInAdvice[] =
    "What to do: plug the programmer in (`lsusb` lists it once it is attached) and run the "
    "upgrade again";
#endif

INSTANTIATE_TEST_SUITE_P(
    Failure, MessageDetails,
    ::testing::Values(
        DetailsCase{"SizeRecordRefused",
                    [](auto& d) { FaultAt(d, Step::SizeReply, 1, FaultKind::Refuse); },
                    true,
                    {"ZARN TORV II - Firmware Upgrade Error!"},
                    {"Cause: main size record: refused (\"Error\")\n"
                     "What to do: the upgrade stopped part-way: run the upgrade again; if it stops "
                     "at the same step, unplug the programmer and plug it in again first"}},
        DetailsCase{
            "DeviceGoneMidDownload",
            [](auto& d) { FaultAt(d, Step::ChunkAck, 3, FaultKind::Unplug); },
            true,
            {"ZARN TORV II - Firmware Upgrade Error!"},
            {"Cause: main chunk 3: device gone (transfer: no device); the job stopped at sub "
             "write command\n"
             "What to do: the upgrade stopped part-way: plug the programmer in again and "
             "run the upgrade again"}},
        DetailsCase{"StatusUnreadableAtStartUp",
                    [](auto& d) { FaultAt(d, Step::StatusReply, 1, FaultKind::Junk); },
                    false,
                    {"Read Current Status Data Fail!"},
                    {"Cause: status query: junk, then time-out after 300 ms (transfer: timed out)\n"
                     "What to do: unplug the programmer, plug it in again and run the upgrade "
                     "again"}},
        // The refusal of a click without a programmer says why none could be used.
        DetailsCase{
            "NoProgrammer",
            [](auto& d) { d.Unplug(); },
            true,
            {"USB Communication cannot be operated!"},
            {std::string("Cause: opening the programmer: no programmer found\n") + kPlugInAdvice}}),
    [](const auto& info) { return info.param.name; });

// --- the whole upgrade, and its progress ---

TEST_F(Controller, AWholeUpgradePaintsEveryProgressChangeInOrderAndEndsTheWindow) {
  Start();
  controller_->StartJob();
  ASSERT_TRUE(RunUntil([&] { return view_.ended; }));
  ASSERT_EQ(view_.results.size(), 1u);
  EXPECT_EQ(view_.results[0].mainResult, "Torv2 Main Execute - Upgrade OK");
  EXPECT_TRUE(view_.messages.empty());

  // Every position the job reported reached the bar in order: each phase runs from 0 up to 100,
  // and the end of the job sets the bar back to 0.
  struct Run {
    std::string label;
    std::vector<int> positions;
  };
  std::vector<Run> runs;
  for (const std::string& line : view_.bar.painted) {
    const auto blank = line.rfind(' ');
    const int position = std::stoi(line.substr(blank + 1));
    if (runs.empty() || position == 0) runs.push_back({line.substr(0, blank), {}});
    runs.back().positions.push_back(position);
  }
  ASSERT_EQ(runs.size(), 5u);
  const char* labels[] = {"Down", "Verify", "Down", "Verify", "Verify"};
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(runs[i].label, labels[i]);
    const std::vector<int>& p = runs[i].positions;
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
    EXPECT_EQ(p.back(), i + 1 < runs.size() ? 100 : 0);
    EXPECT_GE(p.size(), i + 1 < runs.size() ? 3u : 1u);
  }
}

TEST_F(Controller, TheWorkerNeverWaitsForTheGuiAndEveryPositionReachesTheBarInOrder) {
  Start();
  link::ProgressSink& relay = controller_->host().Progress();
  // The GUI thread does not run its queue while the worker reports: a relay that waited for the
  // GUI would hang here.
  std::thread worker([&] {
    relay.SetLabel("Down", true);
    for (int round = 0; round < 20; ++round) {
      for (int p = 0; p <= 100; ++p) relay.SetPercent(p);
    }
  });
  worker.join();
  EXPECT_TRUE(view_.bar.painted.empty()) << "nothing reaches the bar off the GUI thread";
  queue_.RunPending();
  ASSERT_EQ(view_.bar.painted.size(), 20u * 101);
  for (std::size_t i = 0; i < view_.bar.painted.size(); ++i) {
    ASSERT_EQ(view_.bar.painted[i], "Down " + std::to_string(i % 101)) << i;
  }
}

// --- device arrival and removal in every phase ---

TEST_F(Controller, AnArrivalReadsTheVersionOnAWorkerAndTheResultComesThroughTheQueue) {
  device_.Unplug();
  Start();
  ASSERT_EQ(view_.title(), kDisconnected);
  device_.Replug();
  controller_->DeviceChanged(DeviceEvent::Arrival);
  EXPECT_EQ(view_.title(), kDisconnected);  // nothing changed on this thread yet
  ASSERT_TRUE(RunUntil([&] { return view_.title() == kConnected; }));
  EXPECT_TRUE(view_.button);
  EXPECT_TRUE(Upgrader().DeviceUsable());
  EXPECT_EQ(view_.currentVersion, "2.07");
  EXPECT_TRUE(view_.messages.empty());
}

// The title names the programmer the window works with, after its own text, whenever the
// transport tells the name (the in-process one by default does not: the title then ends as
// always); a removal takes the name away, the next arrival shows the programmer found then.
TEST_F(Controller, TheTitleNamesTheProgrammerFound) {
  device_.options().name = "VIRTUAL1";
  Start();
  EXPECT_EQ(view_.title(), kConnected + "\u3000VIRTUAL1");
  controller_->DeviceChanged(DeviceEvent::Removal);
  EXPECT_EQ(view_.title(), kDisconnected);
  device_.options().name = "1-2";  // another one, without a serial number
  controller_->DeviceChanged(DeviceEvent::Arrival);
  ASSERT_TRUE(RunUntil([&] { return view_.title() == kConnected + "\u30001-2"; })) << view_.title();
  EXPECT_TRUE(view_.button);
}

TEST_F(Controller, ARemovalWhileIdleDisconnectsAtOnce) {
  Start();
  controller_->DeviceChanged(DeviceEvent::Removal);
  EXPECT_EQ(view_.title(), kDisconnected);
  EXPECT_FALSE(view_.button);
  EXPECT_EQ(view_.currentVersion, "Unknown");
  EXPECT_FALSE(Upgrader().DeviceUsable());
}

TEST_F(Controller, EventsFromAWatcherThreadAreHandledOnTheGuiThread) {
  std::function<void(DeviceEvent)> deliver;
  struct Registration : DeviceNotification {};
  WindowOptions options;
  options.registerDeviceNotification = [&](std::function<void(DeviceEvent)> onEvent) {
    deliver = std::move(onEvent);
    return std::make_unique<Registration>();
  };
  Start(options);
  ASSERT_TRUE(deliver);
  std::thread watcher([&] {
    deliver(DeviceEvent::Removal);
    deliver(DeviceEvent::Arrival);
  });
  watcher.join();
  EXPECT_EQ(view_.title(), kConnected);  // nothing happened yet on this thread
  ASSERT_TRUE(
      RunUntil([&] { return CountCommand(kVersionRead) == 2 && view_.title() == kConnected; }));
  EXPECT_TRUE(Upgrader().DeviceUsable());
}

// Where the job stands when the event comes.
enum class Phase { Transferring, ErrorMessageOpen, ResultOpen };

struct PhaseCase {
  const char* name;
  Phase phase;
  DeviceEvent event;
};

class EventDuringAJob : public Controller, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(EventDuringAJob, NeverTouchesTheLinkTheJobHoldsAndStartsNoSecondJob) {
  const PhaseCase& c = GetParam();
  Start({}, c.phase == Phase::Transferring);
  const int versionReadsAtStart = CountCommand(kVersionRead);
  std::size_t opensWhenTheEventCame = 0;
  int versionReadsWhenTheEventCame = 0;
  bool delivered = false;
  auto deliver = [&] {
    opensWhenTheEventCame = device_.opens();
    versionReadsWhenTheEventCame = CountCommand(kVersionRead);
    controller_->DeviceChanged(c.event);
    delivered = true;
    // The GUI thread is back at once; a second job cannot start beside the first.
    controller_->KeyDown(true);
    controller_->StartJob();
  };
  if (c.phase == Phase::Transferring) {
    RunJobUntilTransferring();
    deliver();
    EXPECT_EQ(device_.opens(), opensWhenTheEventCame);
    view_.onModal = [&](std::string_view) { device_.Replug(); };
    device_.Unplug();  // the job's transfer fails: the error path
    ASSERT_TRUE(RunUntil([&] { return Idle() && view_.button; }));
    EXPECT_EQ(view_.messages, std::vector<std::string>{kUpgradeError});
  } else {
    if (c.phase == Phase::ErrorMessageOpen) Fault(Step::SizeReply, 1, FaultKind::Refuse);
    view_.onModal = [&](std::string_view what) {
      if (delivered) return;
      deliver();
      EXPECT_EQ(device_.opens(), opensWhenTheEventCame) << what;
    };
    controller_->StartJob();
    if (c.phase == Phase::ErrorMessageOpen) {
      ASSERT_TRUE(RunUntil([&] { return Idle() && view_.button && !view_.messages.empty(); }));
      EXPECT_EQ(view_.messages, std::vector<std::string>{kUpgradeError});
    } else {
      ASSERT_TRUE(RunUntil([&] { return view_.ended; }));
      EXPECT_EQ(view_.results.size(), 1u);
    }
  }
  ASSERT_TRUE(delivered);
  EXPECT_EQ(CountCommand("WriteFirmware:Torv2MainExe,"), 1);
  if (c.event == DeviceEvent::Removal) {
    EXPECT_EQ(view_.title(), kDisconnected);
    EXPECT_EQ(view_.currentVersion, "Unknown");
    EXPECT_FALSE(Upgrader().DeviceUsable() && c.phase != Phase::ResultOpen);
  } else {
    // The arrival's query comes once the job has let go of the link.
    ASSERT_TRUE(RunUntil([&] {
      return CountCommand(kVersionRead) > versionReadsWhenTheEventCame ||
             (c.phase == Phase::ResultOpen && view_.ended);
    }));
    EXPECT_GE(CountCommand(kVersionRead), versionReadsAtStart + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, EventDuringAJob,
    ::testing::Values(
        PhaseCase{"ArrivalWhileTransferring", Phase::Transferring, DeviceEvent::Arrival},
        PhaseCase{"RemovalWhileTransferring", Phase::Transferring, DeviceEvent::Removal},
        PhaseCase{"ArrivalWhileTheErrorMessageIsOpen", Phase::ErrorMessageOpen,
                  DeviceEvent::Arrival},
        PhaseCase{"RemovalWhileTheErrorMessageIsOpen", Phase::ErrorMessageOpen,
                  DeviceEvent::Removal},
        PhaseCase{"ArrivalWhileTheResultIsOpen", Phase::ResultOpen, DeviceEvent::Arrival},
        PhaseCase{"RemovalWhileTheResultIsOpen", Phase::ResultOpen, DeviceEvent::Removal}),
    [](const auto& info) { return info.param.name; });

// --- a device event while a message box is open ---

// An arrival with no programmer there: its query shows "USB Device is not Ready, Ver!!" and waits
// for it. Two more events come while that box is open, in either order.
struct NestedCase {
  const char* name;
  std::vector<DeviceEvent> whileOpen;
  std::string title;
  bool usable;
  int versionReads;  // after the start-up's
};

class WhileAMessageBoxIsOpen : public Controller,
                               public ::testing::WithParamInterface<NestedCase> {};

TEST_P(WhileAMessageBoxIsOpen, EventsApplyOrWaitAndStaleArrivalsAreDropped) {
  const NestedCase& c = GetParam();
  Start();
  const int versionReadsAtStart = CountCommand(kVersionRead);
  controller_->DeviceChanged(DeviceEvent::Removal);
  device_.Unplug();
  view_.hold = true;
  int boxes = 0;
  view_.onModal = [&](std::string_view what) {
    EXPECT_EQ(what, std::string("message ") + kVersionNotReady);
    if (++boxes > 1) {
      view_.Dismiss();
      return;
    }
    // Inside the box's modal loop: the events come, and the GUI thread returns from each at once.
    device_.Replug();
    for (DeviceEvent event : c.whileOpen) controller_->DeviceChanged(event);
    view_.Dismiss();
  };
  controller_->DeviceChanged(DeviceEvent::Arrival);
  ASSERT_TRUE(RunUntil([&] { return boxes >= 1 && !view_.ModalOpen(); }));
  ASSERT_TRUE(RunUntil([&] {
    return CountCommand(kVersionRead) == versionReadsAtStart + c.versionReads &&
           view_.title() == c.title && Upgrader().DeviceUsable() == c.usable;
  }));
  controller_->Shutdown();  // joins a query that might still come
  queue_.RunPending();
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(CountCommand(kVersionRead), versionReadsAtStart + c.versionReads);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, WhileAMessageBoxIsOpen,
    ::testing::Values(
        // The removal makes the box's own query stale; the arrival after it is taken up.
        NestedCase{"RemovalThenArrival",
                   {DeviceEvent::Removal, DeviceEvent::Arrival},
                   kConnected,
                   true,
                   1},
        // The arrival waits for the query; the removal after it makes it stale.
        NestedCase{"ArrivalThenRemoval",
                   {DeviceEvent::Arrival, DeviceEvent::Removal},
                   kDisconnected,
                   false,
                   0},
        // Several arrivals fold into one more query.
        NestedCase{"ArrivalsOnly",
                   {DeviceEvent::Arrival, DeviceEvent::Arrival, DeviceEvent::Arrival},
                   kConnected,
                   true,
                   1}),
    [](const auto& info) { return info.param.name; });

// --- closing ---

TEST_F(Controller, ADeviceThatNeverAnswersLeavesTheGuiFreeAndClosingEndsItAtOnce) {
  device_.Unplug();
  Start({}, /*realTimeouts=*/true);
  std::size_t sent = 0;  // what the host had written when the device fell silent
  Device([&](VirtualProgrammer& p) {
    p.faults().noAnswer = true;
    sent = p.hostBytes().size();
  });
  device_.Replug();
  controller_->DeviceChanged(DeviceEvent::Arrival);
  // The query waits out the device's silence; the GUI thread goes on with its work.
  device_.WaitUntil([&](VirtualProgrammer& p) { return p.hostBytes().size() > sent; });
  bool ran = false;
  queue_.Post([&] { ran = true; });
  ASSERT_TRUE(RunUntil([&] { return ran; }));
  EXPECT_EQ(view_.title(), kDisconnected);

  const auto started = Clock::now();
  controller_->Close();
  EXPECT_LT(Clock::now() - started, 1s);
  EXPECT_TRUE(view_.ended);
  queue_.RunPending();
  EXPECT_TRUE(view_.messages.empty());
}

class ClosingIn : public Controller, public ::testing::WithParamInterface<Phase> {};

TEST_P(ClosingIn, EveryPhaseEndsTheWindowAtOnceWithoutAnotherMessage) {
  Start({}, /*realTimeouts=*/true);
  const Phase phase = GetParam();
  bool closedInside = false;
  auto close = [&] {
    const auto started = Clock::now();
    controller_->Close();
    EXPECT_LT(Clock::now() - started, 1s);
    closedInside = true;
  };
  const std::size_t messagesBefore = view_.messages.size();
  if (phase == Phase::Transferring) {
    RunJobUntilTransferring();
    close();
  } else {
    if (phase == Phase::ErrorMessageOpen) Fault(Step::SizeReply, 1, FaultKind::Refuse);
    view_.onModal = [&](std::string_view) {
      if (!closedInside) close();
    };
    controller_->StartJob();
    ASSERT_TRUE(RunUntil([&] { return closedInside; }));
  }
  queue_.RunPending();
  EXPECT_TRUE(view_.ended);
  EXPECT_TRUE(Idle());  // the job's thread has ended
  EXPECT_EQ(view_.messages.size(), messagesBefore + (phase == Phase::ErrorMessageOpen ? 1 : 0));
  EXPECT_EQ(view_.calls.back(), "end");
  controller_->DeviceChanged(DeviceEvent::Arrival);  // nothing happens after closing
  controller_->StartJob();
  queue_.RunPending();
  EXPECT_EQ(view_.calls.back(), "end");
}

INSTANTIATE_TEST_SUITE_P(Phases, ClosingIn,
                         ::testing::Values(Phase::Transferring, Phase::ErrorMessageOpen,
                                           Phase::ResultOpen),
                         [](const auto& info) {
                           switch (info.param) {
                             case Phase::Transferring:
                               return "Transferring";
                             case Phase::ErrorMessageOpen:
                               return "ErrorMessageOpen";
                             case Phase::ResultOpen:
                               return "ResultOpen";
                           }
                           return "";
                         });

TEST_F(Controller, ClosingWhileIdleOrWhileTheRefusalIsOpen) {
  device_.Unplug();
  Start();
  view_.onModal = [&](std::string_view) { controller_->Close(); };
  controller_->StartJob();  // refused: the message box opens, and the window closes in it
  EXPECT_TRUE(view_.ended);
  EXPECT_EQ(view_.messages, std::vector<std::string>{kRefused});
  controller_->Close();  // a second close does nothing more
  EXPECT_EQ(std::count(view_.calls.begin(), view_.calls.end(), "end"), 1);
}

// However the window goes away, the controller closes the GUI queue itself: what a worker had
// queued is dropped, and no more is taken.
struct EndCase {
  const char* name;
  std::function<void(std::unique_ptr<WindowController>&)> end;
};

class EndingTheWindow : public Controller, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndingTheWindow, ClosesTheQueueAndDropsWhatAWorkerQueued) {
  Start();
  std::thread worker([&] { controller_->host().ShowCurrentVersion("9.99"); });
  worker.join();
  ASSERT_EQ(queue_.Queued(), 1u);
  GetParam().end(controller_);
  EXPECT_EQ(queue_.Queued(), 0u);
  EXPECT_FALSE(queue_.Post([] {}));
  queue_.RunPending();
  EXPECT_EQ(view_.currentVersion, "2.07");
}

INSTANTIATE_TEST_SUITE_P(Ways, EndingTheWindow,
                         ::testing::Values(EndCase{"CloseBox", [](auto& c) { c->Close(); }},
                                           EndCase{"LoopEnded", [](auto& c) { c->Shutdown(); }},
                                           EndCase{"Destroyed", [](auto& c) { c.reset(); }}),
                         [](const auto& info) { return info.param.name; });

// --- the host's hand-over rules ---

TEST_F(Controller, AWorkersMessageWaitsUntilTheGuiHasShownItAndTheRestKeepsItsOrder) {
  Start();
  WindowHost& host = controller_->host();
  view_.calls.clear();
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    host.EnableUpdateButton(false);
    host.ShowCurrentVersion("2.07");
    host.ShowMessage(kUpgradeError);
    returned = true;
    host.EnableUpdateButton(true);
    host.EndProgram();
  });
  ASSERT_TRUE(RunUntil([&] { return view_.ended; }));
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(view_.calls,
            (std::vector<std::string>{"button off", std::string("message ") + kUpgradeError,
                                      "button on", "end"}));
  EXPECT_EQ(view_.currentVersion, "2.07");
}

TEST_F(Controller, AWorkerWaitingForADialogIsReleasedWhenTheWindowCloses) {
  Start();
  WindowHost& host = controller_->host();
  view_.calls.clear();
  // The GUI thread never runs the queued dialogs: only closing can let the worker go.
  std::thread worker([&] {
    host.ShowMessage("USB Device is not Ready!!");
    host.ShowResult(upgrade::UpgradeReport{});
  });
  while (queue_.Queued() == 0) std::this_thread::yield();
  host.Close();
  worker.join();
  queue_.RunPending();
  EXPECT_TRUE(view_.calls.empty());
  host.ShowMessage("x");
  host.EnableUpdateButton(true);
  EXPECT_TRUE(view_.calls.empty());
}

}  // namespace
}  // namespace torv2::window
