#pragma once
// The upgrade's host in the window. Each call runs on the GUI thread: directly when it comes from
// there (a click), through the GuiQueue when it comes from a worker (the job, an arrival's version
// query). The message box and the result dialog make the worker wait until the user has closed
// them; everything else, progress included, is handed over in order without waiting. Once
// Close() was called nothing more is shown and no caller waits: the window is going away.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "upgrade/advice.h"
#include "upgrade/upgrade_host.h"
#include "window/gui_queue.h"
#include "window/window_view.h"

namespace torv2::window {

class WindowHost;

// The job's progress on the view's bar: every call reaches the bar on the GUI thread in the order
// the job made it, each from an event of its own, so the bar paints every change of its filled
// width and text, in order; the worker never waits for a paint.
class ProgressRelay final : public link::ProgressSink {
 public:
  explicit ProgressRelay(WindowHost& host) : host_(host) {}
  void SetLabel(std::string_view label, bool show) override;
  void SetPercent(int percent) override;

 private:
  WindowHost& host_;
};

class WindowHost final : public upgrade::UpgradeHost {
 public:
  // `programName` is the caption of the program's own message boxes.
  WindowHost(WindowView& view, GuiQueue& queue, std::string programName);

  link::ProgressSink& Progress() override { return progress_; }
  void ShowMessage(std::string_view text) override;
  void ShowResult(const upgrade::UpgradeReport& report) override;
  void EnableUpdateButton(bool enabled) override;
  void ShowCurrentVersion(std::string_view text) override;
  void EndProgram() override;
  // To stderr (the system journal when started from the desktop); the next message box shows it
  // in words, with what to do, as its details.
  void LogCause(const upgrade::Cause& cause) override;
  // The cause logged last no longer holds (the programmer answers again): no box shows it.
  void ForgetCause();
  // A line on stderr for whoever started the program from a terminal or reads its log.
  void Log(std::string_view text);

  // A message of the image loaders: their own caption ("Error!") and no icon; same rules as
  // ShowMessage.
  void ShowLoaderMessage(std::string_view text, std::string_view caption);
  // Runs `task` on the GUI thread without waiting (directly when called there); nothing after
  // Close().
  void RunOnGuiThread(std::function<void()> task);

  // The window is closing: waiting callers return now, later calls do nothing. Any thread.
  void Close();
  bool Closing() const;

  WindowView& view() { return view_; }

 private:
  // Runs `task` on the GUI thread and waits until it has returned, or until Close().
  void RunAndWait(std::function<void()> task);

  WindowView& view_;
  GuiQueue& queue_;
  const std::string programName_;
  ProgressRelay progress_{*this};

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool closing_ = false;
  std::optional<upgrade::Cause> cause_;  // logged, not yet shown; guarded by mutex_
};

}  // namespace torv2::window
