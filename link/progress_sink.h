#pragma once
// Where the job and the image transfers report progress: the window's progress bar, the command
// line's bar, or a test's recorder. Calls may come from the job's worker thread.

#include <string_view>

namespace torv2::link {

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // The stage's label ("Down", "Verify" or empty) and whether the bar shows it with the
  // percentage.
  virtual void SetLabel(std::string_view label, bool show) = 0;
  // How far the stage has come, 0 to 100.
  virtual void SetPercent(int percent) = 0;
};

}  // namespace torv2::link
