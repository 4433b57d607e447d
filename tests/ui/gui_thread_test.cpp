// Qt's GUI queue: tasks from other threads run on the GUI thread, in order, each from an event of
// its own. The host's rules over it are tests/window/'s.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/ui/qt_test_support.h"
#include "ui/gui_thread_queue.h"

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

}  // namespace
}  // namespace torv2::ui
