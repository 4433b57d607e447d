#pragma once
// Where the job and the image transfers report progress: the window's progress bar, the command
// line's bar, or a test's recorder. Calls may come from the job's worker thread.

#include <string_view>

namespace torv2::link {

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void SetRange(int lower, int upper) = 0;  // always 0 and 100
  virtual void SetStep(int step) = 0;               // always 1
  // The label ("Down", "Verify" or empty) and whether the bar shows it with the percentage.
  virtual void SetText(std::string_view label, bool show) = 0;
  // A percentage; returns the previous position.
  virtual int SetPos(int position) = 0;
};

}  // namespace torv2::link
