#include "ui/win32/window_host.h"

#include <memory>

#include "ui/win32/text_progress_ctrl.h"
#include "upgrade/win32/wide_text.h"

namespace torv2::win32 {

ProgressRelay::ProgressRelay(CTextProgressCtrl& bar, GuiThreadQueue& queue)
    : bar_(bar), queue_(queue) {}

void ProgressRelay::Run(std::function<void()> task) {
  if (queue_.OnGuiThread()) {
    task();
  } else {
    queue_.Post(std::move(task));
  }
}

void ProgressRelay::SetRange(int lower, int upper) {
  Run([this, lower, upper] { bar_.SetRange(lower, upper); });
}

void ProgressRelay::SetStep(int step) {
  Run([this, step] { bar_.SetStep(step); });
}

void ProgressRelay::SetText(std::string_view label, bool show) {
  Run([this, label = WideFromUtf8(label), show] { bar_.SetText(label, show); });
}

int ProgressRelay::SetPos(int position) {
  int previous;
  {
    std::lock_guard lock(mutex_);
    previous = position_;
    position_ = position;
  }
  Run([this, position] { bar_.SetPos(position); });
  return previous;
}

WindowHost::WindowHost(WindowActions& window, GuiThreadQueue& queue, link::ProgressSink& progress,
                       std::string messageCaption)
    : window_(window), queue_(queue), progress_(progress), caption_(std::move(messageCaption)) {}

void WindowHost::ShowMessage(std::string_view text) {
  RunAndWait([this, text = std::string(text)] { window_.ShowMessageBox(text, caption_); });
}

void WindowHost::ShowMessageWithCaption(std::string_view text, std::string_view caption) {
  RunAndWait([this, text = std::string(text), caption = std::string(caption)] {
    window_.ShowMessageBox(text, caption);
  });
}

void WindowHost::ShowResult(const upgrade::UpgradeReport& report) {
  RunAndWait([this, report] { window_.RunResultDialog(report); });
}

void WindowHost::EnableUpdateButton(bool enabled) {
  RunOnGuiThread([this, enabled] { window_.SetUpdateButtonEnabled(enabled); });
}

void WindowHost::ShowCurrentVersion(std::string_view text) {
  RunOnGuiThread([this, text = std::string(text)] { window_.SetCurrentVersionText(text); });
}

void WindowHost::EndProgram() {
  RunOnGuiThread([this] { window_.EndMainDialog(); });
}

void WindowHost::RunOnGuiThread(std::function<void()> task) {
  if (Closing()) return;
  if (queue_.OnGuiThread()) {
    task();
    return;
  }
  queue_.Post([this, task = std::move(task)] {
    if (!Closing()) task();
  });
}

void WindowHost::RunAndWait(std::function<void()> task) {
  if (Closing()) return;
  if (queue_.OnGuiThread()) {
    task();
    return;
  }
  // Shared with the queued task, which may outlive this call after Close(); guarded by mutex_.
  auto done = std::make_shared<bool>(false);
  const bool queued = queue_.Post([this, done, task = std::move(task)] {
    if (!Closing()) task();
    {
      std::lock_guard lock(mutex_);
      *done = true;
    }
    finished_.notify_all();
  });
  if (!queued) return;
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return *done || closing_; });
}

void WindowHost::Close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  finished_.notify_all();
}

bool WindowHost::Closing() const {
  std::lock_guard lock(mutex_);
  return closing_;
}

}  // namespace torv2::win32
