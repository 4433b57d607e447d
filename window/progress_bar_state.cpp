#include "window/progress_bar_state.h"

#include "window/progress_math.h"

namespace torv2::window {

bool ProgressBarState::SetPos(int position, int width) {
  position_ = position;
  const int filled = FilledWidth(width);
  if (filled == drawnWidth_) return false;
  drawnWidth_ = filled;
  return true;
}

bool ProgressBarState::SetText(std::string_view label, bool show) {
  const bool repaint = show != showText_;
  showText_ = show;
  label_.assign(label);
  return repaint;
}

int ProgressBarState::FilledWidth(int width) const {
  return window::FilledWidth(width, position_, lower_, upper_);
}

std::string ProgressBarState::DisplayText() const {
  if (!showText_) return {};
  return ProgressText(label_, position_, lower_, upper_);
}

}  // namespace torv2::window
