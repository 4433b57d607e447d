// Getting the job's calls from its worker thread to the GUI thread: the task queue, the progress
// relay, and the host's waiting rules.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/ui/qt_test_support.h"
#include "ui/gui_thread_queue.h"
#include "ui/progress_relay.h"
#include "ui/text_progress_ctrl.h"
#include "ui/window_host.h"

namespace torv2::ui {
namespace {

using testing::WaitFor;

TEST(GuiThreadQueue, RunsTasksOnTheGuiThreadInPostingOrder) {
  GuiThreadQueue queue;
  std::vector<int> order;
  std::atomic<bool> offThread{false};
  std::thread worker([&] {
    for (int i = 0; i < 500; ++i) {
      queue.Post([&, i] {
        if (!queue.OnGuiThread()) offThread = true;
        order.push_back(i);
      });
    }
  });
  worker.join();
  ASSERT_TRUE(WaitFor([&] { return order.size() == 500; }));
  for (int i = 0; i < 500; ++i) ASSERT_EQ(order[i], i);
  EXPECT_FALSE(offThread);
}

TEST(GuiThreadQueue, ATaskThatOpensAModalLoopDoesNotHoldUpTheOnesBehindIt) {
  GuiThreadQueue queue;
  bool secondRan = false;
  bool secondRanInsideFirst = false;
  queue.Post([&] {
    // A modal loop of its own, like a message box, that ends once the next task has run.
    WaitFor([&] { return secondRan; }, 5000);
    secondRanInsideFirst = secondRan;
  });
  queue.Post([&] { secondRan = true; });
  ASSERT_TRUE(WaitFor([&] { return secondRan; }));
  EXPECT_TRUE(secondRanInsideFirst);
}

TEST(GuiThreadQueue, NothingRunsAfterClose) {
  GuiThreadQueue queue;
  bool ran = false;
  EXPECT_TRUE(queue.Post([&] { ran = true; }));
  queue.Close();
  EXPECT_FALSE(queue.Post([&] { ran = true; }));
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

// The relay in front of a bar, as the window has it.
class Relay : public ::testing::Test {
 protected:
  void SetUp() override {
    bar_.resize(325, 23);
    bar_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar_));
  }

  CTextProgressCtrl bar_;
  GuiThreadQueue queue_;
  ProgressRelay relay_{bar_, queue_};
};

TEST_F(Relay, TheWorkerNeverWaitsForTheGuiAndGetsEachPreviousPosition) {
  // The GUI thread does not run its event loop while the worker reports: a relay that waited for
  // the GUI would hang here.
  std::vector<int> previous;
  std::thread worker([&] {
    relay_.SetRange(0, 100);
    relay_.SetStep(1);
    relay_.SetText("Down", true);
    for (int round = 0; round < 50; ++round) {
      for (int p = 0; p <= 100; ++p) previous.push_back(relay_.SetPos(p));
    }
    relay_.SetText("Verify", true);
    previous.push_back(relay_.SetPos(37));
  });
  worker.join();
  ASSERT_EQ(previous.size(), 50u * 101 + 1);
  EXPECT_EQ(previous[0], 0);
  for (std::size_t i = 1; i + 1 < previous.size(); ++i) {
    ASSERT_EQ(previous[i], static_cast<int>((i - 1) % 101)) << i;
  }
  EXPECT_EQ(previous.back(), 100);

  // The burst folds into the latest state, brought over in few updates.
  const int paintsBefore = bar_.PaintCount();
  ASSERT_TRUE(WaitFor([&] { return bar_.GetPos() == 37; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(bar_.DisplayText(), "Verify -  37%");
  EXPECT_LE(bar_.PaintCount() - paintsBefore, 3);
}

TEST_F(Relay, OnTheGuiThreadTheBarFollowsAtOnce) {
  relay_.SetText("Down", true);
  EXPECT_EQ(relay_.SetPos(12), 0);
  EXPECT_EQ(bar_.GetPos(), 12);
  EXPECT_EQ(bar_.DisplayText(), "Down -  12%");
  relay_.SetPos(0);
  relay_.SetText("", false);
  EXPECT_EQ(bar_.DisplayText(), QString());
}

// A window that records what the host asks of it.
class RecordingWindow : public WindowActions {
 public:
  void ShowMessageBox(const QString& text, const QString& caption) override {
    calls.push_back("message " + text.toStdString() + " / " + caption.toStdString());
    onGuiThread.push_back(queue && queue->OnGuiThread());
    if (onMessage) onMessage();
  }
  void RunResultDialog(const upgrade::UpgradeReport& report) override {
    calls.push_back("result " + report.m_strMainResult);
  }
  void SetUpdateButtonEnabled(bool enabled) override {
    calls.push_back(enabled ? "enable" : "disable");
  }
  void SetCurrentVersionText(const QString& text) override {
    calls.push_back("version " + text.toStdString());
  }
  void EndMainDialog() override { calls.push_back("end"); }

  GuiThreadQueue* queue = nullptr;
  std::function<void()> onMessage;
  std::vector<std::string> calls;
  std::vector<bool> onGuiThread;
};

class Host : public ::testing::Test {
 protected:
  void SetUp() override { window_.queue = &queue_; }

  RecordingWindow window_;
  GuiThreadQueue queue_;
  CTextProgressCtrl bar_;
  ProgressRelay relay_{bar_, queue_};
  WindowHost host_{window_, queue_, relay_, QStringLiteral("torv2-upgrader")};
};

TEST_F(Host, AMessageFromTheWorkerWaitsUntilTheGuiHasShownIt) {
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    host_.EnableUpdateButton(false);
    host_.ShowCurrentVersion("2.07");
    host_.ShowMessage("ZARN TORV II - Firmware Upgrade Error!");
    returned = true;
    host_.EnableUpdateButton(true);
    host_.EndProgram();
  });
  ASSERT_TRUE(WaitFor([&] { return window_.calls.size() == 5; }));
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(window_.calls,
            (std::vector<std::string>{"disable", "version 2.07",
                                      "message ZARN TORV II - Firmware Upgrade Error! / "
                                      "torv2-upgrader",
                                      "enable", "end"}));
  EXPECT_EQ(window_.onGuiThread, std::vector<bool>{true});
}

TEST_F(Host, OnTheGuiThreadCallsRunDirectly) {
  host_.ShowMessageWithCaption("LoadLibrary Error!", "Error!");
  host_.EnableUpdateButton(true);
  EXPECT_EQ(window_.calls,
            (std::vector<std::string>{"message LoadLibrary Error! / Error!", "enable"}));
}

TEST_F(Host, AWorkerWaitingForADialogIsReleasedWhenTheWindowCloses) {
  // The GUI thread never runs the queued message: only Close() can let the worker go.
  std::thread worker([&] {
    host_.ShowMessage("USB Device is not Ready!!");
    host_.ShowResult(upgrade::UpgradeReport{});
  });
  host_.Close();
  worker.join();
  QCoreApplication::processEvents();
  EXPECT_TRUE(window_.calls.empty());
}

TEST_F(Host, AfterCloseNothingMoreIsShown) {
  host_.Close();
  host_.ShowMessage("x");
  host_.EnableUpdateButton(true);
  std::thread worker([&] { host_.ShowResult(upgrade::UpgradeReport{}); });
  worker.join();
  QCoreApplication::processEvents();
  EXPECT_TRUE(window_.calls.empty());
}

}  // namespace
}  // namespace torv2::ui
