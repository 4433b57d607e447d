#pragma once
// What the window's core needs of a toolkit's event loop: a way to hand work to the GUI thread.
// Qt's and Win32's windows each implement it over their own loop.

#include <functional>

namespace torv2::window {

class GuiQueue {
 public:
  virtual ~GuiQueue() = default;
  // Queues `task` for the GUI thread, behind everything queued before it; each task runs from an
  // event of its own, so painting and input get their turn between tasks and a modal loop that a
  // task opens keeps the queue moving. False when the queue takes no more tasks (it is dropped).
  virtual bool Post(std::function<void()> task) = 0;
  // Whether the calling thread is the GUI thread.
  virtual bool OnGuiThread() const = 0;
  // Drops what is queued; later posts are refused. Any thread.
  virtual void Close() = 0;
};

}  // namespace torv2::window
