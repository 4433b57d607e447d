#pragma once
// The upgrade's host in the window. Each call runs on the GUI thread: directly when it comes from
// there (a click, a version query on device arrival), through the GuiThreadQueue when it comes
// from the job's worker. The message box and the result dialog make the worker wait until the
// user has closed them; everything else is handed over without waiting. Once Close() was called,
// nothing more is shown and no caller waits: the window is going away.

#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "upgrade/upgrade_host.h"

namespace torv2::ui {

class GuiThreadQueue;

// What the window does for the host, always on the GUI thread.
class WindowActions {
 public:
  virtual ~WindowActions() = default;
  virtual void ShowMessageBox(const QString& text, const QString& caption) = 0;  // modal
  virtual void RunResultDialog(const upgrade::UpgradeReport& report) = 0;        // modal
  virtual void SetUpdateButtonEnabled(bool enabled) = 0;
  virtual void SetCurrentVersionText(const QString& text) = 0;
  virtual void EndMainDialog() = 0;
};

class WindowHost final : public upgrade::UpgradeHost {
 public:
  WindowHost(WindowActions& window, GuiThreadQueue& queue, link::ProgressSink& progress,
             QString messageCaption);

  link::ProgressSink& Progress() override { return progress_; }
  void ShowMessage(std::string_view text) override;
  void ShowResult(const upgrade::UpgradeReport& report) override;
  void EnableUpdateButton(bool enabled) override;
  void ShowCurrentVersion(std::string_view text) override;
  void EndProgram() override;
  // To stderr (the system journal when started from the desktop); the boxes stay as they are.
  void LogCause(const upgrade::Cause& cause) override;

  // A message with its own caption (the image loader's "Error!"), same rules as ShowMessage.
  void ShowMessageWithCaption(std::string_view text, std::string_view caption);
  // Runs `task` on the GUI thread without waiting (directly when called there).
  void RunOnGuiThread(std::function<void()> task);

  // The window is closing: waiting callers return now, later calls do nothing.
  void Close();
  bool Closing() const;

 private:
  // Runs `task` on the GUI thread and waits until it has returned, or until Close().
  void RunAndWait(std::function<void()> task);

  WindowActions& window_;
  GuiThreadQueue& queue_;
  link::ProgressSink& progress_;
  const QString caption_;

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool closing_ = false;
};

}  // namespace torv2::ui
