#pragma once
// Hands work to the GUI thread. Tasks posted from other threads run on the GUI thread one at a
// time, in the order they were posted, each from an event of its own (so painting and input get
// their turn between them, and a modal loop that a task opens keeps the queue moving). After
// Close() nothing more runs.
//
// The task data crosses threads through this queue's own mutex; the event that wakes the GUI
// thread carries nothing.

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

namespace torv2::ui {

class GuiThreadQueue : public QObject {
  Q_OBJECT

 public:
  explicit GuiThreadQueue(QObject* parent = nullptr);

  // Queues `task` for the GUI thread; false when the queue is closed (the task is dropped).
  bool Post(std::function<void()> task);
  // Whether the calling thread is the one this queue runs tasks on.
  bool OnGuiThread() const;
  // Drops what is queued; later posts are refused. Any thread.
  void Close();
  bool Closed() const;

 private:
  Q_INVOKABLE void RunOne();
  void Wake();  // with mutex_ held

  mutable std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  bool wakePending_ = false;
  bool closed_ = false;
};

}  // namespace torv2::ui
