#include "ui/text_progress_ctrl.h"

#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>

namespace torv2::ui {
namespace {

// The fraction of the range that `position` covers, held to 0..1 for drawing.
double Fraction(int position, int lower, int upper) {
  const double f = (static_cast<double>(position) - lower) / (static_cast<double>(upper) - lower);
  return std::clamp(f, 0.0, 1.0);
}

}  // namespace

int FilledWidth(int width, int position, int lower, int upper) {
  if (lower >= upper || width <= 0) return 0;
  return static_cast<int>(std::trunc(width * Fraction(position, lower, upper)));
}

QString ProgressText(const QString& label, int position, int lower, int upper) {
  const int percent =
      lower < upper ? static_cast<int>(std::trunc(Fraction(position, lower, upper) * 100.0)) : 0;
  return label + QStringLiteral(" - ") + QString::asprintf("%3d", percent) + QLatin1Char('%');
}

}  // namespace torv2::ui

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QFrame(parent) {
  const QPalette& p = palette();
  m_colBar = p.color(QPalette::Highlight);
  m_colBk = p.color(QPalette::Button);
  m_colTextOnBk = p.color(QPalette::Highlight);
  m_colTextOnBar = p.color(QPalette::Base);
  setAttribute(Qt::WA_OpaquePaintEvent);  // every paint covers the whole bar
}

int CTextProgressCtrl::SetPos(int position) {
  const int previous = m_nPos;
  m_nPos = position;
  const int width = torv2::ui::FilledWidth(contentsRect().width(), m_nPos, m_nMin, m_nMax);
  if (width != m_nBarWidth) {
    m_nBarWidth = width;
    repaint();
  }
  return previous;
}

void CTextProgressCtrl::SetText(const QString& label, bool show) {
  if (show != m_bShowText) update();
  m_bShowText = show;
  m_strText = label;
}

void CTextProgressCtrl::SetRange(int lower, int upper) {
  m_nMin = lower;
  m_nMax = upper;
}

void CTextProgressCtrl::SetStep(int step) {
  m_nStepSize = step;
}

QString CTextProgressCtrl::DisplayText() const {
  if (!m_bShowText) return {};
  return torv2::ui::ProgressText(m_strText, m_nPos, m_nMin, m_nMax);
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
  ++m_nPaintCount;
  QPainter painter(this);
  drawFrame(&painter);
  const QRect client = contentsRect();
  if (m_nMin >= m_nMax) {
    // No range to show: an empty bar.
    painter.fillRect(client, m_colBk);
    return;
  }
  const int filled = torv2::ui::FilledWidth(client.width(), m_nPos, m_nMin, m_nMax);
  const QRect barRect(client.left(), client.top(), filled, client.height());
  const QRect restRect(client.left() + filled, client.top(), client.width() - filled,
                       client.height());
  painter.fillRect(barRect, m_colBar);
  painter.fillRect(restRect, m_colBk);
  if (!m_bShowText) return;

  // The same text twice, each pass clipped to one part, so characters change colour exactly at
  // the edge of the filled part.
  const QString text = DisplayText();
  const int flags = Qt::AlignCenter | Qt::TextSingleLine;
  painter.setClipRect(barRect);
  painter.setPen(m_colTextOnBar);
  painter.drawText(client, flags, text);
  painter.setClipRect(restRect);
  painter.setPen(m_colTextOnBk);
  painter.drawText(client, flags, text);
}

void CTextProgressCtrl::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  m_nBarWidth = -1;  // the next SetPos redraws whatever its width
}
