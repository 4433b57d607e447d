#pragma once
// Shows the job's progress on stderr: a live bar on a terminal, one line per change for logs,
// one JSON object per line for wrappers, or nothing. Several programmers at once on a terminal
// share it as live lines, one each.

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli/live_lines.h"
#include "link/progress_sink.h"

namespace torv2::cli {

enum class ProgressMode { Tty, Lines, Json, None };

class ProgressPrinter : public link::ProgressSink {
 public:
  // `images` names the images in the order the job transfers them ("main", "sub"); each
  // "Down" label moves on to the next one. With `nameDevice`, lines begin with the device's
  // name (several programmers at once); JSON objects always carry it.
  ProgressPrinter(ProgressMode mode, std::string device, std::vector<std::string> images,
                  std::FILE* out = stderr, bool nameDevice = false);
  // Takes the device's live line away.
  ~ProgressPrinter() override;
  ProgressPrinter(const ProgressPrinter&) = delete;
  ProgressPrinter& operator=(const ProgressPrinter&) = delete;

  // On a terminal (Tty), the progress is the device's line among `lines`
  // ("VIRTUAL3  main image  Down    42%") instead of a bar of its own.
  void ShowOn(LiveLines& lines);

  void SetLabel(std::string_view label, bool show) override;
  void SetPercent(int percent) override;
  // Ends the line of a live bar, so that what is printed next (a message, the report) begins
  // on a line of its own; does nothing when no bar is open.
  void EndLine();
  // Prints `text` (a message) on stderr, below a bar or above the live lines.
  void Print(std::string_view text);

  ProgressMode mode() const { return mode_; }

 private:
  void Render();
  void EndLineLocked();

  std::mutex mutex_;
  ProgressMode mode_;
  std::string device_;
  std::vector<std::string> images_;
  std::FILE* out_;
  bool nameDevice_;
  std::string phase_;
  int imageIndex_ = -1;
  int position_ = 0;
  int shown_ = -1;  // the last position printed in this phase
  bool barOpen_ = false;
  LiveLines* live_ = nullptr;
};

}  // namespace torv2::cli
