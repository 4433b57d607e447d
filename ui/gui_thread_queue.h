#pragma once
// Hands work to the GUI thread over Qt's event loop. Tasks posted from other threads run on the
// GUI thread one at a time, in the order they were posted, each from an event of its own. After
// Close() nothing more runs.
//
// The task data crosses threads through this queue's own mutex; the event that wakes the GUI
// thread carries nothing.

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

#include "window/gui_queue.h"

namespace torv2::ui {

class GuiThreadQueue : public QObject, public window::GuiQueue {
  Q_OBJECT

 public:
  explicit GuiThreadQueue(QObject* parent = nullptr);

  bool Post(std::function<void()> task) override;
  bool OnGuiThread() const override;
  void Close() override;
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
