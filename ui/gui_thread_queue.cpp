#include "ui/gui_thread_queue.h"

#include <QThread>

namespace torv2::ui {

GuiThreadQueue::GuiThreadQueue(QObject* parent) : QObject(parent) {}

bool GuiThreadQueue::Post(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  tasks_.push_back(std::move(task));
  if (!wakePending_) Wake();
  return true;
}

bool GuiThreadQueue::OnGuiThread() const {
  return QThread::currentThread() == thread();
}

void GuiThreadQueue::Close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(tasks_);
  }
  // The dropped tasks are destroyed here, outside the lock.
}

bool GuiThreadQueue::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void GuiThreadQueue::Wake() {
  wakePending_ = true;
  // By name, without arguments: the queued call carries no data of ours across threads.
  QMetaObject::invokeMethod(this, "RunOne", Qt::QueuedConnection);
}

void GuiThreadQueue::RunOne() {
  std::function<void()> task;
  {
    std::lock_guard lock(mutex_);
    wakePending_ = false;
    if (tasks_.empty()) return;
    task = std::move(tasks_.front());
    tasks_.pop_front();
    if (!tasks_.empty()) Wake();
  }
  task();
}

}  // namespace torv2::ui
