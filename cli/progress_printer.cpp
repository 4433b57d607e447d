#include "cli/progress_printer.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace torv2::cli {

ProgressPrinter::ProgressPrinter(ProgressMode mode, std::string device,
                                 std::vector<std::string> images, std::FILE* out, bool nameDevice)
    : mode_(mode),
      device_(std::move(device)),
      images_(std::move(images)),
      out_(out),
      nameDevice_(nameDevice) {}

ProgressPrinter::~ProgressPrinter() {
  if (live_) live_->Remove(device_);
}

void ProgressPrinter::ShowOn(LiveLines& lines) {
  std::lock_guard lock(mutex_);
  live_ = &lines;
}

void ProgressPrinter::Print(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (live_) {
    live_->PrintErr(text);
    return;
  }
  EndLineLocked();
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void ProgressPrinter::SetLabel(std::string_view label, bool show) {
  std::lock_guard lock(mutex_);
  EndLineLocked();
  phase_ = show ? std::string(label) : std::string();
  if (phase_ == "Down") ++imageIndex_;
  shown_ = -1;
}

void ProgressPrinter::EndLine() {
  std::lock_guard lock(mutex_);
  EndLineLocked();
}

void ProgressPrinter::EndLineLocked() {
  if (!barOpen_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  barOpen_ = false;
}

void ProgressPrinter::SetPercent(int percent) {
  std::lock_guard lock(mutex_);
  position_ = percent;
  // Forward only: the drop to 0 when a job ends is not progress. Lines for logs come in steps
  // of ten.
  const bool forward = shown_ < 0 || percent > shown_;
  const bool worthALine = mode_ != ProgressMode::Lines || shown_ < 0 || percent / 10 > shown_ / 10;
  if (!phase_.empty() && forward && worthALine) {
    Render();
    shown_ = percent;
  }
}

void ProgressPrinter::Render() {
  const std::string image = imageIndex_ >= 0 && imageIndex_ < static_cast<int>(images_.size())
                                ? images_[imageIndex_]
                                : "";
  switch (mode_) {
    case ProgressMode::Tty: {
      if (live_) {
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%", position_);
        std::string line = device_ + "  " + image + " image  " + phase_;
        line.resize(std::max(line.size(), device_.size() + image.size() + 17), ' ');
        live_->Set(device_, line + percent);
        return;
      }
      constexpr int kWidth = 40;
      const int filled = position_ * kWidth / 100;
      std::fprintf(out_, "\r%-4s %-6s [%s%s] %3d%%", image.c_str(), phase_.c_str(),
                   std::string(static_cast<std::size_t>(filled), '#').c_str(),
                   std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), position_);
      barOpen_ = true;
      break;
    }
    case ProgressMode::Lines:
      std::fprintf(out_, "%s%s%s %s %d%%\n", nameDevice_ ? device_.c_str() : "",
                   nameDevice_ ? " " : "", image.c_str(), phase_.c_str(), position_);
      break;
    case ProgressMode::Json: {
      const nlohmann::json line = {
          {"device", device_}, {"image", image}, {"phase", phase_}, {"percent", position_}};
      std::fprintf(out_, "%s\n", line.dump().c_str());
      break;
    }
    case ProgressMode::None:
      break;
  }
  std::fflush(out_);
}

}  // namespace torv2::cli
