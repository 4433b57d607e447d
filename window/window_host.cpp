#include "window/window_host.h"

#include <cstdio>
#include <memory>
#include <string>

namespace torv2::window {

void ProgressRelay::SetLabel(std::string_view label, bool show) {
  host_.RunOnGuiThread([this, label = std::string(label), show] {
    host_.view().ProgressBar().SetLabel(label, show);
  });
}

void ProgressRelay::SetPercent(int percent) {
  host_.RunOnGuiThread([this, percent] { host_.view().ProgressBar().SetPercent(percent); });
}

WindowHost::WindowHost(WindowView& view, GuiQueue& queue, std::string programName)
    : view_(view), queue_(queue), programName_(std::move(programName)) {}

namespace {

// How the window's boxes word what to do: the window runs the task again from its own button.
upgrade::AdviceContext WindowAdvice() {
  upgrade::AdviceContext context;
  context.rerun = "the upgrade";
  context.rerunIsCommand = false;
  return context;
}

}  // namespace

void WindowHost::ShowMessage(std::string_view text) {
  std::optional<upgrade::Cause> cause;
  {
    std::lock_guard lock(mutex_);
    cause.swap(cause_);
  }
  std::string details;
  if (cause) details = upgrade::MessageDetails(*cause, WindowAdvice(), text);
  RunAndWait([this, text = std::string(text), details = std::move(details)] {
    view_.ShowMessage(text, programName_, MessageIcon::Exclamation, details);
  });
}

void WindowHost::ShowLoaderMessage(std::string_view text, std::string_view caption) {
  RunAndWait([this, text = std::string(text), caption = std::string(caption)] {
    view_.ShowMessage(text, caption, MessageIcon::None, {});
  });
}

void WindowHost::ShowResult(const upgrade::UpgradeReport& report) {
  ForgetCause();  // the report shows what failed
  RunAndWait([this, report] { view_.ShowResult(report); });
}

void WindowHost::EnableUpdateButton(bool enabled) {
  RunOnGuiThread([this, enabled] { view_.EnableUpdate(enabled); });
}

void WindowHost::ShowCurrentVersion(std::string_view text) {
  RunOnGuiThread([this, text = std::string(text)] { view_.SetCurrentVersionText(text); });
}

void WindowHost::EndProgram() {
  RunOnGuiThread([this] { view_.End(); });
}

void WindowHost::LogCause(const upgrade::Cause& cause) {
  {
    std::lock_guard lock(mutex_);
    cause_ = cause;
  }
  Log("cause: " + upgrade::DescribeCause(cause));
}

void WindowHost::ForgetCause() {
  std::lock_guard lock(mutex_);
  cause_.reset();
}

void WindowHost::Log(std::string_view text) {
  const std::string line = "torv2-upgrader: " + std::string(text) + "\n";
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

}  // namespace torv2::window
