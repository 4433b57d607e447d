#include "ui/win32/gui_thread_queue.h"

namespace torv2::win32 {

GuiThreadQueue::GuiThreadQueue() : guiThread_(GetCurrentThreadId()) {}

void GuiThreadQueue::AttachWindow(HWND window) {
  std::lock_guard lock(mutex_);
  window_ = window;
}

bool GuiThreadQueue::Post(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  if (closed_ || window_ == nullptr) return false;
  tasks_.push_back(std::move(task));
  if (!PostMessageW(window_, kRunQueuedTasks, 0, 0)) {
    tasks_.pop_back();
    return false;
  }
  return true;
}

void GuiThreadQueue::RunPending() {
  // One task a message (each Post sent one), so painting and input get their turn between tasks,
  // and a task that opens a modal loop leaves the next ones to that loop.
  std::function<void()> task;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || tasks_.empty()) return;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  task();
}

void GuiThreadQueue::Close() {
  std::deque<std::function<void()>> dropped;
  std::lock_guard lock(mutex_);
  closed_ = true;
  dropped.swap(tasks_);
}

}  // namespace torv2::win32
