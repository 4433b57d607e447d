#include "ui/text_progress_ctrl.h"

#include <QPainter>
#include <QPalette>

#include "window/progress_math.h"

namespace {

QString ProgressText(const QString& label, int position, int lower, int upper) {
  const std::string text = torv2::window::ProgressText(label.toStdString(), position, lower, upper);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

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
  const int width = torv2::window::FilledWidth(contentsRect().width(), m_nPos, m_nMin, m_nMax);
  if (width != m_nBarWidth) {
    m_nBarWidth = width;
    repaint();
  }
  return previous;
}

void CTextProgressCtrl::SetText(std::string_view label, bool show) {
  if (show != m_bShowText) update();
  m_bShowText = show;
  m_strText = QString::fromUtf8(label.data(), static_cast<qsizetype>(label.size()));
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
  return ProgressText(m_strText, m_nPos, m_nMin, m_nMax);
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
  ++m_nPaintCount;
  QPainter painter(this);
  drawFrame(&painter);
  const QRect client = contentsRect();
  if (m_nMin >= m_nMax) {
    // No range to show: an empty bar.
    painter.fillRect(client, m_colBk);
    if (onPaint) onPaint(0, QString());
    return;
  }
  const int filled = torv2::window::FilledWidth(client.width(), m_nPos, m_nMin, m_nMax);
  const QRect barRect(client.left(), client.top(), filled, client.height());
  const QRect restRect(client.left() + filled, client.top(), client.width() - filled,
                       client.height());
  painter.fillRect(barRect, m_colBar);
  painter.fillRect(restRect, m_colBk);
  if (onPaint) onPaint(filled, DisplayText());
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
