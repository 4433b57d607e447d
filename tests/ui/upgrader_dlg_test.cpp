// The main window against the in-process virtual programmer: start-up, the keyboard, the upgrade
// from the space key to the end of the program, failures, closing, device arrival and removal.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <functional>

#include "emulator/inprocess_transport.h"
#include "tests/support/progress_script.h"
#include "tests/ui/qt_test_support.h"
#include "ui/text_progress_ctrl.h"
#include "ui/upgrade_result_dlg.h"
#include "ui/upgrader_dlg.h"

namespace torv2::ui {
namespace {

using namespace std::chrono_literals;
using emulator::FaultKind;
using emulator::Image;
using emulator::Step;
using emulator::StepFault;
using emulator::VirtualProgrammer;
using link::DeviceEvent;
using window::DeviceNotification;
using UpgraderDlgOptions = window::WindowOptions;
using testing::ModalAnswerer;
using testing::Screenshot;
using testing::WaitFor;

const QString kCaption = QStringLiteral("ZARN TORV II Upgrader");
const QString kTitleConnected = QStringLiteral("\u3000\u3000\u3000\u00A7 USB OK \u00A7");
const QString kTitleDisconnected = QStringLiteral("\u3000\u00A7 USB UnConn \u00A7");
constexpr char kUpgradeError[] = "ZARN TORV II - Firmware Upgrade Error!";
constexpr char kRefused[] = "USB Communication cannot be operated!";

class MainWindow : public ::testing::Test {
 protected:
  void TearDown() override {
    if (dlg_) dlg_->close();
  }

  // Builds the window and runs its start-up, as the program does before showing it. A silent
  // device costs 300 ms per transfer here unless the test asks for the real time-outs.
  void Start(UpgraderDlgOptions options = {}, bool realTimeouts = false) {
    options.timings.resetWait = 1ms;
    if (!realTimeouts) options.linkTimeouts = link::LinkTimeouts{1000ms, 300ms};
    dlg_ = std::make_unique<CZARN_TORV2_UpgraderDlg>(device_, std::move(options));
    finished_ = std::make_unique<QSignalSpy>(dlg_.get(), &QDialog::finished);
    dlg_->OnInitDialog();
    dlg_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
  }

  template <class F>
  decltype(auto) Device(F&& f) {
    return device_.WithProgrammer(std::forward<F>(f));
  }
  void Fault(Step step, int occurrence, FaultKind kind) {
    Device([&](VirtualProgrammer& p) { p.faults().atStep = StepFault{step, occurrence, kind}; });
  }
  std::vector<std::string> Commands() {
    return Device([](VirtualProgrammer& p) { return p.commands(); });
  }
  int CountCommand(const std::string& command) {
    const auto c = Commands();
    return static_cast<int>(std::count(c.begin(), c.end(), command));
  }
  void PressSpace() { QTest::keyClick(dlg_.get(), Qt::Key_Space); }
  // A device event, as the window's registration hands it over on the GUI thread.
  void Deliver(DeviceEvent event) { dlg_->controller().DeviceChanged(event); }
  bool Ended() const { return finished_->count() == 1; }
  bool Idle() { return !dlg_->upgrader().Busy(); }
  QString Title() const { return dlg_->windowTitle(); }

  // Whether the device holds both carried images now.
  bool DeviceHoldsTheCarriedImages() {
    const upgrade::FirmwareImage& main = dlg_->upgrader().mainImage();
    const upgrade::FirmwareImage& sub = dlg_->upgrader().subImage();
    return Device([&](VirtualProgrammer& p) {
      return std::equal(main.data, main.data + main.size, p.flash(Image::Main).begin(),
                        p.flash(Image::Main).end()) &&
             std::equal(sub.data, sub.data + sub.size, p.flash(Image::Sub).begin(),
                        p.flash(Image::Sub).end());
    });
  }

  emulator::InProcessTransport device_;
  std::unique_ptr<CZARN_TORV2_UpgraderDlg> dlg_;
  std::unique_ptr<QSignalSpy> finished_;
};

// --- start-up ---

struct StartCase {
  const char* name;
  std::function<void(emulator::InProcessTransport&)> device;
  QString suffix;
  bool usable;
  const char* currentVersion;
  std::vector<std::string> messages;
  int resets;
};

class StartsUp : public MainWindow, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartsUp, TitleButtonAndVersions) {
  const StartCase& c = GetParam();
  if (c.device) c.device(device_);
  ModalAnswerer answerer;
  Start();
  EXPECT_EQ(Title(), kCaption + c.suffix);
  EXPECT_EQ(dlg_->updateButton()->isEnabled(), c.usable);
  EXPECT_EQ(dlg_->upgrader().DeviceUsable(), c.usable);
  EXPECT_EQ(dlg_->upgradeVersionLabel()->text(), "2.08");
  EXPECT_EQ(dlg_->currentVersionLabel()->text().toStdString(), c.currentVersion);
  EXPECT_EQ(dlg_->upgrader().Report().upgradeVersion, "Upgrade Version : 2.08");
  EXPECT_EQ(answerer.messages(), c.messages);
  EXPECT_EQ(Device([](VirtualProgrammer& p) { return p.resetCount(); }), c.resets);
  EXPECT_FALSE(dlg_->windowIcon().isNull());
  Screenshot(*dlg_, QStringLiteral("main_window_%1").arg(c.name));
}

INSTANTIATE_TEST_SUITE_P(
    Device, StartsUp,
    ::testing::Values(StartCase{"Attached", {}, kTitleConnected, true, "2.07", {}, 0},
                      StartCase{"Absent",
                                [](emulator::InProcessTransport& d) { d.Unplug(); },
                                kTitleDisconnected,
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
                                kTitleConnected,
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
                                kTitleConnected,
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
                          kTitleConnected,
                          true,
                          "2.07",
                          {"Read Current Status Data Fail!"},
                          0}),
    [](const auto& info) { return info.param.name; });

struct MissingCase {
  const char* name;
  const char* modulePath;
  std::vector<std::string> messages;
};

class ImagesMissing : public MainWindow, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(ImagesMissing, NothingElseOfStartUpHappens) {
  const MissingCase& c = GetParam();
  ModalAnswerer answerer;
  UpgraderDlgOptions options;
  options.modulePath = c.modulePath;
  Start(options);
  EXPECT_EQ(dlg_->upgradeVersionLabel()->text(), "Unknown - MainExe");
  EXPECT_EQ(Title(), kCaption);
  EXPECT_FALSE(dlg_->updateButton()->isEnabled());
  EXPECT_EQ(answerer.messages(), c.messages);
  ASSERT_FALSE(answerer.seen().empty());
  EXPECT_EQ(answerer.seen().back().title, "Error!");
  EXPECT_EQ(device_.opens(), 0u);  // nothing was sent to the device
}

INSTANTIATE_TEST_SUITE_P(
    Path, ImagesMissing,
    ::testing::Values(
        MissingCase{"NoSuchFile", "/nonexistent/torv2-upgrader", {"LoadLibrary Error!"}},
        MissingCase{"NoPath", "", {"GetModuleFileName Failed!", "LoadLibrary Error!"}}),
    [](const auto& info) { return info.param.name; });

// --- the keyboard ---

class KeyDoesNothing : public MainWindow, public ::testing::WithParamInterface<Qt::Key> {};

TEST_P(KeyDoesNothing, InTheMainWindow) {
  ModalAnswerer answerer;
  Start();
  dlg_->updateButton()->setFocus();
  const std::size_t commands = Commands().size();
  QTest::keyClick(QApplication::focusWidget(), GetParam());
  QTest::keyClick(dlg_.get(), GetParam());
  QCoreApplication::processEvents();
  EXPECT_TRUE(dlg_->isVisible());
  EXPECT_EQ(finished_->count(), 0);
  EXPECT_EQ(QApplication::focusWidget(), dlg_->updateButton());
  EXPECT_EQ(Commands().size(), commands);  // no job started
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(answerer.seen().empty());
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyDoesNothing,
                         ::testing::Values(Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape,
                                           Qt::Key_Tab, Qt::Key_Backtab, Qt::Key_Up, Qt::Key_A,
                                           Qt::Key_F1),
                         [](const auto& info) {
                           return QKeySequence(info.param).toString().toStdString();
                         });

// --- the upgrade ---

// Answers the result dialog with Enter after reading it; message boxes with OK.
struct ResultReader {
  std::vector<std::string> lines;
  QString barText;
  bool mainWindowBlocked = false;
  bool buttonEnabled = true;

  ModalAnswerer::Answer Answer(CZARN_TORV2_UpgraderDlg& main) {
    return [this, &main](QWidget* modal) {
      auto* result = qobject_cast<CUpgradeResultDlg*>(modal);
      if (result == nullptr) {
        ModalAnswerer::Dismiss(modal);
        return true;
      }
      for (QLabel* l : {result->MainLine(), result->SubLine(), result->SocketTable(),
                        result->UpgradeLine(), result->CurrentLine()}) {
        lines.push_back(l->text().toStdString());
      }
      barText = main.progressBar()->DisplayText();
      mainWindowBlocked = QApplication::activeModalWidget() == result && result->isModal();
      buttonEnabled = main.updateButton()->isEnabled();
      QTest::keyClick(result, Qt::Key_Return);
      return true;
    };
  }
};

TEST_F(MainWindow, SpaceRunsAWholeUpgradeAndClosingTheResultEndsTheProgram) {
  ResultReader reader;
  Start();
  ModalAnswerer answerer(reader.Answer(*dlg_));
  PressSpace();
  ASSERT_TRUE(WaitFor([&] { return Ended(); }, 60'000));

  EXPECT_TRUE(answerer.messages().empty());
  ASSERT_EQ(reader.lines.size(), 5u);
  EXPECT_EQ(reader.lines[0], "Torv2 Main Execute - Upgrade OK");
  EXPECT_EQ(reader.lines[1], "Torv2 Sub Execute - Upgrade OK");
  EXPECT_NE(reader.lines[2].find(
                "│ＳＵＢ５（ＯＫ）　│ＳＵＢ６（ＯＫ）　│ＳＵＢ７（ＯＫ）　│ＳＵＢ８（ＯＫ）　│"),
            std::string::npos)
      << reader.lines[2];
  EXPECT_EQ(reader.lines[3], "Upgrade Version : 2.08");
  EXPECT_EQ(reader.lines[4], "Current Version : 2.08");  // the device reads its new image
  EXPECT_EQ(reader.barText, "Verify - 100%");            // the bar had caught up before the report
  EXPECT_TRUE(reader.mainWindowBlocked);
  EXPECT_FALSE(reader.buttonEnabled);

  EXPECT_EQ(dlg_->result(), QDialog::Accepted);
  EXPECT_FALSE(dlg_->isVisible());
  EXPECT_TRUE(DeviceHoldsTheCarriedImages());
  EXPECT_EQ(dlg_->progressBar()->DisplayText(), QString());  // cleared at the end of the job
}

TEST_F(MainWindow, AFailedUpgradeShowsItsMessageAndASecondAttemptCompletes) {
  ResultReader reader;
  Start();
  ModalAnswerer answerer(reader.Answer(*dlg_));
  Fault(Step::SizeReply, 1, FaultKind::Refuse);

  PressSpace();
  // The job ends by enabling the button again.
  ASSERT_TRUE(WaitFor([&] { return Idle() && dlg_->updateButton()->isEnabled(); }));
  EXPECT_EQ(answerer.messages(), std::vector<std::string>{kUpgradeError});
  // Why, and what to do, behind the box's details button.
  ASSERT_EQ(answerer.seen().size(), 1u);
  EXPECT_EQ(answerer.seen()[0].details,
            "Cause: main size record: refused (\"Error\")\n"
            "What to do: the upgrade stopped part-way: run the upgrade again; if it stops at the "
            "same step, unplug the programmer and plug it in again first");
  EXPECT_TRUE(dlg_->isVisible());
  EXPECT_EQ(finished_->count(), 0);
  EXPECT_TRUE(reader.lines.empty());
  EXPECT_EQ(dlg_->progressBar()->DisplayText(), QString());

  PressSpace();
  ASSERT_TRUE(WaitFor([&] { return Ended(); }, 60'000));
  EXPECT_EQ(answerer.messages(), std::vector<std::string>{kUpgradeError});
  ASSERT_EQ(reader.lines.size(), 5u);
  EXPECT_EQ(reader.lines[0], "Torv2 Main Execute - Upgrade OK");
  EXPECT_TRUE(DeviceHoldsTheCarriedImages());
}

TEST_F(MainWindow, TheUpdateButtonStartsTheUpgradeToo) {
  ResultReader reader;
  Start();
  ModalAnswerer answerer(reader.Answer(*dlg_));
  QTest::mouseClick(dlg_->updateButton(), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Ended(); }, 60'000));
  EXPECT_EQ(reader.lines.size(), 5u);
}

TEST_F(MainWindow, ClosingDuringAJobEndsItAtOnceWithoutAMessage) {
  Start({}, /*realTimeouts=*/true);  // the stuck transfer would wait 6 seconds
  ModalAnswerer answerer;
  Fault(Step::ChunkAck, 2, FaultKind::NoAnswer);
  PressSpace();
  device_.WaitUntil([](VirtualProgrammer& p) { return p.stepCount(Step::ChunkAck) >= 2; });
  ASSERT_FALSE(Idle());

  QElapsedTimer clock;
  clock.start();
  dlg_->close();
  EXPECT_LT(clock.elapsed(), 1000);
  EXPECT_TRUE(Ended());
  EXPECT_TRUE(Idle());  // the job's thread has ended
  QCoreApplication::processEvents();
  EXPECT_TRUE(answerer.seen().empty());
}

// --- device arrival and removal ---

TEST_F(MainWindow, ARemovalMarksTheWindowDisconnectedAndTheNextClickIsRefused) {
  ModalAnswerer answerer;
  Start();
  Deliver(DeviceEvent::Removal);
  EXPECT_EQ(Title(), kCaption + kTitleDisconnected);
  EXPECT_FALSE(dlg_->updateButton()->isEnabled());
  EXPECT_EQ(dlg_->currentVersionLabel()->text(), "Unknown");
  EXPECT_FALSE(dlg_->upgrader().DeviceUsable());

  // Space acts even on the disabled button; the click is refused.
  const std::size_t commands = Commands().size();
  PressSpace();
  EXPECT_EQ(answerer.messages(), std::vector<std::string>{kRefused});
  EXPECT_EQ(answerer.seen().back().title, QCoreApplication::applicationName().toStdString());
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(dlg_->updateButton()->isEnabled());
  EXPECT_EQ(Commands().size(), commands);
}

TEST_F(MainWindow, AnArrivalWithAReadableVersionConnects) {
  ModalAnswerer answerer;
  device_.Unplug();
  Start();
  ASSERT_EQ(Title(), kCaption + kTitleDisconnected);
  device_.Replug();
  Deliver(DeviceEvent::Arrival);
  EXPECT_EQ(Title(), kCaption + kTitleDisconnected);  // the version is read on a worker
  ASSERT_TRUE(WaitFor([&] { return Title() == kCaption + kTitleConnected; }));
  EXPECT_TRUE(dlg_->updateButton()->isEnabled());
  EXPECT_TRUE(dlg_->upgrader().DeviceUsable());
  EXPECT_EQ(dlg_->currentVersionLabel()->text(), "2.07");
  EXPECT_TRUE(answerer.seen().empty());
}

TEST_F(MainWindow, AnArrivalOfAnotherDeviceLeavesTheWindowDisconnected) {
  ModalAnswerer answerer;
  Start();
  device_.Unplug();
  Deliver(DeviceEvent::Removal);
  Deliver(DeviceEvent::Arrival);  // something else came; no programmer there
  ASSERT_TRUE(WaitFor([&] { return !answerer.messages().empty(); }));
  EXPECT_EQ(answerer.messages(), std::vector<std::string>{"USB Device is not Ready, Ver!!"});
  EXPECT_EQ(Title(), kCaption + kTitleDisconnected);
  EXPECT_FALSE(dlg_->updateButton()->isEnabled());
  EXPECT_FALSE(dlg_->upgrader().DeviceUsable());
}

TEST_F(MainWindow, EventsFromTheWatcherThreadAreHandledOnTheGuiThread) {
  ModalAnswerer answerer;
  std::function<void(DeviceEvent)> deliver;
  struct Registration : DeviceNotification {};
  UpgraderDlgOptions options;
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
  EXPECT_EQ(Title(), kCaption + kTitleConnected);  // nothing happened yet on this thread
  ASSERT_TRUE(WaitFor([&] { return CountCommand("VersionRead:Torv2MainExe,") == 2; }));
  ASSERT_TRUE(WaitFor([&] { return Title() == kCaption + kTitleConnected; }));
  EXPECT_TRUE(dlg_->upgrader().DeviceUsable());
}

TEST_F(MainWindow, AnArrivalDuringAJobWaitsUntilTheJobHasLetGoOfTheLink) {
  ResultReader reader;
  Start();
  const int versionReadsAtStart = CountCommand("VersionRead:Torv2MainExe,");
  int versionReadsWhileReportShown = -1;
  std::size_t opensWhileReportShown = 0;
  ModalAnswerer answerer([&](QWidget* modal) {
    if (qobject_cast<CUpgradeResultDlg*>(modal) != nullptr) {
      versionReadsWhileReportShown = CountCommand("VersionRead:Torv2MainExe,");
      opensWhileReportShown = device_.opens();
    }
    return reader.Answer(*dlg_)(modal);
  });
  PressSpace();
  device_.WaitUntil([](VirtualProgrammer& p) { return p.stepCount(Step::ChunkAck) >= 3; });
  const std::size_t opensDuringJob = device_.opens();
  Deliver(DeviceEvent::Arrival);  // returns at once; the job keeps the link
  EXPECT_EQ(device_.opens(), opensDuringJob);
  ASSERT_TRUE(WaitFor([&] { return Ended(); }, 60'000));

  // The job read the version once for its report; the arrival's read came after the report.
  EXPECT_EQ(versionReadsWhileReportShown, versionReadsAtStart + 1);
  EXPECT_EQ(CountCommand("VersionRead:Torv2MainExe,"), versionReadsAtStart + 2);
  EXPECT_EQ(device_.opens(), opensWhileReportShown + 1);
  EXPECT_TRUE(answerer.messages().empty());
  EXPECT_EQ(reader.lines.size(), 5u);
}

TEST_F(MainWindow, ARemovalDuringAJobStartsNoSecondJob) {
  Start({}, /*realTimeouts=*/true);
  ModalAnswerer answerer;
  Fault(Step::ChunkAck, 2, FaultKind::NoAnswer);
  PressSpace();
  device_.WaitUntil([](VirtualProgrammer& p) { return p.stepCount(Step::ChunkAck) >= 2; });
  WaitFor([&] { return dlg_->progressBar()->GetPos() > 0; });
  Screenshot(*dlg_, "main_window_during_job");

  Deliver(DeviceEvent::Removal);
  EXPECT_EQ(Title(), kCaption + kTitleDisconnected);
  EXPECT_FALSE(Idle());  // the job still runs, and says so
  PressSpace();          // ignored while the job runs: no refusal, no second job
  QCoreApplication::processEvents();
  EXPECT_TRUE(answerer.seen().empty());

  device_.Unplug();  // the device really goes: the job's transfer fails
  ASSERT_TRUE(WaitFor([&] { return Idle() && !answerer.messages().empty(); }));
  EXPECT_EQ(answerer.messages(), std::vector<std::string>{kUpgradeError});
  EXPECT_EQ(CountCommand("WriteFirmware:Torv2MainExe,"), 1);
  EXPECT_TRUE(dlg_->isVisible());
}

// An arrival with no programmer there shows "USB Device is not Ready, Ver!!" from its version
// query; while that box is open the programmer goes and comes back. The window handles both at
// once, never waits on the box's query, and ends connected.
TEST_F(MainWindow, DeviceEventsWhileAnArrivalsMessageBoxIsOpen) {
  Start();
  Deliver(DeviceEvent::Removal);
  device_.Unplug();
  QString titleInside;
  ModalAnswerer answerer([&](QWidget* modal) {
    device_.Replug();
    Deliver(DeviceEvent::Removal);
    Deliver(DeviceEvent::Arrival);
    titleInside = Title();
    ModalAnswerer::Dismiss(modal);
    return true;
  });
  Deliver(DeviceEvent::Arrival);
  ASSERT_TRUE(WaitFor([&] { return Title() == kCaption + kTitleConnected; }));
  EXPECT_EQ(titleInside, kCaption + kTitleDisconnected);
  EXPECT_EQ(answerer.messages(), std::vector<std::string>{"USB Device is not Ready, Ver!!"});
  EXPECT_TRUE(dlg_->upgrader().DeviceUsable());
  EXPECT_EQ(dlg_->currentVersionLabel()->text(), "2.07");
}

// A programmer that keeps answering every command with '-': its version query never ends, but
// the window keeps painting and taking input, and closes at once.
TEST_F(MainWindow, ADeviceThatNeverAnswersOnArrivalLeavesTheWindowResponsive) {
  device_.Unplug();
  Start({}, /*realTimeouts=*/true);
  ModalAnswerer answerer;
  std::size_t sent = 0;  // what the host had written when the device fell silent
  Device([&](VirtualProgrammer& p) {
    p.faults().noAnswer = true;
    sent = p.hostBytes().size();
  });
  device_.Replug();
  Deliver(DeviceEvent::Arrival);
  device_.WaitUntil([&](VirtualProgrammer& p) { return p.hostBytes().size() > sent; });
  // Input and painting go on: the space key is refused (the device is not usable yet).
  const int paints = dlg_->progressBar()->PaintCount();
  dlg_->progressBar()->update();
  PressSpace();
  ASSERT_TRUE(WaitFor([&] { return dlg_->progressBar()->PaintCount() > paints; }));
  ASSERT_TRUE(WaitFor([&] { return !answerer.messages().empty(); }));
  EXPECT_EQ(answerer.messages(), std::vector<std::string>{kRefused});

  QElapsedTimer clock;
  clock.start();
  dlg_->close();
  EXPECT_LT(clock.elapsed(), 1000);
  EXPECT_TRUE(Ended());
}

// What the bar paints during a whole upgrade: every state the job set, in order, up to the
// report.
TEST_F(MainWindow, TheBarPaintsEveryProgressStateInOrder) {
  ResultReader reader;
  Start();
  ASSERT_GE(dlg_->progressBar()->contentsRect().width(), 100);  // every percent moves the bar
  std::vector<std::string> painted;
  CTextProgressCtrl& bar = *dlg_->progressBar();
  bar.onPaint = [&](int, const QString& text) {
    if (!text.isEmpty()) {
      testing::ProgressScript::Add(painted,
                                   bar.Label().toStdString() + " " + std::to_string(bar.GetPos()));
    }
  };
  ModalAnswerer answerer(reader.Answer(*dlg_));
  PressSpace();
  ASSERT_TRUE(WaitFor([&] { return Ended(); }, 60'000));
  bar.onPaint = nullptr;
  const std::vector<std::string> expected = testing::UpToTheReport(
      testing::UpgradeProgressStates(dlg_->upgrader().mainImage(), dlg_->upgrader().subImage()));
  ASSERT_GT(expected.size(), 100u);
  EXPECT_EQ(testing::UpToTheReport(painted), expected);
}

// Counts the key presses that reach a widget.
class KeysReaching : public QObject {
 public:
  explicit KeysReaching(QWidget* widget) { widget->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) ++count;
    return false;
  }
};

TEST_F(MainWindow, OpensAtTheTopLeftAndOnlyAltCombinationsGetPastTheKeyboardFilter) {
  ModalAnswerer answerer;
  Start();
  EXPECT_EQ(dlg_->pos(), QPoint(0, 0));  // the template has no centring style
  KeysReaching keys(dlg_->updateButton());
  QTest::keyClick(dlg_->updateButton(), Qt::Key_A);
  QTest::keyClick(dlg_->updateButton(), Qt::Key_Return);
  EXPECT_EQ(keys.count, 0);
  // Alt combinations are the system menu's (Alt+F4, Alt+Space): the window leaves them alone.
  QTest::keyClick(dlg_->updateButton(), Qt::Key_A, Qt::AltModifier);
  EXPECT_GE(keys.count, 1);
  EXPECT_TRUE(answerer.seen().empty());
}

}  // namespace
}  // namespace torv2::ui
