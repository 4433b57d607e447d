#include "ui/window_host.h"

#include <cstdio>
#include <memory>
#include <string>

#include "ui/gui_thread_queue.h"

namespace torv2::ui {
namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

WindowHost::WindowHost(WindowActions& window, GuiThreadQueue& queue, link::ProgressSink& progress,
                       QString messageCaption)
    : window_(window), queue_(queue), progress_(progress), caption_(std::move(messageCaption)) {}

void WindowHost::ShowMessage(std::string_view text) {
  RunAndWait([this, text = FromUtf8(text)] { window_.ShowMessageBox(text, caption_); });
}

void WindowHost::ShowMessageWithCaption(std::string_view text, std::string_view caption) {
  RunAndWait([this, text = FromUtf8(text), caption = FromUtf8(caption)] {
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
  RunOnGuiThread([this, text = FromUtf8(text)] { window_.SetCurrentVersionText(text); });
}

void WindowHost::EndProgram() {
  RunOnGuiThread([this] { window_.EndMainDialog(); });
}

void WindowHost::LogCause(const upgrade::Cause& cause) {
  const std::string line = "torv2-upgrader: cause: " + upgrade::DescribeCause(cause) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
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
  // Guarded by mutex_; shared with the queued task, which may outlive this call after Close().
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

}  // namespace torv2::ui
