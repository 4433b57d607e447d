#include "window/progress_bar_state.h"

#include "window/progress_math.h"

namespace torv2::window {

bool ProgressBarState::SetPos(int position, int width) {
  m_nPos = position;
  const int filled = FilledWidth(width);
  if (filled == m_nBarWidth) return false;
  m_nBarWidth = filled;
  return true;
}

bool ProgressBarState::SetText(std::string_view label, bool show) {
  const bool repaint = show != m_bShowText;
  m_bShowText = show;
  m_strText.assign(label);
  return repaint;
}

int ProgressBarState::FilledWidth(int width) const {
  return window::FilledWidth(width, m_nPos, m_nMin, m_nMax);
}

std::string ProgressBarState::DisplayText() const {
  if (!m_bShowText) return {};
  return ProgressText(m_strText, m_nPos, m_nMin, m_nMax);
}

}  // namespace torv2::window
