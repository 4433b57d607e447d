#pragma once
// Hands work to the GUI thread over the window's message loop: any thread posts a task, which the
// window's thread runs when it handles the queue's message, one message a task. After Close()
// nothing more is queued or run.

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

#include "window/gui_queue.h"

namespace torv2::win32 {

// The message a window passes to RunPending().
inline constexpr UINT kRunQueuedTasks = WM_APP + 1;

class GuiThreadQueue final : public window::GuiQueue {
 public:
  GuiThreadQueue();  // the calling thread is the GUI thread
  void AttachWindow(HWND window);

  bool OnGuiThread() const override { return GetCurrentThreadId() == guiThread_; }
  // Queues `task` and wakes the window; false when the queue is closed or has no window.
  bool Post(std::function<void()> task) override;
  // GUI thread, on kRunQueuedTasks: runs the task that is first in line.
  void RunPending();
  void Close() override;

 private:
  const DWORD guiThread_;
  std::mutex mutex_;
  HWND window_ = nullptr;
  std::deque<std::function<void()>> tasks_;
  bool closed_ = false;
};

}  // namespace torv2::win32
