#pragma once
// The job's progress sink in the window: takes the job's calls on any thread and brings the
// latest state to the progress bar on the GUI thread. The worker never waits for the GUI: a burst
// of positions folds into one update of the bar, and SetPos answers the previous position from
// the relay's own record. Calls on the GUI thread reach the bar at once.

#include <mutex>
#include <string>

#include "link/progress_sink.h"

class CTextProgressCtrl;

namespace torv2::ui {

class GuiThreadQueue;

class ProgressRelay final : public link::ProgressSink {
 public:
  ProgressRelay(CTextProgressCtrl& bar, GuiThreadQueue& queue);

  void SetRange(int lower, int upper) override;
  void SetStep(int step) override;
  void SetText(std::string_view label, bool show) override;
  int SetPos(int position) override;

 private:
  struct State {
    int lower = 0;
    int upper = 100;
    int step = 1;
    std::string label;
    bool show = false;
    int position = 0;
  };

  void Changed(std::unique_lock<std::mutex>& lock);
  void ApplyLatest();  // GUI thread

  CTextProgressCtrl& bar_;
  GuiThreadQueue& queue_;
  std::mutex mutex_;
  State state_;
  bool applyQueued_ = false;
};

}  // namespace torv2::ui
