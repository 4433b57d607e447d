#pragma once
// The upgrade's host in the native window. Each call runs on the GUI thread: directly when it
// comes from there (a click, a version query after a device arrival), posted to the dialog when
// it comes from the job's worker. The message box and the result dialog make the worker wait
// until the user has closed them; everything else is handed over without waiting, in order.
// Once Close() was called nothing more is shown and no caller waits: the window is going away.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "ui/win32/gui_thread_queue.h"
#include "upgrade/upgrade_host.h"

class CTextProgressCtrl;

namespace torv2::win32 {

// What the window does for the host, always on the GUI thread.
class WindowActions {
 public:
  virtual ~WindowActions() = default;
  virtual void ShowMessageBox(const std::string& text, const std::string& caption) = 0;  // modal
  virtual void RunResultDialog(const upgrade::UpgradeReport& report) = 0;                // modal
  virtual void SetUpdateButtonEnabled(bool enabled) = 0;
  virtual void SetCurrentVersionText(const std::string& text) = 0;
  virtual void EndMainDialog() = 0;
};

// The job's progress, on the bar: every call reaches the bar on the GUI thread in the order the
// job made it, so the bar's redraw rules apply unchanged. SetPos answers the previous position
// from the relay's own record, without waiting for the GUI.
class ProgressRelay final : public link::ProgressSink {
 public:
  ProgressRelay(CTextProgressCtrl& bar, GuiThreadQueue& queue);
  void SetRange(int lower, int upper) override;
  void SetStep(int step) override;
  void SetText(std::string_view label, bool show) override;
  int SetPos(int position) override;

 private:
  void Run(std::function<void()> task);

  CTextProgressCtrl& bar_;
  GuiThreadQueue& queue_;
  std::mutex mutex_;
  int position_ = 0;
};

class WindowHost final : public upgrade::UpgradeHost {
 public:
  WindowHost(WindowActions& window, GuiThreadQueue& queue, link::ProgressSink& progress,
             std::string messageCaption);

  link::ProgressSink& Progress() override { return progress_; }
  void ShowMessage(std::string_view text) override;
  void ShowResult(const upgrade::UpgradeReport& report) override;
  void EnableUpdateButton(bool enabled) override;
  void ShowCurrentVersion(std::string_view text) override;
  void EndProgram() override;

  // A message with its own caption (the image loader's "Error!"), same rules as ShowMessage.
  void ShowMessageWithCaption(std::string_view text, std::string_view caption);
  // Runs `task` on the GUI thread without waiting (directly when called there).
  void RunOnGuiThread(std::function<void()> task);

  // The window is closing: waiting callers return now, later calls do nothing.
  void Close();
  bool Closing() const;

 private:
  void RunAndWait(std::function<void()> task);

  WindowActions& window_;
  GuiThreadQueue& queue_;
  link::ProgressSink& progress_;
  const std::string caption_;

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool closing_ = false;
};

}  // namespace torv2::win32
