#pragma once
// Runs tasks on the GUI thread: any thread posts a task, which the window's thread runs when it
// handles the queue's message. After Close() nothing more is queued or run.

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

namespace torv2::win32 {

// The message a window passes to RunPending().
inline constexpr UINT kRunQueuedTasks = WM_APP + 1;

class GuiThreadQueue {
 public:
  GuiThreadQueue();  // the calling thread is the GUI thread
  void AttachWindow(HWND window);

  bool OnGuiThread() const { return GetCurrentThreadId() == guiThread_; }
  // Queues `task` and wakes the window; false when the queue is closed or has no window.
  bool Post(std::function<void()> task);
  // GUI thread, on kRunQueuedTasks: runs what is queued.
  void RunPending();
  void Close();

 private:
  const DWORD guiThread_;
  std::mutex mutex_;
  HWND window_ = nullptr;
  std::deque<std::function<void()>> tasks_;
  bool closed_ = false;
};

}  // namespace torv2::win32
