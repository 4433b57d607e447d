#include "ui/progress_relay.h"

#include "ui/gui_thread_queue.h"
#include "ui/text_progress_ctrl.h"

namespace torv2::ui {

ProgressRelay::ProgressRelay(CTextProgressCtrl& bar, GuiThreadQueue& queue)
    : bar_(bar), queue_(queue) {
  state_.lower = bar.GetRangeLower();
  state_.upper = bar.GetRangeUpper();
  state_.step = bar.GetStep();
  state_.position = bar.GetPos();
  state_.show = bar.ShowsText();
}

void ProgressRelay::SetRange(int lower, int upper) {
  std::unique_lock lock(mutex_);
  state_.lower = lower;
  state_.upper = upper;
  Changed(lock);
}

void ProgressRelay::SetStep(int step) {
  std::unique_lock lock(mutex_);
  state_.step = step;
  Changed(lock);
}

void ProgressRelay::SetText(std::string_view label, bool show) {
  std::unique_lock lock(mutex_);
  state_.label.assign(label);
  state_.show = show;
  Changed(lock);
}

int ProgressRelay::SetPos(int position) {
  std::unique_lock lock(mutex_);
  const int previous = state_.position;
  state_.position = position;
  Changed(lock);
  return previous;
}

void ProgressRelay::Changed(std::unique_lock<std::mutex>& lock) {
  if (queue_.OnGuiThread()) {
    lock.unlock();
    ApplyLatest();
    return;
  }
  if (applyQueued_) return;  // the update already queued will carry this change too
  applyQueued_ = true;
  lock.unlock();
  if (!queue_.Post([this] { ApplyLatest(); })) {
    lock.lock();
    applyQueued_ = false;
  }
}

void ProgressRelay::ApplyLatest() {
  State s;
  {
    std::lock_guard lock(mutex_);
    applyQueued_ = false;
    s = state_;
  }
  // In the job's order: range and step, then the label, then the position, whose redraw shows it.
  bar_.SetRange(s.lower, s.upper);
  bar_.SetStep(s.step);
  bar_.SetText(QString::fromUtf8(s.label.data(), static_cast<qsizetype>(s.label.size())), s.show);
  bar_.SetPos(s.position);
}

}  // namespace torv2::ui
